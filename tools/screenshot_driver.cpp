// Drives the real quorvel.exe through the scenes of the user's guide so
// that scripts/screenshots.sh can photograph each one. The script and this
// program meet through marker files in a folder both can see: the driver
// writes "<scene>.ready" and waits for the script's "<scene>.taken".
//   screenshot_driver.exe MARKER_FOLDER DEMO_PACK BIG_PACK OUT_FOLDER
#include <windows.h>
#include <commctrl.h>
#include <shlobj.h>

#include <cstdio>
#include <string>

#include "resources/resource.h"
#include "tools/outside/folder_chooser.h"
#include "tools/outside/started_process.h"
#include "tools/outside/window_search.h"

namespace {

std::string g_markers;

bool Exists(const std::string& path)
{
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void Scene(const char* name)
{
    Sleep(400); // let the window paint
    const std::string ready = g_markers + "\\" + name + ".ready";
    HANDLE file = CreateFileA(ready.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    CloseHandle(file);
    const std::string taken = g_markers + "\\" + name + ".taken";
    for (int i = 0; i < 600 && !Exists(taken); ++i)
        Sleep(50);
}

HWND WaitForWindow(DWORD process, const char* className)
{
    return WaitForProcessWindowBySleeping(process, className, 20000);
}

PROCESS_INFORMATION Start(const std::string& pack)
{
    PROCESS_INFORMATION process;
    StartProcess(BesideThisProgram("quorvel.exe"), " \"" + pack + "\"", nullptr, 20000, &process);
    return process;
}

void Close(PROCESS_INFORMATION& process, HWND window)
{
    PostMessageA(window, WM_CLOSE, 0, 0);
    // A run in progress asks first; the question is answered Yes.
    for (int i = 0; i < 40; ++i) {
        if (HWND question = FindProcessWindow(process.dwProcessId, "#32770"))
            PostMessageA(question, WM_COMMAND, IDYES, 0);
        if (WaitForSingleObject(process.hProcess, 100) == WAIT_OBJECT_0)
            break;
    }
    WaitForProcessEnd(&process, 10000);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 5) {
        std::fprintf(stderr, "usage: screenshot_driver MARKERS DEMO_PACK BIG_PACK OUT_FOLDER\n");
        return 2;
    }
    g_markers = argv[1];

    PROCESS_INFORMATION demo = Start(argv[2]);
    HWND window = WaitForWindow(demo.dwProcessId, QUORVEL_WINDOW_CLASS);
    if (window == nullptr)
        return 1;
    SetWindowPos(window, nullptr, 40, 30, 760, 520, SWP_NOZORDER);
    Scene("main");

    // The item menu, opened as Alt+I opens it.
    PostMessageA(window, WM_COMMAND, IDM_SELECTALL, 0);
    Sleep(200);
    PostMessageA(window, WM_SYSCOMMAND, SC_KEYMENU, 'i');
    Scene("menu");
    PostMessageA(window, WM_KEYDOWN, VK_ESCAPE, 0);
    PostMessageA(window, WM_KEYDOWN, VK_ESCAPE, 0);
    Sleep(300);
    Close(demo, window);

    // An extraction in progress, on a pack with one large entry.
    PROCESS_INFORMATION big = Start(argv[3]);
    window = WaitForWindow(big.dwProcessId, QUORVEL_WINDOW_CLASS);
    if (window == nullptr)
        return 1;
    SetWindowPos(window, nullptr, 40, 30, 760, 520, SWP_NOZORDER);
    PostMessageA(window, WM_COMMAND, IDM_SELECTALL, 0);
    PostMessageA(window, WM_COMMAND, IDM_EXTRACT, 0);
    HWND chooser = WaitForWindow(big.dwProcessId, "#32770");
    if (chooser != nullptr) {
        const std::string out = argv[4];
        void* remote = VirtualAllocEx(big.hProcess, nullptr, out.size() + 1, MEM_COMMIT, PAGE_READWRITE);
        WriteProcessMemory(big.hProcess, remote, out.c_str(), out.size() + 1, nullptr);
        SelectChooserFolder(chooser, reinterpret_cast<LPARAM>(remote));
        PostMessageA(chooser, WM_COMMAND, IDOK, 0);
        Sleep(700);
        Scene("extracting");
    }
    Close(big, window);
    return 0;
}
