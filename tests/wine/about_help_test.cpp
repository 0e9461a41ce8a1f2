// The About box and the Help command, as the Help menu runs them.
#include "harness/program_fixture.h"
#include "harness/import_patch.h"
#include "tools/outside/window_search.h"

#include <functional>
#include <thread>

#include "resources/resource.h"
#include "shell/app_state.h"
#include "support/about.h"

namespace {

const char* const ABOUT_CAPTION = "quorvelについて...";
const char* const HELP_TITLE = "quorvel ヘルプ";

// ---------------------------------------------------------------------------
// The About box

// The About box of this process: other processes of the prefix may show one too.
HWND FindAboutBox()
{
    return FindProcessWindow(GetCurrentProcessId(), "#32770", ABOUT_CAPTION);
}

bool WaitFor(const std::function<bool()>& done, DWORD timeoutMs)
{
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (!done()) {
        if (GetTickCount64() > deadline)
            return false;
        Sleep(2);
    }
    return true;
}

struct AboutRun {
    bool opened = false;
    std::string version;
    HWND owner = nullptr;
    bool ownerEnabled = true;
    bool closedByAction = false;
};

class AboutBoxTest : public ProgramTest {
protected:
    // Gives the About command and, while its modal loop runs on this thread,
    // acts on the open box from a second thread as a user would. A box that
    // the action left open is closed afterwards, so the command returns.
    AboutRun RunAbout(const std::function<void(HWND)>& action, bool expectClosed)
    {
        dialogs.Answer({{0}}); // recorded, left to the action
        const size_t seenBefore = dialogs.Count();
        AboutRun run;
        std::thread driver([&] {
            HWND box = nullptr;
            if (!WaitFor([&] { return (box = FindAboutBox()) != nullptr; }, 15000))
                return;
            // The watcher takes its answer for this box before anything is done to it.
            WaitFor([&] { return dialogs.Count() > seenBefore; }, 15000);
            run.opened = true;
            char text[64] = {};
            GetDlgItemTextA(box, IDC_VERSION, text, sizeof text - 1);
            run.version = text;
            run.owner = GetWindow(box, GW_OWNER);
            run.ownerEnabled = IsWindowEnabled(g_app.mainWindow) != FALSE;
            action(box);
            // A box that must stay open is given a second to show it does.
            run.closedByAction = WaitFor([&] { return !IsWindow(box); }, expectClosed ? 10000 : 1000);
            if (!run.closedByAction)
                PostMessageA(box, WM_COMMAND, IDOK, 0);
        });
        Command(IDM_ABOUT);
        driver.join();
        return run;
    }
};

TEST_F(AboutBoxTest, ShowsTheProgramsFileVersionModallyOverTheMainWindow)
{
    const AboutRun run = RunAbout([](HWND box) { PostMessageA(box, WM_COMMAND, IDOK, 0); }, true);
    ASSERT_TRUE(run.opened);
    EXPECT_EQ(run.version, "Version 1.0.1.1");
    EXPECT_EQ(run.owner, g_app.mainWindow);
    EXPECT_FALSE(run.ownerEnabled);
    EXPECT_TRUE(IsWindowEnabled(g_app.mainWindow));
    ASSERT_EQ(dialogs.Count(), 1u);
    EXPECT_EQ(dialogs.Seen()[0].caption, ABOUT_CAPTION);
}

TEST_F(AboutBoxTest, ClosesByOkEnterEscapeAndTheCloseBoxOnly)
{
    const struct {
        const char* what;
        std::function<void(HWND)> action;
        bool closes;
    } cases[] = {
        {"OK clicked", [](HWND box) { SendMessageA(GetDlgItem(box, IDOK), BM_CLICK, 0, 0); }, true},
        {"Enter", [](HWND box) { PostMessageA(GetDlgItem(box, IDOK), WM_KEYDOWN, VK_RETURN, 0x001C0001); }, true},
        {"Escape", [](HWND box) { PostMessageA(GetDlgItem(box, IDOK), WM_KEYDOWN, VK_ESCAPE, 0x00010001); }, true},
        {"close box", [](HWND box) { PostMessageA(box, WM_SYSCOMMAND, SC_CLOSE, 0); }, true},
        {"WM_CLOSE", [](HWND box) { PostMessageA(box, WM_CLOSE, 0, 0); }, true},
        {"command IDOK", [](HWND box) { SendMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, 0), 0); }, true},
        {"command IDCANCEL", [](HWND box) { SendMessageA(box, WM_COMMAND, MAKEWPARAM(IDCANCEL, 0), 0); }, true},
        // The notification code is not looked at.
        {"IDOK with a notification code", [](HWND box) { SendMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, 7), 0); },
         true},
        {"command 0", [](HWND box) { SendMessageA(box, WM_COMMAND, MAKEWPARAM(0, 0), 0); }, false},
        {"command 3", [](HWND box) { SendMessageA(box, WM_COMMAND, MAKEWPARAM(3, 0), 0); }, false},
        {"a static text (id -1)", [](HWND box) { SendMessageA(box, WM_COMMAND, MAKEWPARAM(0xFFFF, 0), 0); }, false},
        {"the version text", [](HWND box) { SendMessageA(box, WM_COMMAND, MAKEWPARAM(IDC_VERSION, 0), 0); }, false},
    };
    for (const auto& c : cases) {
        dialogs.Clear();
        const AboutRun run = RunAbout(c.action, c.closes);
        ASSERT_TRUE(run.opened) << c.what;
        EXPECT_EQ(run.version, "Version 1.0.1.1") << c.what;
        // What the watcher did with the box, should it have closed it itself.
        EXPECT_EQ(run.closedByAction, c.closes)
            << c.what << "; boxes seen " << dialogs.Count() << ", first answered with "
            << (dialogs.Count() != 0 ? dialogs.Seen()[0].answeredWith : -1);
        EXPECT_EQ(FindAboutBox(), nullptr) << c.what;
    }
}

