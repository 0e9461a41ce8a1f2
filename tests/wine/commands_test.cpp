// Commands, menu states, the context menu, dropped files and closing, as
// the user reaches them through the main window.
#include "harness/program_fixture.h"
#include "extraction_support.h"
#include "harness/import_patch.h"
#include "tools/outside/window_search.h"

#include <shlobj.h>

#include <cstring>
#include <thread>

#include "extract/extraction.h"
#include "pack/pack.h"
#include "resources/resource.h"
#include "shell/app_state.h"
#include "support/on_demand_dlls.h"
#include "shell/main_window.h"
#include "resources/texts.h"

namespace {

UINT ItemState(HMENU menu, UINT id)
{
    MENUITEMINFOA info = {};
    info.cbSize = sizeof info;
    info.fMask = MIIM_STATE;
    GetMenuItemInfoA(menu, id, FALSE, &info);
    return info.fState;
}

bool Grayed(HMENU menu, UINT id)
{
    return (ItemState(menu, id) & MFS_GRAYED) != 0;
}

HMENU ItemMenu()
{
    return GetSubMenu(g_app.mainMenu, 1);
}

void OpenPopup(HMENU popup)
{
    SendMessageA(g_app.mainWindow, WM_INITMENUPOPUP, reinterpret_cast<WPARAM>(popup), 1);
}

void SetClipboardText(const std::string& text)
{
    ASSERT_TRUE(OpenClipboard(nullptr));
    EmptyClipboard();
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, text.size() + 1);
    std::memcpy(GlobalLock(block), text.c_str(), text.size() + 1);
    GlobalUnlock(block);
    SetClipboardData(CF_TEXT, block);
    CloseClipboard();
}

// The program posts WM_QUIT when it closes; a test swallows it again.
bool TakeQuitMessage(int* code)
{
    MSG message;
    if (!PeekMessageA(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE))
        return false;
    *code = static_cast<int>(message.wParam);
    return true;
}

class CommandsTest : public ProgramTest {
protected:
    std::string OpenSample()
    {
        const std::string path =
            WritePack(temp, "sample.pak", {{"a.txt", {'a'}}, {"b.bmp", {'b', 'b'}}, {"c.dat", {}}, {"d.bin", {4}}});
        EXPECT_EQ(OpenPack(path.c_str()), 0);
        return path;
    }
};

TEST_F(CommandsTest, ItemMenuFollowsTheSelectionAndTheRun)
{
    OpenSample();
    CheckMenuItem(ItemMenu(), IDM_COPYNAMES, MF_BYCOMMAND | MF_CHECKED);
    OpenPopup(ItemMenu());
    EXPECT_TRUE(Grayed(ItemMenu(), IDM_EXTRACT));
    EXPECT_TRUE(Grayed(ItemMenu(), IDM_COPYNAMES));
    EXPECT_TRUE(Grayed(ItemMenu(), IDM_ABORT));
    EXPECT_FALSE(Grayed(ItemMenu(), IDM_SELECTALL));

    SelectRows({2});
    OpenPopup(ItemMenu());
    EXPECT_FALSE(Grayed(ItemMenu(), IDM_EXTRACT));
    EXPECT_FALSE(Grayed(ItemMenu(), IDM_COPYNAMES));
    EXPECT_TRUE(Grayed(ItemMenu(), IDM_ABORT));
    // Other state bits survive the update.
    EXPECT_NE(ItemState(ItemMenu(), IDM_COPYNAMES) & MFS_CHECKED, 0u);
    CheckMenuItem(ItemMenu(), IDM_COPYNAMES, MF_BYCOMMAND | MF_UNCHECKED);

    g_app.runState.store(RUN_RUNNING);
    OpenPopup(ItemMenu());
    EXPECT_FALSE(Grayed(ItemMenu(), IDM_ABORT));
    g_app.runState.store(RUN_IDLE);

    // The file menu: Close follows the pack, Open and Exit stay enabled.
    HMENU fileMenu = GetSubMenu(g_app.mainMenu, 0);
    OpenPopup(fileMenu);
    EXPECT_FALSE(Grayed(fileMenu, IDM_CLOSE));
    EXPECT_FALSE(Grayed(fileMenu, IDM_OPEN));
    ClosePack();
    OpenPopup(fileMenu);
    EXPECT_TRUE(Grayed(fileMenu, IDM_CLOSE));
    EXPECT_FALSE(Grayed(fileMenu, IDM_EXIT));
}

