#include "support/on_demand_dlls.h"

namespace {

// Loaded once and kept for the life of the process. UI thread only.
HMODULE s_comdlg32;
HMODULE s_shell32;
HMODULE s_ole32;
bool s_comEntered;

FARPROC Find(HMODULE* module, const char* library, const char* name)
{
    if (*module == nullptr)
        *module = LoadLibraryA(library);
    return *module != nullptr ? GetProcAddress(*module, name) : nullptr;
}

template <typename Function>
Function Resolve(HMODULE* module, const char* library, const char* name)
{
    return reinterpret_cast<Function>(reinterpret_cast<void*>(Find(module, library, name)));
}

} // namespace

BOOL OnDemandGetOpenFileNameA(OPENFILENAMEA* dialog)
{
    auto call = Resolve<BOOL(WINAPI*)(OPENFILENAMEA*)>(&s_comdlg32, "comdlg32.dll", "GetOpenFileNameA");
    return call != nullptr ? call(dialog) : FALSE;
}

PIDLIST_ABSOLUTE OnDemandSHBrowseForFolderA(BROWSEINFOA* browse)
{
    auto call = Resolve<PIDLIST_ABSOLUTE(WINAPI*)(BROWSEINFOA*)>(&s_shell32, "shell32.dll", "SHBrowseForFolderA");
    return call != nullptr ? call(browse) : nullptr;
}

BOOL OnDemandSHGetPathFromIDListA(PCIDLIST_ABSOLUTE item, char* path)
{
    auto call = Resolve<BOOL(WINAPI*)(PCIDLIST_ABSOLUTE, char*)>(&s_shell32, "shell32.dll", "SHGetPathFromIDListA");
    return call != nullptr ? call(item, path) : FALSE;
}

void OnDemandCoTaskMemFree(void* block)
{
    auto call = Resolve<void(WINAPI*)(void*)>(&s_ole32, "ole32.dll", "CoTaskMemFree");
    if (call != nullptr)
        call(block);
}

bool EnterComApartment()
{
    auto call = Resolve<HRESULT(WINAPI*)(void*, DWORD)>(&s_ole32, "ole32.dll", "CoInitializeEx");
    // S_FALSE too: the apartment was entered before, and is left once more.
    s_comEntered = call != nullptr && SUCCEEDED(call(nullptr, COINIT_APARTMENTTHREADED));
    return s_comEntered;
}

void LeaveComApartment()
{
    auto call = Resolve<void(WINAPI*)()>(&s_ole32, "ole32.dll", "CoUninitialize");
    if (s_comEntered && call != nullptr)
        call();
    s_comEntered = false;
}

HINSTANCE OnDemandShellExecuteA(HWND owner, const char* verb, const char* file, const char* parameters,
                                const char* folder, int show)
{
    auto call = Resolve<HINSTANCE(WINAPI*)(HWND, const char*, const char*, const char*, const char*, int)>(
        &s_shell32, "shell32.dll", "ShellExecuteA");
    return call != nullptr ? call(owner, verb, file, parameters, folder, show) : nullptr;
}

UINT OnDemandDragQueryFileA(HDROP drop, UINT index, char* path, UINT capacity)
{
    auto call = Resolve<UINT(WINAPI*)(HDROP, UINT, char*, UINT)>(&s_shell32, "shell32.dll", "DragQueryFileA");
    return call != nullptr ? call(drop, index, path, capacity) : 0;
}

void OnDemandDragFinish(HDROP drop)
{
    auto call = Resolve<void(WINAPI*)(HDROP)>(&s_shell32, "shell32.dll", "DragFinish");
    if (call != nullptr)
        call(drop);
    else
        GlobalFree(drop); // the drop is a global block; it must not leak
}