TEST_F(AboutBoxTest, OpeningItManyTimesDoesNotGrowThePrivateHeap)
{
    // The watcher answers each box with OK.
    Command(IDM_ABOUT);
    const uint64_t before = MeasureHeap(g_app.heap).requestedBytes;
    for (int i = 0; i < 100; ++i)
        Command(IDM_ABOUT);
    const uint64_t after = MeasureHeap(g_app.heap).requestedBytes;
    EXPECT_EQ(dialogs.Count(), 101u);
    for (const SeenDialog& seen : dialogs.Seen())
        EXPECT_EQ(seen.caption, ABOUT_CAPTION);
    EXPECT_EQ(after, before);
    EXPECT_TRUE(HeapValidate(g_app.heap, 0, nullptr));
}

// A crafted version block, laid out as GetFileVersionInfoA returns one: the
// header with "VS_VERSION_INFO", padding to 40, then the fixed information.
std::vector<uint8_t> VersionBlock(DWORD signature, DWORD versionMs, DWORD versionLs)
{
    std::vector<uint8_t> block(92, 0);
    auto put16 = [&](size_t at, WORD value) {
        block[at] = LOBYTE(value);
        block[at + 1] = HIBYTE(value);
    };
    auto put32 = [&](size_t at, DWORD value) {
        put16(at, LOWORD(value));
        put16(at + 2, HIWORD(value));
    };
    put16(0, 92);
    put16(2, 52);
    const char* key = "VS_VERSION_INFO";
    for (size_t i = 0; key[i] != 0; ++i)
        put16(6 + 2 * i, static_cast<WORD>(key[i]));
    put32(40, signature);
    put32(44, 0x00010000);
    put32(48, versionMs);
    put32(52, versionLs);
    return block;
}