TEST_F(CommandsTest, AcceleratorsOfGrayedItemsSendNoCommand)
{
    struct Key {
        const char* what;
        UINT key;
        bool control;
    };
    auto press = [](const Key& key) {
        BYTE keys[256] = {};
        if (key.control)
            keys[VK_CONTROL] = keys[VK_LCONTROL] = 0x80;
        SetKeyboardState(keys);
        MSG message = {};
        message.hwnd = g_app.mainWindow;
        message.message = WM_KEYDOWN;
        message.wParam = key.key;
        message.lParam = 1;
        CommandRecorder recorder;
        TranslateAcceleratorA(g_app.mainWindow, g_app.accelerators, &message);
        BYTE none[256] = {};
        SetKeyboardState(none);
        return recorder.commands;
    };
    // No pack, nothing selected, no run: these are all grayed.
    for (const Key& key :
         {Key{"Ctrl+E", 'E', true}, Key{"Ctrl+C", 'C', true}, Key{"Ctrl+B", 'B', true}, Key{"Ctrl+F4", VK_F4, true}})
        EXPECT_TRUE(press(key).empty()) << key.what;
    // Select all is never grayed.
    EXPECT_EQ(press({"Ctrl+A", 'A', true}), std::vector<WORD>{IDM_SELECTALL});

    // With a pack open and no run, Ctrl+F4 closes at once without a question.
    OpenSample();
    BYTE keys[256] = {};
    keys[VK_CONTROL] = keys[VK_LCONTROL] = 0x80;
    SetKeyboardState(keys);
    MSG message = {};
    message.hwnd = g_app.mainWindow;
    message.message = WM_KEYDOWN;
    message.wParam = VK_F4;
    message.lParam = 1;
    TranslateAcceleratorA(g_app.mainWindow, g_app.accelerators, &message);
    BYTE none[256] = {};
    SetKeyboardState(none);
    EXPECT_EQ(std::string(g_app.packPath), "");
    EXPECT_EQ(dialogs.Count(), 0u);
}

TEST_F(CommandsTest, CopyFileNamesPutsSelectedNamesInRowOrderEachWithALineFeed)
{
    const std::string longName(255, 'L');
    const std::string path = WritePack(
        temp, "names.pak", {{"a.txt", {1}}, {"skip.me", {2}}, {"b.bmp", {3}}, {"表ソ.txt", {4}}, {longName, {5}}});
    ASSERT_EQ(OpenPack(path.c_str()), 0);
    SelectRows({3, 0, 2});
    Command(IDM_COPYNAMES);
    EXPECT_EQ(ClipboardText(), "a.txt\nb.bmp\n表ソ.txt\n");

    // A 255-byte name gives its first 254 bytes.
    SelectRows({4});
    Command(IDM_COPYNAMES);
    EXPECT_EQ(ClipboardText(), longName.substr(0, 254) + "\n");

    // Nothing selected: the clipboard is not touched.
    SetClipboardText("untouched");
    SelectRows({});
    Command(IDM_COPYNAMES);
    EXPECT_EQ(ClipboardText(), "untouched");
}

