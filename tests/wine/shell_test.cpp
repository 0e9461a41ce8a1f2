// The main window as start-up makes it: its children, their layout, the
// splitter and the accelerators.
#include "harness/program_fixture.h"

#include <functional>

#include "pack/pack.h"
#include "resources/resource.h"
#include "shell/app_state.h"
#include "shell/main_window.h"
#include "shell/program_entry.h"
#include "resources/texts.h"
#include "extract/extraction.h"

namespace {

RECT ChildRect(HWND child)
{
    RECT rect = {};
    GetWindowRect(child, &rect);
    MapWindowPoints(nullptr, g_app.mainWindow, reinterpret_cast<POINT*>(&rect), 2);
    return rect;
}

int ClientWidth()
{
    RECT client = {};
    GetClientRect(g_app.mainWindow, &client);
    return client.right;
}

class ShellTest : public ProgramTest {
protected:
    void SetUp() override
    {
        ProgramTest::SetUp();
        ShowWindow(g_app.mainWindow, SW_RESTORE);
        SetWindowPos(g_app.mainWindow, nullptr, 0, 0, 800, 500, SWP_NOZORDER | SWP_NOMOVE);
        // Each test starts from the splitter of a fresh start.
        g_app.splitPosition = 150;
        g_app.splitAtDragStart = 0;
        g_app.dragging = 0;
        Relayout();
    }

    void Mouse(UINT message, int x)
    {
        SendMessageA(g_app.mainWindow, message, message == WM_LBUTTONDOWN ? MK_LBUTTON : 0,
                     MAKELPARAM(static_cast<WORD>(static_cast<short>(x)), 100));
    }
    void Escape() { SendMessageA(g_app.mainWindow, WM_KEYDOWN, VK_ESCAPE, 0); }

