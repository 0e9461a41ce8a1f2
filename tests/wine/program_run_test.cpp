// The real quorvel.exe, started with a command line and closed as a user
// closes it, watched from outside.
#include "harness/program_fixture.h"

#include "support/text.h"
#include "resources/texts.h"

namespace {

struct Started {
    PROCESS_INFORMATION process = {};
    HWND window = nullptr;
};

std::string ProgramPath()
{
    char path[MAX_PATH + 8] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    CutFileName(path);
    TextAppend(path, "quorvel.exe");
    return path;
}

Started Start(const std::string& arguments)
{
    Started started;
    std::string line = "\"" + ProgramPath() + "\"" + arguments;
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    EXPECT_TRUE(CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                               &started.process));
    // The window shows before the command line is read: wait for the loop.
    WaitForInputIdle(started.process.hProcess, 20000);
    started.window = WaitForProcessWindow(started.process.dwProcessId, "QuorvelMainWindowClass");
    return started;
}

HWND ChildOfClass(HWND parent, const char* className)
{
    return FindWindowExA(parent, nullptr, className, nullptr);
}

// Asks the window to close as its close box would, and returns the exit code.
DWORD CloseAndWait(Started& started)
{
    PostMessageA(started.window, WM_CLOSE, 0, 0);
    DWORD code = 0xDEAD;
    if (WaitForSingleObject(started.process.hProcess, 20000) == WAIT_OBJECT_0)
        GetExitCodeProcess(started.process.hProcess, &code);
    else
        TerminateProcess(started.process.hProcess, 99);
    CloseHandle(started.process.hThread);
    CloseHandle(started.process.hProcess);
    return code;
}

// "Ready": the status bar reports its length in characters under Wine, and
// every other status text of start-up is Japanese of another length.
LRESULT StatusLength(HWND window)
{
    return LOWORD(SendMessageA(ChildOfClass(window, "msctls_statusbar32"), SB_GETTEXTLENGTHA, 0, 0));
}

class ProgramRunTest : public ProgramTest {};

TEST_F(ProgramRunTest, StartsReadyWithoutAPackAndEndsWithExitCodeZero)
{
    Started started = Start("");
    ASSERT_NE(started.window, nullptr);
    EXPECT_EQ(WindowText(started.window), "quorvel");
    EXPECT_EQ(StatusLength(started.window), 5);
    EXPECT_EQ(SendMessageA(ChildOfClass(started.window, "SysListView32"), LVM_GETITEMCOUNT, 0, 0), 0);
    EXPECT_EQ(CloseAndWait(started), 0u);
}

TEST_F(ProgramRunTest, OpensThePackNamedOnTheCommandLineQuotedOrNot)
{
    const std::string folder = temp + "\\my packs";
    CreateDirectoryA(folder.c_str(), nullptr);
    const std::string pack = WritePack(folder, "デモ.pak", {{"a.txt", {1}}, {"b.txt", {2}}, {"c.txt", {3}}});
    for (const std::string& arguments : {" \"" + pack + "\"", "  " + pack}) {
        Started started = Start(arguments);
        ASSERT_NE(started.window, nullptr) << arguments;
        EXPECT_EQ(WindowText(started.window), "quorvel - " + pack) << arguments;
        EXPECT_EQ(SendMessageA(ChildOfClass(started.window, "SysListView32"), LVM_GETITEMCOUNT, 0, 0), 3)
            << arguments;
        EXPECT_EQ(SendMessageA(ChildOfClass(started.window, "SysTreeView32"), TVM_GETCOUNT, 0, 0), 1) << arguments;
        // The status reads "Ready", not the open's own text.
        EXPECT_EQ(StatusLength(started.window), 5) << arguments;
        EXPECT_EQ(CloseAndWait(started), 0u) << arguments;
    }
}

TEST_F(ProgramRunTest, AMissingPackIsReportedAndStartUpGoesOn)
{
    Started started;
    std::string line = "\"" + ProgramPath() + "\" " + temp + "\\missing.pak";
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    ASSERT_TRUE(CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                               &started.process));
    HWND box = WaitForProcessWindow(started.process.dwProcessId, "#32770");
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(WindowText(box), ERROR_CAPTION);
    PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    started.window = WaitForProcessWindow(started.process.dwProcessId, "QuorvelMainWindowClass");
    ASSERT_NE(started.window, nullptr);
    PumpUntil([&] { return StatusLength(started.window) == 5; }, 5000);
    EXPECT_EQ(StatusLength(started.window), 5);
    EXPECT_EQ(WindowText(started.window), "quorvel");
    EXPECT_EQ(CloseAndWait(started), 0u);
}

} // namespace