// A clipboard viewer that holds the clipboard open while the names are
// copied, then lets go: the copy waits for it instead of being lost.
TEST_F(CommandsTest, CopyFileNamesWaitsForAClipboardHeldForAMoment)
{
    OpenSample();
    SelectRows({0, 1});
    SetClipboardText("before");
    struct Holder {
        HANDLE opened = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        DWORD holdMs = 60;
    } holder;
    const HANDLE thread = CreateThread(
        nullptr, 0,
        [](void* context) -> DWORD {
            auto* self = static_cast<Holder*>(context);
            const BOOL opened = OpenClipboard(nullptr);
            SetEvent(self->opened);
            Sleep(self->holdMs);
            if (opened)
                CloseClipboard();
            return opened ? 0 : 1;
        },
        &holder, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    WaitForSingleObject(holder.opened, 5000);
    Command(IDM_COPYNAMES);
    WaitForSingleObject(thread, 5000);
    DWORD held = 1;
    GetExitCodeThread(thread, &held);
    CloseHandle(thread);
    CloseHandle(holder.opened);
    EXPECT_EQ(held, 0u) << "the other thread never held the clipboard";
    EXPECT_EQ(ClipboardText(), "a.txt\nb.bmp\n");
}

// What the program hands the clipboard, recorded on the way: Wine adds a
// locale of its own to text that comes without one, so only the hand-over
// shows whether the program names the names' locale.
std::vector<std::pair<UINT, LCID>> s_handedFormats;
void* s_realSetClipboardData;

HANDLE WINAPI RecordSetClipboardData(UINT format, HANDLE data)
{
    LCID locale = 0;
    if (format == CF_LOCALE && data != nullptr) {
        locale = *static_cast<const LCID*>(GlobalLock(data));
        GlobalUnlock(data);
    }
    s_handedFormats.push_back({format, locale});
    return reinterpret_cast<HANDLE(WINAPI*)(UINT, HANDLE)>(s_realSetClipboardData)(format, data);
}

std::string AnsiCodePageOf(LCID locale)
{
    char codePage[8] = {};
    GetLocaleInfoA(locale, LOCALE_IDEFAULTANSICODEPAGE, codePage, sizeof codePage);
    return codePage;
}

// The names are code page 932 whatever keyboard layout is active: other
// programs read them through the locale handed over with them.
TEST_F(CommandsTest, CopiedNamesComeWithTheirLocaleUnderAnEnglishLayout)
{
    const std::string path = WritePack(temp, "names.pak", {{"表ソ.txt", {1}}, {"ｶﾅ.bin", {2}}});
    ASSERT_EQ(OpenPack(path.c_str()), 0);
    HKL english = LoadKeyboardLayoutA("00000409", KLF_ACTIVATE);
    ASSERT_NE(english, nullptr);
    HKL before = ActivateKeyboardLayout(english, 0);
    SelectRows({0, 1});
    s_handedFormats.clear();
    {
        ImportPatch recorder("user32.dll", "SetClipboardData", reinterpret_cast<void*>(&RecordSetClipboardData));
        ASSERT_TRUE(recorder.Installed());
        s_realSetClipboardData = recorder.Original();
        Command(IDM_COPYNAMES);
    }
    if (before != nullptr)
        ActivateKeyboardLayout(before, 0);

    ASSERT_EQ(s_handedFormats.size(), 2u);
    EXPECT_EQ(s_handedFormats[0].first, static_cast<UINT>(CF_TEXT));
    EXPECT_EQ(s_handedFormats[1].first, static_cast<UINT>(CF_LOCALE));
    EXPECT_EQ(AnsiCodePageOf(s_handedFormats[1].second), "932");
    std::wstring unicode;
    ASSERT_TRUE(OpenClipboard(nullptr));
    if (HANDLE data = GetClipboardData(CF_UNICODETEXT)) {
        unicode = static_cast<const wchar_t*>(GlobalLock(data));
        GlobalUnlock(data);
    }
    CloseClipboard();
    EXPECT_EQ(unicode, L"\u8868\u30BD.txt\n\uFF76\uFF85.bin\n");
}

// COM is entered once at start-up on this, the UI thread, single-threaded
// (a multi-threaded apartment is then refused), and left at exit.
TEST_F(CommandsTest, ComIsASingleThreadedApartmentFromStartUpToExit)
{
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), RPC_E_CHANGED_MODE);
    LeaveComApartment();
    const HRESULT afterExit = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    EXPECT_EQ(afterExit, S_OK);
    if (SUCCEEDED(afterExit))
        CoUninitialize();
    EXPECT_TRUE(EnterComApartment());
}

TEST_F(CommandsTest, CopyFileNamesWithoutMemoryLeavesClipboardAndHeapAsTheyWere)
{
    std::vector<pakwriter::Entry> entries;
    for (int i = 0; i < 3000; ++i)
        entries.push_back({"a-rather-long-entry-name-to-fill-memory-" + std::to_string(i) + ".bin", {}});
    const std::string path = WritePack(temp, "many.pak", entries);
    ASSERT_EQ(OpenPack(path.c_str()), 0);
    Command(IDM_SELECTALL);
    SetClipboardText("before");

    // A real heap with a ceiling too low for the joined names.
    HANDLE roomy = g_app.heap;
    HANDLE small = HeapCreate(0, 0, 64 * 1024);
    ASSERT_NE(small, nullptr);
    g_app.heap = small;
    Command(IDM_COPYNAMES);
    g_app.heap = roomy;
    EXPECT_EQ(HeapBusyBlocks(small), 0u);
    HeapDestroy(small);
    EXPECT_EQ(ClipboardText(), "before");
    EXPECT_EQ(dialogs.Count(), 0u);
}

