// The test programs start quorvel's UI as start-up does and then run their
// tests on this, the UI thread.
#include <gtest/gtest.h>

#include "harness/program_fixture.h"
#include "shell/app_state.h"
#include "shell/program_entry.h"

namespace {

WNDPROC s_statusBarProc;

// Records every text the status bar is given, as it is given: the worker's
// texts follow each other within microseconds, too fast to poll.
LRESULT CALLBACK RecordingStatusBarProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == SB_SETTEXTA && lParam != 0)
        StatusHistory().push_back(reinterpret_cast<const char*>(lParam));
    return CallWindowProcA(s_statusBarProc, window, message, wParam, lParam);
}

// A fault on any thread, the extraction worker's included, fails the test
// program with a message instead of passing unnoticed in a thread that
// nobody joins.
LONG WINAPI ReportCrash(EXCEPTION_POINTERS* exception)
{
    std::fprintf(stderr, "unhandled exception 0x%08lX at %p on thread %lu\n", exception->ExceptionRecord->ExceptionCode,
                 exception->ExceptionRecord->ExceptionAddress, GetCurrentThreadId());
    std::fflush(stderr);
    ExitProcess(3);
}

} // namespace

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    SetUnhandledExceptionFilter(ReportCrash);
    if (StartProgram() != 0) {
        std::fprintf(stderr, "quorvel's main window could not be created\n");
        return 1;
    }
    s_statusBarProc = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrA(g_app.statusBar, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(RecordingStatusBarProc)));
    const int result = RUN_ALL_TESTS();
    ResetProgramState();
    return result;
}