// Bytes placed at the very end of a readable page, with an unreadable page
// behind them: a read past the block faults instead of going unnoticed.
class GuardedBytes {
public:
    explicit GuardedBytes(const std::vector<uint8_t>& bytes)
    {
        SYSTEM_INFO system;
        GetSystemInfo(&system);
        const SIZE_T page = system.dwPageSize;
        base_ = static_cast<uint8_t*>(VirtualAlloc(nullptr, 2 * page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        DWORD old = 0;
        VirtualProtect(base_ + page, page, PAGE_NOACCESS, &old);
        data_ = base_ + page - bytes.size();
        for (size_t i = 0; i < bytes.size(); ++i)
            data_[i] = bytes[i];
    }
    ~GuardedBytes() { VirtualFree(base_, 0, MEM_RELEASE); }
    const unsigned char* Data() const { return data_; }

private:
    uint8_t* base_ = nullptr;
    uint8_t* data_ = nullptr;
};

TEST(AboutBoxVersion, ReadsTheFixedInformationOnlyInsideTheBlock)
{
    const std::vector<uint8_t> good = VersionBlock(0xFEEF04BD, 0x00010000, 0x00010001);
    std::vector<uint8_t> shortDeclared = good;
    shortDeclared[0] = 50;
    const struct {
        const char* what;
        std::vector<uint8_t> block;
        const char* text; // nullptr: refused, the box keeps "Version 0.0.0.0"
    } cases[] = {
        {"the program's version", good, "Version 1.0.1.1"},
        {"16-bit parts read unsigned", VersionBlock(0xFEEF04BD, 0xFFFF0002, 0x80007FFF), "Version 65535.2.32768.32767"},
        {"exactly up to the last version word", std::vector<uint8_t>(good.begin(), good.begin() + 56),
         "Version 1.0.1.1"},
        {"no signature", VersionBlock(0x12345678, 0x00010000, 0x00010001), nullptr},
        {"signature of the other byte order", VersionBlock(0xBD04EFFE, 0x00010000, 0x00010001), nullptr},
        {"ends inside the last version word", std::vector<uint8_t>(good.begin(), good.begin() + 55), nullptr},
        {"ends before the signature", std::vector<uint8_t>(good.begin(), good.begin() + 42), nullptr},
        {"declares itself shorter than its buffer", shortDeclared, nullptr},
        {"one byte", std::vector<uint8_t>(1, 92), nullptr},
    };
    for (const auto& c : cases) {
        const GuardedBytes bytes(c.block);
        char text[64] = "untouched";
        const bool formatted = FormatFileVersion(bytes.Data(), static_cast<DWORD>(c.block.size()), text);
        EXPECT_EQ(formatted, c.text != nullptr) << c.what;
        EXPECT_STREQ(text, c.text != nullptr ? c.text : "untouched") << c.what;
    }
    char text[64] = "untouched";
    EXPECT_FALSE(FormatFileVersion(nullptr, 0, text));
    EXPECT_STREQ(text, "untouched");
}

// ---------------------------------------------------------------------------
// Help

struct FoundWindows {
    DWORD process;
    std::vector<HWND> windows;
};

BOOL CALLBACK CollectHelpWindow(HWND window, LPARAM context)
{
    auto* found = reinterpret_cast<FoundWindows*>(context);
    char name[64] = {};
    GetClassNameA(window, name, sizeof name);
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (process == found->process && lstrcmpA(name, "HH Parent") == 0)
        found->windows.push_back(window);
    return TRUE;
}

std::vector<HWND> HelpWindows()
{
    FoundWindows found{GetCurrentProcessId(), {}};
    EnumWindows(CollectHelpWindow, reinterpret_cast<LPARAM>(&found));
    return found.windows;
}

void CloseHelpWindows()
{
    for (HWND window : HelpWindows())
        PostMessageA(window, WM_CLOSE, 0, 0);
    PumpUntil([] { return HelpWindows().empty(); }, 10000);
}

std::string ProgramFolder()
{
    char path[MAX_PATH + 1] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string folder = path;
    return folder.substr(0, folder.rfind('\\') + 1);
}

std::vector<std::string>& LoadAttempts()
{
    static std::vector<std::string> attempts;
    return attempts;
}

HMODULE WINAPI RefuseLoad(LPCSTR name)
{
    LoadAttempts().push_back(name != nullptr ? name : "");
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

// A module that loads but has no export 14: the test program itself.
HMODULE WINAPI LoadWithoutHtmlHelp(LPCSTR name)
{
    LoadAttempts().push_back(name != nullptr ? name : "");
    return GetModuleHandleA(nullptr);
}

class HelpTest : public ProgramTest {
protected:
    void SetUp() override
    {
        ProgramTest::SetUp();
        savedModule = g_app.helpModule;
        savedEntry = g_app.helpEntry;
        savedFailed = g_app.helpLoadFailed;
        char current[MAX_PATH + 1] = {};
        GetCurrentDirectoryA(MAX_PATH, current);
        savedCurrent = current;
    }

    void TearDown() override
    {
        CloseHelpWindows();
        g_app.helpModule = savedModule;
        g_app.helpEntry = savedEntry;
        g_app.helpLoadFailed = savedFailed;
        SetCurrentDirectoryA(savedCurrent.c_str());
        ProgramTest::TearDown();
    }

    HMODULE savedModule = nullptr;
    FARPROC savedEntry = nullptr;
    BOOL savedFailed = FALSE;
    std::string savedCurrent;
};

TEST_F(HelpTest, OpensTheHelpFileBesideTheProgramWhateverTheCurrentFolder)
{
    ASSERT_TRUE(FileExists(ProgramFolder() + "quorvel.chm"))
        << "quorvel.chm is not beside the test program: build the quorvel_help target";
    // A file of the same name in the current folder that no viewer can show.
    ASSERT_TRUE(WriteBytes(temp + "\\quorvel.chm", {'n', 'o', 't', ' ', 'h', 'e', 'l', 'p'}));
    ASSERT_TRUE(SetCurrentDirectoryA(temp.c_str()));
    ASSERT_TRUE(HelpWindows().empty());

    Command(IDM_HELP);
    ASSERT_TRUE(PumpUntil([] { return !HelpWindows().empty(); }, 30000)) << "no help window";
    const std::vector<HWND> windows = HelpWindows();
    ASSERT_EQ(windows.size(), 1u);
    // The title comes from inside the help file.
    EXPECT_EQ(WindowText(windows[0]), HELP_TITLE);
    EXPECT_EQ(dialogs.Count(), 0u);
    EXPECT_NE(g_app.helpModule, nullptr);
    EXPECT_FALSE(g_app.helpLoadFailed);
}

TEST_F(HelpTest, MissingHelpControlIsSilentAndTriedOnlyOnce)
{
    const struct {
        const char* what;
        void* loader;
    } cases[] = {
        {"the control cannot be loaded", reinterpret_cast<void*>(&RefuseLoad)},
        {"the control has no HtmlHelpA", reinterpret_cast<void*>(&LoadWithoutHtmlHelp)},
    };
    for (const auto& c : cases) {
        g_app.helpModule = nullptr;
        g_app.helpEntry = nullptr;
        g_app.helpLoadFailed = FALSE;
        dialogs.Clear();
        std::vector<size_t> attemptsPerCommand;
        {
            ImportPatch loader("kernel32.dll", "LoadLibraryA", c.loader);
            ASSERT_TRUE(loader.Installed());
            for (int i = 0; i < 3; ++i) {
                LoadAttempts().clear();
                Command(IDM_HELP);
                PumpFor(100);
                attemptsPerCommand.push_back(LoadAttempts().size());
                // The registered path first, when there is one, then the name.
                for (std::string name : LoadAttempts()) {
                    CharLowerA(name.data());
                    EXPECT_NE(name.find("hhctrl.ocx"), std::string::npos) << c.what << ": " << name;
                }
            }
        }
        EXPECT_GE(attemptsPerCommand[0], 1u) << c.what;
        EXPECT_LE(attemptsPerCommand[0], 2u) << c.what;
        EXPECT_EQ(attemptsPerCommand[1], 0u) << c.what;
        EXPECT_EQ(attemptsPerCommand[2], 0u) << c.what;
        EXPECT_TRUE(g_app.helpLoadFailed) << c.what;
        EXPECT_EQ(dialogs.Count(), 0u) << c.what;
        EXPECT_TRUE(HelpWindows().empty()) << c.what;
    }
}

TEST_F(HelpTest, AFailureAlreadyRememberedLoadsNothing)
{
    g_app.helpModule = nullptr;
    g_app.helpEntry = nullptr;
    g_app.helpLoadFailed = TRUE;
    ImportPatch loader("kernel32.dll", "LoadLibraryA", reinterpret_cast<void*>(&RefuseLoad));
    ASSERT_TRUE(loader.Installed());
    LoadAttempts().clear();
    Command(IDM_HELP);
    Command(IDM_HELP);
    PumpFor(100);
    EXPECT_TRUE(LoadAttempts().empty());
    EXPECT_EQ(dialogs.Count(), 0u);
    EXPECT_TRUE(HelpWindows().empty());
}

} // namespace