TEST_F(CommandsTest, OpenAsksForAPackAndOpensTheChosenFile)
{
    const std::string pack = WritePack(temp, "chosen.pak", {{"x.txt", {1}}, {"y.txt", {2}}});
    dialogs.Answer({{IDOK, pack}});
    Command(IDM_OPEN);
    ASSERT_GE(dialogs.Count(), 1u);
    EXPECT_EQ(dialogs.Seen()[0].caption, OPEN_DIALOG_TITLE);
    EXPECT_EQ(std::string(g_app.packPath), pack);
    EXPECT_EQ(RowCount(), 2);

    // Cancelled: the open pack stays as it is.
    dialogs.Clear();
    dialogs.Answer({{IDCANCEL}});
    Command(IDM_OPEN);
    EXPECT_EQ(dialogs.Count(), 1u);
    EXPECT_EQ(std::string(g_app.packPath), pack);
    EXPECT_EQ(RowCount(), 2);
}

TEST_F(CommandsTest, SelectAllSelectsEveryRowAndNothingOnAnEmptyList)
{
    Command(IDM_SELECTALL);
    EXPECT_TRUE(SelectedRows().empty());
    OpenSample();
    Command(IDM_SELECTALL);
    EXPECT_EQ(SelectedRows(), (std::vector<int>{0, 1, 2, 3}));
    OpenPopup(ItemMenu());
    EXPECT_FALSE(Grayed(ItemMenu(), IDM_EXTRACT));
    EXPECT_FALSE(Grayed(ItemMenu(), IDM_COPYNAMES));
}

TEST_F(CommandsTest, CloseCommandClosesAnyOpenPackAndNothingElse)
{
    Command(IDM_CLOSE);
    EXPECT_EQ(dialogs.Count(), 0u);
    EXPECT_TRUE(StatusHistory().empty());

    OpenSample();
    Command(IDM_CLOSE);
    EXPECT_EQ(std::string(g_app.packPath), "");
    EXPECT_EQ(RowCount(), 0);
    EXPECT_EQ(StatusText(), PACK_CLOSED_STATUS);

    // A pack with an empty directory is closed too: its tree item goes.
    pakwriter::Layout empty;
    const std::string path = temp + "\\empty.pak";
    ASSERT_TRUE(WriteBytes(path, pakwriter::Encode(empty)));
    ASSERT_EQ(OpenPack(path.c_str()), 0);
    EXPECT_EQ(CloseItemState(), 0u);
    Command(IDM_CLOSE);
    EXPECT_EQ(TreeItemCount(), 0);
    EXPECT_EQ(TitleText(), "quorvel");
    EXPECT_EQ(CloseItemState(), static_cast<UINT>(MFS_GRAYED));
}

TEST_F(CommandsTest, DroppingOneFileOpensItAndMoreAreRefused)
{
    const std::string pack = WritePack(temp, "dropped.data", {{"x.txt", {1}}});
    SendMessageA(g_app.mainWindow, WM_DROPFILES, reinterpret_cast<WPARAM>(MakeDrop({pack})), 0);
    EXPECT_EQ(std::string(g_app.packPath), pack);
    EXPECT_EQ(RowCount(), 1);

    const std::string other = WritePack(temp, "other.pak", {{"y.txt", {1}}});
    dialogs.Answer({{IDOK}});
    SendMessageA(g_app.mainWindow, WM_DROPFILES, reinterpret_cast<WPARAM>(MakeDrop({pack, other})), 0);
    ASSERT_EQ(dialogs.Count(), 1u);
    EXPECT_EQ(dialogs.Seen()[0].caption, "");
    EXPECT_EQ(dialogs.Seen()[0].text, TOO_MANY_DROPPED_TEXT);
    EXPECT_EQ(std::string(g_app.packPath), pack);

    // A folder is handed to OpenPack, which cannot open it.
    dialogs.Clear();
    SendMessageA(g_app.mainWindow, WM_DROPFILES, reinterpret_cast<WPARAM>(MakeDrop({temp})), 0);
    ASSERT_EQ(dialogs.Count(), 1u);
    EXPECT_EQ(dialogs.Seen()[0].caption, ERROR_CAPTION);
    EXPECT_EQ(std::string(g_app.packPath), "");
}

