// The few calls of comdlg32, shell32 and ole32 that quorvel makes, reached
// through libraries loaded on first use. Importing them directly costs a
// fifth of start-up under Wine (they pull in half of the shell), for
// dialogs that most sessions never open. UI thread only.
#ifndef QUORVEL_SUPPORT_ON_DEMAND_DLLS_H
#define QUORVEL_SUPPORT_ON_DEMAND_DLLS_H

#include <windows.h>
#include <commdlg.h>
#include <shellapi.h>
#include <shlobj.h>

// Each behaves as the platform call of the same name; when its library
// cannot be loaded it fails as that call fails (FALSE, nullptr, 0).
BOOL OnDemandGetOpenFileNameA(OPENFILENAMEA* dialog);
PIDLIST_ABSOLUTE OnDemandSHBrowseForFolderA(BROWSEINFOA* browse);
BOOL OnDemandSHGetPathFromIDListA(PCIDLIST_ABSOLUTE item, char* path);
void OnDemandCoTaskMemFree(void* block);
HINSTANCE OnDemandShellExecuteA(HWND owner, const char* verb, const char* file, const char* parameters,
                                const char* folder, int show);
// COM for the shell's calls on this, the UI thread: a single-threaded
// apartment entered once at start-up and left at exit. The folder chooser
// and ShellExecuteA need it (shell extensions may fail without it).
// EnterComApartment: false when COM could not be initialised; the program
// goes on, and LeaveComApartment then does nothing.
bool EnterComApartment();
void LeaveComApartment();

UINT OnDemandDragQueryFileA(HDROP drop, UINT index, char* path, UINT capacity);
void OnDemandDragFinish(HDROP drop);

#endif
