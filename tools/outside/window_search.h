// Finding another window from outside it: the tests, the benchmarks and the
// screenshot driver all look for a dialog, a menu or a program's main window
// among the top-level windows of the desktop, which other processes of the
// same Wine prefix share. Header only, with no test framework, so that the
// tools and the tests can both use it.
#ifndef QUORVEL_TOOLS_OUTSIDE_WINDOW_SEARCH_H
#define QUORVEL_TOOLS_OUTSIDE_WINDOW_SEARCH_H

#include <windows.h>

#include <cstring>

namespace window_search_detail {

struct Search {
    DWORD processId;
    const char* className; // nullptr: any class
    const char* caption;   // nullptr: any caption
    HWND found;
};

inline BOOL CALLBACK Visit(HWND window, LPARAM context)
{
    auto* search = reinterpret_cast<Search*>(context);
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    if (processId != search->processId || !IsWindowVisible(window))
        return TRUE;
    if (search->className != nullptr) {
        char className[64] = {};
        GetClassNameA(window, className, sizeof className);
        if (lstrcmpA(className, search->className) != 0)
            return TRUE;
    }
    if (search->caption != nullptr) {
        char caption[1024] = {};
        GetWindowTextA(window, caption, sizeof caption);
        if (std::strcmp(caption, search->caption) != 0)
            return TRUE;
    }
    search->found = window;
    return FALSE;
}

} // namespace window_search_detail

// A visible top-level window of the process, of the class and with the
// caption given (either may be nullptr for any); nullptr when there is none.
inline HWND FindProcessWindow(DWORD processId, const char* className, const char* caption = nullptr)
{
    window_search_detail::Search search{processId, className, caption, nullptr};
    EnumWindows(window_search_detail::Visit, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// The same, waited for in slices of 50 ms by a program with no windows of
// its own to serve meanwhile (the tools); nullptr after timeoutMs.
inline HWND WaitForProcessWindowBySleeping(DWORD processId, const char* className, DWORD timeoutMs)
{
    for (DWORD waited = 0;; waited += 50) {
        if (HWND found = FindProcessWindow(processId, className))
            return found;
        if (waited >= timeoutMs)
            return nullptr;
        Sleep(50);
    }
}

#endif
