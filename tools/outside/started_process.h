// Starting another program and seeing it end, as the tests, the benchmarks
// and the screenshot driver do with quorvel.exe: they drive it from outside,
// as a user would. Header only, with no test framework, so that the tools and
// the tests can both use it.
#ifndef QUORVEL_TOOLS_OUTSIDE_STARTED_PROCESS_H
#define QUORVEL_TOOLS_OUTSIDE_STARTED_PROCESS_H

#include <windows.h>

#include <string>

// The class of quorvel.exe's main window, by which a driver finds it.
constexpr const char* QUORVEL_WINDOW_CLASS = "QuorvelMainWindowClass";

// The exit code reported for a process that did not end in time and was
// ended from outside: no exit code a program gives itself.
constexpr DWORD NO_EXIT_CODE = 0xDEAD;

// The path of name in the folder of this program's own executable, where the
// build puts quorvel.exe and the other programs.
inline std::string BesideThisProgram(const char* name)
{
    char path[MAX_PATH + 1] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    const std::string self = path;
    return self.substr(0, self.find_last_of('\\') + 1) + name;
}

// Starts program with arguments written after its quoted path, exactly as
// given (a leading space included), in currentFolder (nullptr: this
// program's), and waits up to idleMs for it to wait for input: its window is
// made by then, though a program may still be reading its command line.
// False, with GetLastError's code, when it does not start.
inline bool StartProcess(const std::string& program, const std::string& arguments, const char* currentFolder,
                         DWORD idleMs, PROCESS_INFORMATION* process)
{
    std::string line = "\"" + program + "\"" + arguments;
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    *process = PROCESS_INFORMATION{};
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, currentFolder, &startup, process))
        return false;
    WaitForInputIdle(process->hProcess, idleMs);
    return true;
}

// Waits up to timeoutMs for the process to end, ends it when it has not (so
// that nothing outlives the caller), and releases its handles. Its exit code,
// or NO_EXIT_CODE when it had to be ended.
inline DWORD WaitForProcessEnd(PROCESS_INFORMATION* process, DWORD timeoutMs)
{
    DWORD code = NO_EXIT_CODE;
    if (WaitForSingleObject(process->hProcess, timeoutMs) == WAIT_OBJECT_0)
        GetExitCodeProcess(process->hProcess, &code);
    else
        TerminateProcess(process->hProcess, 99);
    CloseHandle(process->hThread);
    CloseHandle(process->hProcess);
    *process = PROCESS_INFORMATION{};
    return code;
}

// Asks a window of the process to close, as its close box would, and waits
// for the process to end (WaitForProcessEnd).
inline DWORD CloseProcessWindow(PROCESS_INFORMATION* process, HWND window, DWORD timeoutMs)
{
    PostMessageA(window, WM_CLOSE, 0, 0);
    return WaitForProcessEnd(process, timeoutMs);
}

#endif
