// Starts the quorvel.exe of an unpacked release zip on a pack, from another
// current folder, opens Help as the menu does and closes both, watching from
// outside. Prints what it found; exits 0 only when all of it held.
//   unpacked_release_check.exe UNPACKED_FOLDER PACK ROWS
#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "resources/resource.h"
#include "tools/outside/started_process.h"
#include "tools/outside/window_search.h"

namespace {

const char* const HELP_WINDOW_CLASS = "HH Parent";
const char* const HELP_TITLE = "quorvel ヘルプ"; // from inside quorvel.chm
constexpr DWORD WAIT_MS = 30000;

int g_failures = 0;

void Check(bool holds, const char* what, const std::string& seen)
{
    std::printf("%s: %s (%s)\n", holds ? "ok" : "FAILED", what, seen.c_str());
    if (!holds)
        ++g_failures;
}

std::string TitleOf(HWND window)
{
    char text[MAX_PATH + 64] = {};
    GetWindowTextA(window, text, sizeof text);
    return text;
}

// The window shows before the command line is read: the title changes later.
std::string WaitForTitle(HWND window, const std::string& expected)
{
    for (DWORD waited = 0; waited < WAIT_MS && TitleOf(window) != expected; waited += 50)
        Sleep(50);
    return TitleOf(window);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: unpacked_release_check UNPACKED_FOLDER PACK ROWS\n");
        return 2;
    }
    const std::string folder = argv[1];
    const std::string pack = argv[2];
    const long rows = std::strtol(argv[3], nullptr, 10);

    // The current folder is the Windows folder, which holds no quorvel.chm:
    // Help has to find its file beside the program.
    char current[MAX_PATH] = {};
    GetWindowsDirectoryA(current, MAX_PATH);
    const std::string program = folder + "\\quorvel.exe";
    const std::string arguments = " \"" + pack + "\"";
    PROCESS_INFORMATION process;
    if (!StartProcess(program, arguments, current, WAIT_MS, &process)) {
        std::printf("FAILED: %s does not start (error %lu)\n", program.c_str(), GetLastError());
        return 1;
    }
    HWND window = WaitForProcessWindowBySleeping(process.dwProcessId, QUORVEL_WINDOW_CLASS, WAIT_MS);
    Check(window != nullptr, "the main window shows", program + arguments);
    if (window != nullptr) {
        const std::string title = WaitForTitle(window, "quorvel - " + pack);
        Check(title == "quorvel - " + pack, "the title names the pack", title);
        HWND list = FindWindowExA(window, nullptr, "SysListView32", nullptr);
        const LRESULT count = SendMessageA(list, LVM_GETITEMCOUNT, 0, 0);
        Check(count == rows, "one row per entry", std::to_string(count) + " rows");

        PostMessageA(window, WM_COMMAND, IDM_HELP, 0);
        HWND help = WaitForProcessWindowBySleeping(process.dwProcessId, HELP_WINDOW_CLASS, WAIT_MS);
        Check(help != nullptr && TitleOf(help) == HELP_TITLE, "Help opens the help file beside the program",
              help != nullptr ? TitleOf(help) : "no help window");
        if (help != nullptr)
            PostMessageA(help, WM_CLOSE, 0, 0);
        PostMessageA(window, WM_CLOSE, 0, 0);
    }
    const DWORD code = WaitForProcessEnd(&process, WAIT_MS);
    Check(code == 0, "quorvel ends with exit code 0", std::to_string(code));
    return g_failures == 0 ? 0 : 1;
}
