// The real quorvel.exe, started with a command line and closed as a user
// closes it, watched from outside.
#include "harness/program_fixture.h"
#include "harness/started_quorvel.h"

#include "resources/texts.h"

namespace {

HWND ChildOfClass(HWND parent, const char* className)
{
    return FindWindowExA(parent, nullptr, className, nullptr);
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
    StartedQuorvel started = StartQuorvel("");
    ASSERT_NE(started.window, nullptr);
    EXPECT_EQ(WindowText(started.window), "quorvel");
    EXPECT_EQ(StatusLength(started.window), 5);
    EXPECT_EQ(SendMessageA(ChildOfClass(started.window, "SysListView32"), LVM_GETITEMCOUNT, 0, 0), 0);
    EXPECT_EQ(CloseQuorvel(&started), 0u);
}

TEST_F(ProgramRunTest, OpensThePackNamedOnTheCommandLineQuotedOrNot)
{
    const std::string folder = temp + "\\my packs";
    CreateDirectoryA(folder.c_str(), nullptr);
    const std::string pack = WritePack(folder, "デモ.pak", {{"a.txt", {1}}, {"b.txt", {2}}, {"c.txt", {3}}});
    for (const std::string& arguments : {" \"" + pack + "\"", "  " + pack}) {
        StartedQuorvel started = StartQuorvel(arguments);
        ASSERT_NE(started.window, nullptr) << arguments;
        EXPECT_EQ(WindowText(started.window), "quorvel - " + pack) << arguments;
        EXPECT_EQ(SendMessageA(ChildOfClass(started.window, "SysListView32"), LVM_GETITEMCOUNT, 0, 0), 3) << arguments;
        EXPECT_EQ(SendMessageA(ChildOfClass(started.window, "SysTreeView32"), TVM_GETCOUNT, 0, 0), 1) << arguments;
        // The status reads "Ready", not the open's own text.
        EXPECT_EQ(StatusLength(started.window), 5) << arguments;
        EXPECT_EQ(CloseQuorvel(&started), 0u) << arguments;
    }
}

TEST_F(ProgramRunTest, AMissingPackIsReportedAndStartUpGoesOn)
{
    // The window shows before the command line is read, the message about
    // the pack after it.
    StartedQuorvel started = StartQuorvel(" " + temp + "\\missing.pak");
    ASSERT_NE(started.window, nullptr);
    HWND box = WaitForProcessWindow(started.process.dwProcessId, "#32770");
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(WindowText(box), ERROR_CAPTION);
    PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    PumpUntil([&] { return StatusLength(started.window) == 5; }, 5000);
    EXPECT_EQ(StatusLength(started.window), 5);
    EXPECT_EQ(WindowText(started.window), "quorvel");
    EXPECT_EQ(CloseQuorvel(&started), 0u);
}

} // namespace
