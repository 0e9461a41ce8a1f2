#include "shell/program_entry.h"

#include <commctrl.h>

#include "pack/pack.h"
#include "resources/texts.h"
#include "shell/app_state.h"
#include "shell/command_line.h"
#include "shell/main_window.h"
#include "support/on_demand_dlls.h"
#include "support/status.h"
#include "support/text.h"

int StartProgram()
{
    INITCOMMONCONTROLSEX controls;
    controls.dwSize = sizeof controls;
    controls.dwICC = ICC_TREEVIEW_CLASSES | ICC_LISTVIEW_CLASSES | ICC_BAR_CLASSES;
    InitCommonControlsEx(&controls);

    // No options: the heap serializes its calls, so the worker may release
    // what the UI thread allocated.
    g_app.heap = HeapCreate(0, 256, 0);
    if (g_app.heap == nullptr) {
        MessageBoxA(nullptr, HEAP_FAILURE_TEXT, STARTUP_FAILURE_CAPTION, MB_ICONERROR);
        return 1;
    }
    if (CreateMainWindow() != 0) {
        MessageBoxA(nullptr, WINDOW_FAILURE_TEXT, STARTUP_FAILURE_CAPTION, MB_ICONERROR);
        return 1;
    }
    g_app.packPath[0] = 0;
    // Before anything can reach the shell; a failure leaves the shell's
    // calls to fare as they may.
    EnterComApartment();
    return 0;
}

void OpenFromCommandLine()
{
    TextSpan argument;
    if (!FindCommandLineArgument(GetCommandLineA(), &argument))
        return;
    // The command line may be of any length: the copy is made to measure
    // and OpenPack refuses what does not fit a pack path.
    char* path = static_cast<char*>(HeapAlloc(g_app.heap, 0, argument.length + 1));
    if (path == nullptr)
        return;
    for (uint32_t i = 0; i < argument.length; ++i)
        path[i] = argument.begin[i];
    path[argument.length] = 0;
    OpenPack(path);
    HeapFree(g_app.heap, 0, path);
}

int RunMessageLoop()
{
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        // Only keys meant for the main window or its children are commands:
        // the help viewer runs on this thread too, and its Ctrl+C or Alt+X
        // belongs to it.
        const bool forMainWindow = message.hwnd == g_app.mainWindow || IsChild(g_app.mainWindow, message.hwnd) != FALSE;
        if (!forMainWindow || !TranslateAcceleratorA(g_app.mainWindow, g_app.accelerators, &message))
            TranslateMessage(&message);
        // Dispatched in either case: a keystroke turned into a command still
        // reaches the window it was meant for.
        DispatchMessageA(&message);
    }
    return static_cast<int>(message.wParam);
}

extern "C" void ProgramEntry()
{
    if (StartProgram() != 0)
        ExitProcess(0);
    OpenFromCommandLine();
    ShowStatus(READY_STATUS);
    const int exitCode = RunMessageLoop();
    LeaveComApartment();
    DestroyMenu(g_app.mainMenu);
    HeapDestroy(g_app.heap);
    ExitProcess(static_cast<UINT>(exitCode));
}