TEST_F(CommandsTest, DroppedPathsOf256BytesOrMoreAreRefused)
{
    std::string folder = temp;
    while (folder.size() < 200) {
        folder += "\\" + std::string(60, 'f');
        CreateDirectoryA(folder.c_str(), nullptr);
    }
    const std::string name = std::string(256 - folder.size() - 1 - 4, 'n') + ".pak";
    const std::string path = folder + "\\" + name;
    ASSERT_EQ(path.size(), 256u);
    WriteBytes(path, pakwriter::BuildPack({{"x", {1}}}));
    SendMessageA(g_app.mainWindow, WM_DROPFILES, reinterpret_cast<WPARAM>(MakeDrop({path})), 0);
    ASSERT_EQ(dialogs.Count(), 1u);
    EXPECT_EQ(dialogs.Seen()[0].caption, ERROR_CAPTION);
    EXPECT_EQ(std::string(g_app.packPath), "");
    DeleteFileA(path.c_str());
}

TEST_F(CommandsTest, ClosingWhileIdleClosesThePackRemovesThePreviewFolderAndQuits)
{
    OpenSample();
    char previewFolder[MAX_PATH + 16] = {};
    GetTempPathA(MAX_PATH, previewFolder);
    lstrcatA(previewFolder, "$PAKTEMP");
    CreateDirectoryA(previewFolder, nullptr);
    WriteBytes(std::string(previewFolder) + "\\old.txt", {1, 2});

    EXPECT_EQ(SendMessageA(g_app.mainWindow, WM_CLOSE, 0, 0), 0);
    int code = -1;
    EXPECT_TRUE(TakeQuitMessage(&code));
    EXPECT_EQ(code, 0);
    EXPECT_EQ(dialogs.Count(), 0u);
    EXPECT_EQ(std::string(g_app.packPath), "");
    EXPECT_FALSE(FileExists(previewFolder));
    EXPECT_TRUE(IsWindow(g_app.mainWindow));
}

TEST_F(CommandsTest, ExitPostsTheSameCloseRequestAsTheCloseBox)
{
    OpenSample();
    Command(IDM_EXIT);
    MSG posted = {};
    ASSERT_TRUE(PeekMessageA(&posted, g_app.mainWindow, WM_CLOSE, WM_CLOSE, PM_REMOVE));
    EXPECT_EQ(std::string(g_app.packPath).empty(), false); // nothing happens before it is handled
    DispatchMessageA(&posted);
    int code = -1;
    EXPECT_TRUE(TakeQuitMessage(&code));
    EXPECT_EQ(code, 0);
    EXPECT_EQ(std::string(g_app.packPath), "");
}

// Starts a run on an entry big enough to still be copying when the test acts.
void StartLongRun(CommandsTest* test, DialogWatcher& dialogs, const std::string& temp, const std::string& out)
{
    std::vector<pakwriter::GeneratedEntry> entries = {{"big.bin", 256ull << 20}, {"after.bin", 1024}};
    const std::string pack = temp + "\\big.pak";
    ASSERT_TRUE(pakwriter::WriteGeneratedPack(pack, entries, pakwriter::FillPattern));
    ASSERT_EQ(OpenPack(pack.c_str()), 0);
    SelectRows({0, 1});
    CreateDirectoryA(out.c_str(), nullptr);
    dialogs.Answer({{IDOK, out}});
    SendMessageA(g_app.mainWindow, WM_COMMAND, IDM_EXTRACT, 0);
    ASSERT_TRUE(PumpUntil([&] { return FileExists(out + "\\big.bin"); }));
    (void)test;
}

