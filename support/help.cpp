#include "support/help.h"

#include "shell/app_state.h"
#include "support/text.h"

namespace {

using HtmlHelpFunction = HWND(WINAPI*)(HWND, LPCSTR, UINT, DWORD_PTR);

constexpr WORD HTML_HELP_ANSI_ORDINAL = 14;

// Where the HTML Help control is registered; the name alone is the fallback.
void LoadHelpControl()
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, "CLSID\\{ADB880A6-D8FF-11CF-9377-00AA003B7A11}\\InprocServer32", 0, KEY_READ,
                      &key) == ERROR_SUCCESS) {
        char path[PATH_BUFFER_BYTES];
        DWORD bytes = PLATFORM_PATH_CHARS;
        DWORD type = 0;
        if (RegQueryValueExA(key, "", nullptr, &type, reinterpret_cast<BYTE*>(path), &bytes) == ERROR_SUCCESS &&
            (type == REG_SZ || type == REG_EXPAND_SZ) && bytes > 0) {
            // A registry value need not be terminated.
            path[bytes < PLATFORM_PATH_CHARS ? bytes : PLATFORM_PATH_CHARS - 1] = 0;
            g_app.helpModule = LoadLibraryA(path);
        }
        RegCloseKey(key);
    }
    if (g_app.helpModule == nullptr)
        g_app.helpModule = LoadLibraryA("hhctrl.ocx");
}

} // namespace

HWND CallHtmlHelp(HWND owner, const char* file, UINT command, DWORD_PTR data)
{
    if (g_app.helpModule == nullptr && !g_app.helpLoadFailed) {
        LoadHelpControl();
        if (g_app.helpModule == nullptr) {
            g_app.helpLoadFailed = TRUE;
            return nullptr;
        }
    }
    if (g_app.helpModule == nullptr)
        return nullptr;
    if (g_app.helpEntry == nullptr) {
        g_app.helpEntry = GetProcAddress(g_app.helpModule, MAKEINTRESOURCEA(HTML_HELP_ANSI_ORDINAL));
        if (g_app.helpEntry == nullptr) {
            g_app.helpLoadFailed = TRUE;
            return nullptr;
        }
    }
    return reinterpret_cast<HtmlHelpFunction>(reinterpret_cast<void*>(g_app.helpEntry))(owner, file, command, data);
}

void ShowHelpContents(HWND owner)
{
    char path[PATH_BUFFER_BYTES];
    path[0] = 0;
    const DWORD length = GetModuleFileNameA(nullptr, path, PLATFORM_PATH_CHARS);
    // A cut-off module path would name the wrong folder.
    if (length == 0 || length >= PLATFORM_PATH_CHARS)
        return;
    CutFileName(path);
    if (!TextsFit(PATH_BUFFER_BYTES, path, "quorvel.chm"))
        return;
    TextAppend(path, "quorvel.chm");
    CallHtmlHelp(owner, path, 0 /* HH_DISPLAY_TOPIC */, 0);
}