    void ExpectBorderAt(int split, const char* when)
    {
        const RECT tree = ChildRect(g_app.treeView);
        const RECT list = ChildRect(g_app.entryListView);
        const int width = ClientWidth();
        const int shown = split > width ? width : split;
        EXPECT_EQ(tree.left, 0) << when;
        EXPECT_EQ(tree.right - tree.left, shown - 2 < 0 ? 0 : shown - 2) << when;
        EXPECT_EQ(list.left, shown + 2) << when;
        EXPECT_EQ(list.right - list.left, width - shown - 2 < 0 ? 0 : width - shown - 2) << when;
    }
};

TEST_F(ShellTest, StartsWithNoPackAndTheCloseItemGrayed)
{
    EXPECT_EQ(TitleText(), "quorvel");
    EXPECT_EQ(CloseItemState(), static_cast<UINT>(MFS_GRAYED));
    EXPECT_EQ(RowCount(), 0);
    EXPECT_EQ(TreeItemCount(), 0);
    char className[64] = {};
    GetClassNameA(g_app.mainWindow, className, sizeof className);
    EXPECT_STREQ(className, "QuorvelMainWindowClass");
    EXPECT_EQ(GetClassLongPtrA(g_app.mainWindow, GCLP_HCURSOR),
              reinterpret_cast<LONG_PTR>(LoadCursorA(nullptr, MAKEINTRESOURCEA(32644))));
    EXPECT_EQ(GetClassLongPtrA(g_app.mainWindow, GCLP_HBRBACKGROUND),
              reinterpret_cast<LONG_PTR>(GetStockObject(LTGRAY_BRUSH)));
}

TEST_F(ShellTest, ASecondMainWindowCannotBeMadeAndSaysSo)
{
    // The class is registered already: the very first step fails, before
    // anything of the running window is touched.
    const HACCEL accelerators = g_app.accelerators;
    const HMENU menu = g_app.mainMenu;
    const HWND window = g_app.mainWindow;
    EXPECT_EQ(CreateMainWindow(), 1);
    EXPECT_EQ(g_app.accelerators, accelerators);
    EXPECT_EQ(g_app.mainMenu, menu);
    EXPECT_EQ(g_app.mainWindow, window);
}

TEST_F(ShellTest, ChildrenAreTheTreeTheThreeColumnListAndASimpleStatusBar)
{
    char className[64] = {};
    GetClassNameA(g_app.treeView, className, sizeof className);
    EXPECT_STREQ(className, "SysTreeView32");
    GetClassNameA(g_app.entryListView, className, sizeof className);
    EXPECT_STREQ(className, "SysListView32");
    EXPECT_EQ(GetWindowLongA(g_app.treeView, GWL_STYLE) & 0x5000003F, 0x50000037);
    EXPECT_EQ(GetWindowLongA(g_app.entryListView, GWL_STYLE) & 0x5000000F, 0x50000009);
    EXPECT_TRUE(SendMessageA(g_app.statusBar, SB_ISSIMPLE, 0, 0));

    const char* const headings[] = {NAME_COLUMN, SIZE_COLUMN, OFFSET_COLUMN};
    const int widths[] = {200, 100, 100};
    for (int column = 0; column < 3; ++column) {
        char text[64] = {};
        LVCOLUMNA info = {};
        info.mask = LVCF_TEXT | LVCF_WIDTH;
        info.pszText = text;
        info.cchTextMax = sizeof text - 1;
        ASSERT_TRUE(SendMessageA(g_app.entryListView, LVM_GETCOLUMNA, column, reinterpret_cast<LPARAM>(&info)));
        EXPECT_STREQ(text, headings[column]);
        EXPECT_EQ(info.cx, widths[column]);
    }
    LVCOLUMNA fourth = {};
    fourth.mask = LVCF_WIDTH;
    EXPECT_FALSE(SendMessageA(g_app.entryListView, LVM_GETCOLUMNA, 3, reinterpret_cast<LPARAM>(&fourth)));

    // Both image lists hold the folder and the entry icon, at their sizes.
    for (auto [list, size] : {std::pair{g_app.smallImages, 16}, std::pair{g_app.largeImages, 32}}) {
        EXPECT_EQ(ImageList_GetImageCount(list), 2);
        int cx = 0, cy = 0;
        ImageList_GetIconSize(list, &cx, &cy);
        EXPECT_EQ(cx, size);
        EXPECT_EQ(cy, size);
    }
    EXPECT_EQ(SendMessageA(g_app.treeView, TVM_GETIMAGELIST, TVSIL_NORMAL, 0),
              reinterpret_cast<LRESULT>(g_app.smallImages));
    EXPECT_EQ(SendMessageA(g_app.entryListView, LVM_GETIMAGELIST, LVSIL_SMALL, 0),
              reinterpret_cast<LRESULT>(g_app.smallImages));
    EXPECT_EQ(SendMessageA(g_app.entryListView, LVM_GETIMAGELIST, LVSIL_NORMAL, 0),
              reinterpret_cast<LRESULT>(g_app.largeImages));
}

TEST_F(ShellTest, LayoutPutsTheBorderAtTheSplitAndTheStatusBarBelow)
{
    ExpectBorderAt(150, "at start");
    const RECT tree = ChildRect(g_app.treeView);
    EXPECT_EQ(tree.right - tree.left, 148);
    EXPECT_EQ(ChildRect(g_app.entryListView).left, 152);

    RECT client = {};
    GetClientRect(g_app.mainWindow, &client);
    const RECT status = ChildRect(g_app.statusBar);
    EXPECT_EQ(status.bottom, client.bottom);
    EXPECT_EQ(tree.bottom, status.top);
    EXPECT_EQ(ChildRect(g_app.entryListView).bottom, status.top);

    // Narrower than the split: the tree takes the width less 2, the list
    // vanishes, and the stored split comes back when the window widens.
    SetWindowPos(g_app.mainWindow, nullptr, 0, 0, 140, 300, SWP_NOZORDER | SWP_NOMOVE);
    ASSERT_LT(ClientWidth(), 150);
    ExpectBorderAt(150, "narrow");
    EXPECT_EQ(g_app.splitPosition, 150);
    SetWindowPos(g_app.mainWindow, nullptr, 0, 0, 800, 500, SWP_NOZORDER | SWP_NOMOVE);
    ExpectBorderAt(150, "widened");

    // A minimized window's 0 x 0 client: that pass uses 0, the split stays.
    SendMessageA(g_app.mainWindow, WM_SIZE, SIZE_MINIMIZED, 0);
    EXPECT_EQ(ChildRect(g_app.treeView).right - ChildRect(g_app.treeView).left, 0);
    EXPECT_EQ(g_app.splitPosition, 150);
    Relayout();
    ExpectBorderAt(150, "restored");
}

TEST_F(ShellTest, EscapeBeforeAnyDragPutsTheSplitAtZero)
{
    Escape();
    EXPECT_EQ(g_app.splitPosition, 0);
    ExpectBorderAt(0, "escape before any drag");
}

TEST_F(ShellTest, DragFollowsTheMouseAndStopsAtBothEdges)
{
    Mouse(WM_LBUTTONDOWN, 152);
    EXPECT_EQ(g_app.dragging, 1);
    EXPECT_EQ(GetCapture(), g_app.mainWindow);
    EXPECT_EQ(g_app.splitAtDragStart, 150);
    // No offset is kept between the press and the line.
    Mouse(WM_MOUSEMOVE, 153);
    EXPECT_EQ(g_app.splitPosition, 153);
    ExpectBorderAt(153, "first move");
    Mouse(WM_MOUSEMOVE, -40);
    EXPECT_EQ(g_app.splitPosition, 0);
    ExpectBorderAt(0, "left of the window");
    EXPECT_EQ(ChildRect(g_app.entryListView).left, 2);
    Mouse(WM_MOUSEMOVE, ClientWidth() + 60);
    EXPECT_EQ(g_app.splitPosition, ClientWidth());
    ExpectBorderAt(ClientWidth(), "right of the window");
    Mouse(WM_MOUSEMOVE, 300);
    Mouse(WM_LBUTTONUP, 300);
    EXPECT_EQ(g_app.dragging, 0);
    EXPECT_EQ(GetCapture(), nullptr);
    EXPECT_EQ(g_app.splitPosition, 300);
    // Moves after the release change nothing.
    Mouse(WM_MOUSEMOVE, 400);
    EXPECT_EQ(g_app.splitPosition, 300);
    ExpectBorderAt(300, "released");
}

TEST_F(ShellTest, EscapePutsTheBorderBackWhereTheLastDragBegan)
{
    Mouse(WM_LBUTTONDOWN, 150);
    Mouse(WM_MOUSEMOVE, 260);
    Escape(); // during the drag: ends it and goes back
    EXPECT_EQ(g_app.dragging, 0);
    EXPECT_EQ(GetCapture(), nullptr);
    EXPECT_EQ(g_app.splitPosition, 150);
    ExpectBorderAt(150, "escape during drag");

    Mouse(WM_LBUTTONDOWN, 150);
    Mouse(WM_MOUSEMOVE, 220);
    Mouse(WM_LBUTTONUP, 220);
    Mouse(WM_LBUTTONDOWN, 220);
    Mouse(WM_MOUSEMOVE, 330);
    Mouse(WM_LBUTTONUP, 330);
    Escape(); // after the drag: back to where that drag began
    EXPECT_EQ(g_app.splitPosition, 220);

    // A press and release without a move leaves the split alone.
    Mouse(WM_LBUTTONDOWN, 221);
    Mouse(WM_LBUTTONUP, 221);
    EXPECT_EQ(g_app.splitPosition, 220);
    EXPECT_EQ(g_app.splitAtDragStart, 220);

    // Another key is the default handling.
    SendMessageA(g_app.mainWindow, WM_KEYDOWN, 'A', 0);
    EXPECT_EQ(g_app.splitPosition, 220);
}

struct KeyRow {
    const char* what;
    UINT key;
    bool control;
    bool alt;
    int command; // 0: no command
};

TEST_F(ShellTest, AcceleratorsReachTheirCommandsOnlyWithTheirModifiers)
{
    // Every item enabled: a pack with a selected row and a run in progress.
    const std::string pack = WritePack(temp, "keys.pak", {{"a", {1}}});
    ASSERT_EQ(OpenPack(pack.c_str()), 0);
    SelectRows({0});
    g_app.runState.store(RUN_RUNNING);

    const KeyRow rows[] = {
        {"Ctrl+A", 'A', true, false, IDM_SELECTALL},
        {"Ctrl+B", 'B', true, false, IDM_ABORT},
        {"Ctrl+C", 'C', true, false, IDM_COPYNAMES},
        {"Ctrl+E", 'E', true, false, IDM_EXTRACT},
        {"Ctrl+O", 'O', true, false, IDM_OPEN},
        {"F1", VK_F1, false, false, IDM_HELP},
        {"Ctrl+F4", VK_F4, true, false, IDM_CLOSE},
        {"Alt+X", 'X', false, true, IDM_EXIT},
        {"A", 'A', false, false, 0},
        {"E", 'E', false, false, 0},
        {"F4", VK_F4, false, false, 0},
        {"X", 'X', false, false, 0},
        {"Ctrl+X", 'X', true, false, 0},
        {"Alt+E", 'E', false, true, 0},
    };
    CommandRecorder recorder;
    for (const KeyRow& row : rows) {
        BYTE keys[256] = {};
        if (row.control)
            keys[VK_CONTROL] = keys[VK_LCONTROL] = 0x80;
        if (row.alt)
            keys[VK_MENU] = keys[VK_LMENU] = 0x80;
        SetKeyboardState(keys);
        recorder.commands.clear();
        MSG message = {};
        message.hwnd = g_app.mainWindow;
        message.message = row.alt ? WM_SYSKEYDOWN : WM_KEYDOWN;
        message.wParam = row.key;
        message.lParam = row.alt ? (1 | (1 << 29)) : 1;
        const int translated = TranslateAcceleratorA(g_app.mainWindow, g_app.accelerators, &message);
        if (row.command != 0) {
            EXPECT_TRUE(translated) << row.what;
            ASSERT_EQ(recorder.commands.size(), 1u) << row.what;
            EXPECT_EQ(recorder.commands[0], row.command) << row.what;
        } else {
            EXPECT_FALSE(translated) << row.what;
            EXPECT_TRUE(recorder.commands.empty()) << row.what;
        }
    }
    BYTE keys[256] = {};
    SetKeyboardState(keys);
    g_app.runState.store(RUN_IDLE);
}

// The control that had the keyboard focus has it again when the window is
// active again, whatever took the activation away meanwhile; the window
// itself never keeps it.
TEST_F(ShellTest, FocusedControlHasTheFocusAgainAfterTheWindowWasInactive)
{
    HWND other = CreateWindowExA(0, "STATIC", "other", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 200, 100, nullptr,
                                 nullptr, GetModuleHandleA(nullptr), nullptr);
    ASSERT_NE(other, nullptr);
    const auto messageBox = [] { MessageBoxA(g_app.mainWindow, "focus", "focus", MB_OK); };
    const auto elsewhereAndBack = [&] {
        SetForegroundWindow(other);
        PumpUntil([&] { return GetActiveWindow() == other; }, 2000);
        SetForegroundWindow(g_app.mainWindow);
    };
    const auto minimizedAndRestored = [] {
        // As the buttons of the title bar ask.
        SendMessageA(g_app.mainWindow, WM_SYSCOMMAND, SC_MINIMIZE, 0);
        PumpFor(50);
        SendMessageA(g_app.mainWindow, WM_SYSCOMMAND, SC_RESTORE, 0);
        SetForegroundWindow(g_app.mainWindow);
    };
    const struct {
        const char* what;
        HWND control;
        std::function<void()> away;
    } cases[] = {
        {"a message box, the list focused", g_app.entryListView, messageBox},
        {"a message box, the tree focused", g_app.treeView, messageBox},
        {"another window, the list focused", g_app.entryListView, elsewhereAndBack},
        {"another window, the tree focused", g_app.treeView, elsewhereAndBack},
        {"minimized and restored, the list focused", g_app.entryListView, minimizedAndRestored},
    };
    for (const auto& c : cases) {
        SetForegroundWindow(g_app.mainWindow);
        ASSERT_TRUE(PumpUntil([] { return GetActiveWindow() == g_app.mainWindow; }, 2000)) << c.what;
        SetFocus(c.control);
        ASSERT_EQ(GetFocus(), c.control) << c.what;
        c.away();
        EXPECT_TRUE(PumpUntil([] { return GetActiveWindow() == g_app.mainWindow; }, 2000)) << c.what;
        PumpFor(50);
        EXPECT_EQ(GetFocus(), c.control) << c.what;
    }
    DestroyWindow(other);
}

// Puts a window procedure in place for one scope, and back on every way out.
class Subclass {
public:
    Subclass(HWND window, WNDPROC replacement, WNDPROC* original) : window_(window), original_(original)
    {
        *original_ = reinterpret_cast<WNDPROC>(
            SetWindowLongPtrA(window_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(replacement)));
    }
    ~Subclass() { SetWindowLongPtrA(window_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(*original_)); }
    Subclass(const Subclass&) = delete;
    Subclass& operator=(const Subclass&) = delete;

private:
    HWND window_;
    WNDPROC* original_;
};

// The help viewer's frame, made by the Help command on this thread.
HWND OpenHelpViewer()
{
    SendMessageA(g_app.mainWindow, WM_COMMAND, MAKEWPARAM(IDM_HELP, 0), 0);
    HWND viewer = nullptr;
    PumpUntil([&] { return (viewer = FindWindowA("HH Parent", nullptr)) != nullptr; }, 30000);
    return viewer;
}

TEST_F(ShellTest, KeysTypedInTheHelpViewerAreNotQuorvelsCommands)
{
    const std::string pack = WritePack(temp, "keys.pak", {{"a", {1}}});
    ASSERT_EQ(OpenPack(pack.c_str()), 0);
    SelectRows({0});
    HWND viewer = OpenHelpViewer();
    ASSERT_NE(viewer, nullptr) << "no help viewer: is quorvel.chm beside the test program?";
    HWND insideViewer = GetWindow(viewer, GW_CHILD);
    const struct {
        const char* what;
        HWND to;
        bool command;
    } targets[] = {
        {"the help viewer", viewer, false},
        {"a window inside the help viewer", insideViewer, false},
        {"the main window", g_app.mainWindow, true},
        {"the entry list", g_app.entryListView, true},
    };
    const KeyRow keys[] = {{"Ctrl+C", 'C', true, false, IDM_COPYNAMES}, {"Alt+X", 'X', false, true, IDM_EXIT}};
    {
        CommandRecorder recorder;
        for (const auto& target : targets) {
            if (target.to == nullptr)
                continue;
            for (const KeyRow& key : keys) {
                BYTE state[256] = {};
                state[VK_CONTROL] = state[VK_LCONTROL] = key.control ? 0x80 : 0;
                state[VK_MENU] = state[VK_LMENU] = key.alt ? 0x80 : 0;
                SetKeyboardState(state);
                recorder.commands.clear();
                // Through the program's own loop, which ends at the quit message.
                PostMessageA(target.to, key.alt ? WM_SYSKEYDOWN : WM_KEYDOWN, key.key, key.alt ? (1 | (1 << 29)) : 1);
                PostQuitMessage(0);
                RunMessageLoop();
                EXPECT_EQ(recorder.commands,
                          target.command ? std::vector<WORD>{static_cast<WORD>(key.command)} : std::vector<WORD>{})
                    << key.what << " in " << target.what;
            }
        }
        BYTE none[256] = {};
        SetKeyboardState(none);
    }
    PostMessageA(viewer, WM_CLOSE, 0, 0);
    PumpUntil([&] { return !IsWindow(viewer); }, 10000);
}

// What the status bar is told of each size change.
std::vector<std::pair<WPARAM, LPARAM>> s_statusSizes;
WNDPROC s_statusProc;

LRESULT CALLBACK RecordingStatusProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_SIZE)
        s_statusSizes.push_back({wParam, lParam});
    return CallWindowProcA(s_statusProc, window, message, wParam, lParam);
}

TEST_F(ShellTest, StatusBarIsToldOfEachSizeChangeAsTheMainWindowWas)
{
    const std::pair<WPARAM, LPARAM> changes[] = {
        {SIZE_RESTORED, MAKELPARAM(640, 480)},
        {SIZE_MAXIMIZED, MAKELPARAM(1024, 700)},
        {SIZE_MINIMIZED, 0},
    };
    {
        const Subclass recorder(g_app.statusBar, RecordingStatusProc, &s_statusProc);
        for (const auto& change : changes) {
            s_statusSizes.clear();
            SendMessageA(g_app.mainWindow, WM_SIZE, change.first, change.second);
            ASSERT_EQ(s_statusSizes.size(), 1u) << change.first;
            EXPECT_EQ(s_statusSizes[0].first, change.first);
            EXPECT_EQ(s_statusSizes[0].second, change.second) << change.first;
        }
    }
    Relayout();
}

} // namespace