TEST_F(CommandsTest, CloseDuringARunAsksFirst)
{
    const std::string out = temp + "\\out";
    StartLongRun(this, dialogs, temp, out);
    dialogs.Answer({{IDNO}});
    Command(IDM_CLOSE);
    ASSERT_GE(dialogs.Count(), 2u);
    EXPECT_EQ(dialogs.Seen()[1].caption, QUESTION_CAPTION);
    EXPECT_EQ(dialogs.Seen()[1].text, CLOSE_QUESTION);
    EXPECT_NE(g_app.packPath[0], 0);
    EXPECT_TRUE(Extracting());

    dialogs.Answer({{IDYES}});
    Command(IDM_CLOSE);
    EXPECT_EQ(std::string(g_app.packPath), "");
    EXPECT_FALSE(IsExtractionWorkerActive());
    // The job in progress was given up at once, leaving nothing under its
    // name, and the run ended before the pack was closed; the job behind it
    // was dropped.
    EXPECT_FALSE(FileExists(out + "\\big.bin"));
    EXPECT_FALSE(FileExists(out + "\\after.bin"));
    const std::vector<std::string> ending(StatusHistory().end() - 2, StatusHistory().end());
    EXPECT_EQ(ending, (std::vector<std::string>{RUN_ABORTED_STATUS, PACK_CLOSED_STATUS}));
    EXPECT_TRUE(HeapValidate(g_app.heap, 0, nullptr));
}

TEST_F(CommandsTest, ClosingTheWindowDuringARunAsksAndQuitsPromptly)
{
    const std::string out = temp + "\\out";
    StartLongRun(this, dialogs, temp, out);
    dialogs.Answer({{IDNO}});
    EXPECT_EQ(SendMessageA(g_app.mainWindow, WM_CLOSE, 0, 0), 1);
    ASSERT_GE(dialogs.Count(), 2u);
    EXPECT_EQ(dialogs.Seen()[1].text, QUIT_QUESTION);
    EXPECT_TRUE(Extracting());
    EXPECT_TRUE(IsExtractionWorkerActive());

    dialogs.Answer({{IDYES}});
    const ULONGLONG before = GetTickCount64();
    EXPECT_EQ(SendMessageA(g_app.mainWindow, WM_CLOSE, 0, 0), 0);
    const ULONGLONG waited = GetTickCount64() - before;
    int code = -1;
    EXPECT_TRUE(TakeQuitMessage(&code));
    EXPECT_EQ(code, 0);
    // The interrupted entry is not left looking complete.
    EXPECT_FALSE(FileExists(out + "\\big.bin"));
    EXPECT_FALSE(FileExists(out + "\\after.bin"));
    EXPECT_EQ(std::string(g_app.packPath), "");
    std::printf("closing during a 256 MiB entry took %llu ms\n", static_cast<unsigned long long>(waited));
    ForgetQuitting();
}

struct MenuSighting {
    RECT rect = {};
    bool seen = false;
};

// Watches for the popup menu window, notes where it opened, then closes it.
void WatchContextMenu(MenuSighting* sighting)
{
    const ULONGLONG deadline = GetTickCount64() + 5000;
    while (GetTickCount64() < deadline) {
        HWND menu = FindProcessWindow(GetCurrentProcessId(), "#32768");
        if (menu != nullptr) {
            // The window shows before it is placed and sized.
            for (int i = 0; i < 50 && sighting->rect.right == sighting->rect.left; ++i) {
                Sleep(10);
                GetWindowRect(menu, &sighting->rect);
            }
            sighting->seen = true;
            PostMessageA(g_app.mainWindow, WM_KEYDOWN, VK_ESCAPE, 0);
            PostMessageA(g_app.mainWindow, WM_CANCELMODE, 0, 0);
            return;
        }
        Sleep(10);
    }
}

// Where the program asked the platform to show its popup: the call is
// redirected through this program's import table to a recorder.
struct PopupRequest {
    int x = 0;
    int y = 0;
    HWND owner = nullptr;
    bool made = false;
};
PopupRequest s_request;
using TrackPopupMenuExFunction = BOOL(WINAPI*)(HMENU, UINT, int, int, HWND, LPTPMPARAMS);
TrackPopupMenuExFunction s_realTrackPopupMenuEx;

BOOL WINAPI RecordingTrackPopupMenuEx(HMENU menu, UINT flags, int x, int y, HWND owner, LPTPMPARAMS parameters)
{
    s_request = {x, y, owner, true};
    return s_realTrackPopupMenuEx(menu, flags, x, y, owner, parameters);
}

