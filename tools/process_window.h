// Finding another process's windows, for the programs that drive the real
// quorvel.exe from outside (the screenshot driver, the release check).
#ifndef QUORVEL_TOOLS_PROCESS_WINDOW_H
#define QUORVEL_TOOLS_PROCESS_WINDOW_H

#include <windows.h>

namespace process_window {

struct Search {
    DWORD process;
    const char* className;
    HWND found;
};

inline BOOL CALLBACK Match(HWND window, LPARAM context)
{
    auto* search = reinterpret_cast<Search*>(context);
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    char name[64] = {};
    GetClassNameA(window, name, sizeof name);
    if (process == search->process && IsWindowVisible(window) && lstrcmpA(name, search->className) == 0) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

// A visible top-level window of the process with the class; nullptr when none.
inline HWND Find(DWORD process, const char* className)
{
    Search search{process, className, nullptr};
    EnumWindows(Match, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// The same, waited for in slices of 50 ms; nullptr after timeoutMs.
inline HWND WaitFor(DWORD process, const char* className, DWORD timeoutMs)
{
    for (DWORD waited = 0;; waited += 50) {
        if (HWND window = Find(process, className))
            return window;
        if (waited >= timeoutMs)
            return nullptr;
        Sleep(50);
    }
}

} // namespace process_window

#endif
