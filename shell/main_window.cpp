#include "shell/main_window.h"

#include "resources/resource.h"
#include "resources/texts.h"
#include "shell/app_state.h"
#include "support/text.h"

namespace {

const char* const MAIN_WINDOW_CLASS = "QuorvelMainWindowClass";

// A message box, another program or minimizing takes the activation away,
// and the window that is active again is given the focus itself, not the
// child that had it: the window passes it on, as a dialog does.
void RememberFocusedChild()
{
    HWND focus = GetFocus();
    if (focus != nullptr && IsChild(g_app.mainWindow, focus))
        g_app.focusedChild = focus;
}

void RestoreFocusedChild()
{
    HWND child = g_app.focusedChild;
    if (child != nullptr && IsChild(g_app.mainWindow, child) && IsWindowVisible(child) && IsWindowEnabled(child))
        SetFocus(child);
}

} // namespace

int CreateMainWindow()
{
    HINSTANCE instance = GetModuleHandleA(nullptr);
    WNDCLASSEXA windowClass;
    ZeroBlock(&windowClass, sizeof windowClass);
    windowClass.cbSize = sizeof windowClass;
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = MainWindowProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconA(instance, MAKEINTRESOURCEA(IDI_PROGRAM));
    // Only the splitter gap shows the window's own client area: the cursor
    // and the light-grey brush are what the user sees of the splitter.
    windowClass.hCursor = LoadCursorA(nullptr, MAKEINTRESOURCEA(32644)); // IDC_SIZEWE
    windowClass.hbrBackground = static_cast<HBRUSH>(GetStockObject(LTGRAY_BRUSH));
    windowClass.lpszClassName = MAIN_WINDOW_CLASS;
    if (RegisterClassExA(&windowClass) == 0)
        return 1;

    g_app.accelerators = LoadAcceleratorsA(instance, MAKEINTRESOURCEA(IDR_ACCELERATORS));
    if (g_app.accelerators == nullptr)
        return 1;
    g_app.mainMenu = LoadMenuA(instance, MAKEINTRESOURCEA(IDR_MAINMENU));
    if (g_app.mainMenu == nullptr)
        return 1;

    g_app.mainWindow =
        CreateWindowExA(0, MAIN_WINDOW_CLASS, PROGRAM_TITLE, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT,
                        CW_USEDEFAULT, CW_USEDEFAULT, nullptr, g_app.mainMenu, instance, nullptr);
    if (g_app.mainWindow == nullptr)
        return 1;
    // What DragAcceptFiles does, without loading shell32 at start-up.
    SetWindowLongPtrA(g_app.mainWindow, GWL_EXSTYLE,
                      GetWindowLongPtrA(g_app.mainWindow, GWL_EXSTYLE) | WS_EX_ACCEPTFILES);
    ShowWindow(g_app.mainWindow, SW_SHOW);
    UpdateWindow(g_app.mainWindow);
    SetForegroundWindow(g_app.mainWindow);
    return 0;
}

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CREATE:
        return CreateChildWindows(window) ? 0 : -1;
    case WM_SIZE:
        LayoutChildren(static_cast<UINT>(wParam), LOWORD(lParam), HIWORD(lParam));
        return 0;
    case WM_LBUTTONDOWN:
        BeginSplitterDrag();
        return 0;
    case WM_MOUSEMOVE:
        MoveSplitter(lParam);
        return 0;
    case WM_LBUTTONUP:
        EndSplitterDrag();
        return 0;
    case WM_KEYDOWN:
        if (wParam != VK_ESCAPE)
            break;
        ResetSplitter();
        return 0;
    case WM_ACTIVATE:
        if (LOWORD(wParam) == WA_INACTIVE)
            RememberFocusedChild();
        break;
    case WM_SYSCOMMAND:
        // A minimized window loses the focus while it may stay active.
        if ((wParam & 0xFFF0) == SC_MINIMIZE)
            RememberFocusedChild();
        break;
    case WM_SETFOCUS:
        RestoreFocusedChild();
        return 0;
    case WM_COMMAND:
        return OnCommand(window, LOWORD(wParam), wParam, lParam);
    case WM_INITMENUPOPUP:
        UpdateMenuStates(reinterpret_cast<HMENU>(wParam));
        break;
    case WM_CONTEXTMENU:
        ShowContextMenu(lParam);
        return 0;
    case WM_DROPFILES:
        OnDropFiles(reinterpret_cast<HDROP>(wParam));
        return 0;
    case WM_CLOSE:
        return OnClose();
    case WM_NOTIFY:
        OnNotify(reinterpret_cast<const NMHDR*>(lParam));
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}