TEST_F(CommandsTest, ContextMenuOpensAtTheUnsignedPointOfTheMessage)
{
    OpenSample();
    SelectRows({0});
    ImportPatch popup("user32.dll", "TrackPopupMenuEx", reinterpret_cast<void*>(RecordingTrackPopupMenuEx));
    ASSERT_TRUE(popup.Installed());
    s_realTrackPopupMenuEx = reinterpret_cast<TrackPopupMenuExFunction>(popup.Original());

    MenuSighting atPoint;
    std::thread watcher(WatchContextMenu, &atPoint);
    SendMessageA(g_app.mainWindow, WM_CONTEXTMENU, reinterpret_cast<WPARAM>(g_app.mainWindow), MAKELPARAM(120, 140));
    watcher.join();
    EXPECT_TRUE(s_request.made);
    EXPECT_EQ(s_request.x, 120);
    EXPECT_EQ(s_request.y, 140);
    EXPECT_EQ(s_request.owner, g_app.mainWindow);
    // The menu really opened there, top-left corner at the point.
    ASSERT_TRUE(atPoint.seen);
    EXPECT_EQ(atPoint.rect.left, 120);
    EXPECT_EQ(atPoint.rect.top, 140);

    // The keyboard form (-1, -1) is read as 65535, 65535, not near the selection.
    s_request = {};
    MenuSighting keyboard;
    std::thread keyboardWatcher(WatchContextMenu, &keyboard);
    SendMessageA(g_app.mainWindow, WM_CONTEXTMENU, reinterpret_cast<WPARAM>(g_app.mainWindow), MAKELPARAM(-1, -1));
    keyboardWatcher.join();
    EXPECT_TRUE(s_request.made);
    EXPECT_EQ(s_request.x, 65535);
    EXPECT_EQ(s_request.y, 65535);
}

// Quitting is confirmed and the preview folder's removal asks whether to
// retry a file it cannot delete: whatever arrives meanwhile is ignored.
TEST_F(CommandsTest, OnceQuittingIsConfirmedCommandsDropsAndClosesAreIgnored)
{
    const std::string pack = OpenSample();
    char tempRoot[MAX_PATH + 1] = {};
    GetTempPathA(MAX_PATH, tempRoot);
    const std::string preview = std::string(tempRoot) + "$PAKTEMP";
    CreateDirectoryA(preview.c_str(), nullptr);
    const std::string heldPath = preview + "\\held.txt";
    ASSERT_TRUE(WriteBytes(heldPath, {1}));
    HANDLE held = CreateFileA(heldPath.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    const std::string out = temp + "\\out";
    CreateDirectoryA(out.c_str(), nullptr);

    // The retry question stays open for the inputs; the rest answers what
    // an input that was not ignored would show, so that the test ends.
    dialogs.Answer({{0}, {IDCANCEL}, {IDOK, out}, {IDNO}, {IDNO}});
    size_t dialogsAfterInputs = 0;
    extraction_support::UiTimer inputs([&] {
        HWND retry = extraction_support::FindDialog(heldPath);
        if (retry == nullptr)
            return false;
        Command(IDM_OPEN);
        Command(IDM_EXTRACT);
        SendMessageA(g_app.mainWindow, WM_DROPFILES, reinterpret_cast<WPARAM>(MakeDrop({pack})), 0);
        SendMessageA(g_app.mainWindow, WM_CLOSE, 0, 0);
        PumpFor(100);
        dialogsAfterInputs = dialogs.Count();
        extraction_support::Press(retry, IDNO);
        return true;
    });
    EXPECT_EQ(SendMessageA(g_app.mainWindow, WM_CLOSE, 0, 0), 0);
    CloseHandle(held);
    int code = -1;
    EXPECT_TRUE(TakeQuitMessage(&code));

    EXPECT_TRUE(inputs.Done());
    EXPECT_EQ(dialogsAfterInputs, 1u);
    EXPECT_EQ(dialogs.Count(), 1u);
    EXPECT_EQ(std::string(g_app.packPath), "");
    EXPECT_FALSE(IsExtractionWorkerActive());
    EXPECT_EQ(std::count(StatusHistory().begin(), StatusHistory().end(), RUN_STARTED_STATUS), 0);
    RemoveTree(preview);
}

} // namespace
