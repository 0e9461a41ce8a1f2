// Commands, menu states, the context menu, dropped files, closing and the
// preview that a double-click starts.
#include "shell/main_window.h"

#include "extract/extraction.h"
#include "pack/pack.h"
#include "preview/preview.h"
#include "resources/resource.h"
#include "resources/texts.h"
#include "shell/app_state.h"
#include "support/about.h"
#include "support/help.h"
#include "support/on_demand_dlls.h"
#include "support/text.h"

namespace {

// A close, an Open or Close command, or a dropped file that arrives while a
// preview runs (inside one of its message boxes) is carried out once the
// preview is over: the entries it copies must stay until then. UI thread
// only.
bool s_previewing;
struct DeferredRequests {
    bool close;
    WORD command; // IDM_OPEN or IDM_CLOSE, 0 for none
    HDROP drop;   // kept until it is handled again
} s_deferred;

// While the UI waits for the worker to let go of the pack nothing may change
// the pack or the queue; once quitting is confirmed nothing may start (the
// heap goes when the loop ends), also while the preview folder's removal
// asks its questions.
bool InputIgnored()
{
    return IsWaitingForWorker() || Quitting();
}

// The user's word for letting the open pack go during a run. False when it
// stays: the answer was No, or quitting, which closes the pack itself, was
// confirmed while the question was open.
bool MayLetGoOfPack()
{
    if (Extracting() &&
        MessageBoxA(g_app.mainWindow, CLOSE_QUESTION, QUESTION_CAPTION, MB_YESNO | MB_ICONQUESTION) != IDYES)
        return false;
    return !Quitting();
}

// Nothing of the pack may go while the worker can still read it.
void CloseOpenPack()
{
    StopExtractionAndWait();
    ClosePack();
}

// The pack in use goes first, also when the one at path then cannot be
// opened.
void OpenInPlace(const char* path)
{
    if (g_app.packPath[0] != 0) {
        if (!MayLetGoOfPack())
            return;
        CloseOpenPack();
    }
    OpenPack(path);
}

void OpenCommand()
{
    char path[PATH_BUFFER_BYTES];
    path[0] = 0;
    OPENFILENAMEA dialog;
    ZeroBlock(&dialog, sizeof dialog);
    dialog.lStructSize = sizeof dialog;
    dialog.hwndOwner = g_app.mainWindow;
    dialog.hInstance = GetModuleHandleA(nullptr);
    dialog.lpstrFilter = OPEN_DIALOG_FILTER;
    dialog.lpstrFile = path;
    dialog.nMaxFile = PLATFORM_PATH_CHARS;
    dialog.lpstrTitle = OPEN_DIALOG_TITLE;
    dialog.Flags = OFN_FILEMUSTEXIST | OFN_HIDEREADONLY;
    // Quitting may have been confirmed while the dialog was open.
    if (OnDemandGetOpenFileNameA(&dialog) && !Quitting())
        OpenInPlace(path);
}

void CloseCommand()
{
    if (g_app.packPath[0] == 0 || !MayLetGoOfPack())
        return;
    // The pack may have been closed while the question was open.
    if (g_app.packPath[0] != 0)
        CloseOpenPack();
}

void SelectAllCommand()
{
    const int rows = static_cast<int>(SendMessageA(g_app.entryListView, LVM_GETITEMCOUNT, 0, 0));
    LVITEMA item;
    ZeroBlock(&item, sizeof item);
    item.state = LVIS_SELECTED;
    item.stateMask = LVIS_SELECTED;
    for (int row = 0; row < rows; ++row)
        SendMessageA(g_app.entryListView, LVM_SETITEMSTATE, row, reinterpret_cast<LPARAM>(&item));
}

void AboutCommand()
{
    DialogBoxParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_ABOUT), g_app.mainWindow, AboutDialogProc, 0);
}

void PostDeferredRequests()
{
    if (s_deferred.command != 0)
        PostMessageA(g_app.mainWindow, WM_COMMAND, MAKEWPARAM(s_deferred.command, 0), 0);
    if (s_deferred.drop != nullptr)
        PostMessageA(g_app.mainWindow, WM_DROPFILES, reinterpret_cast<WPARAM>(s_deferred.drop), 0);
    if (s_deferred.close)
        PostMessageA(g_app.mainWindow, WM_CLOSE, 0, 0);
    s_deferred = DeferredRequests{false, 0, nullptr};
}

void DeferDrop(HDROP drop)
{
    if (s_deferred.drop != nullptr)
        OnDemandDragFinish(s_deferred.drop);
    s_deferred.drop = drop;
}

void PreviewSelectedRows()
{
    const int selected = SelectedRowCount();
    if (selected == 0)
        return;
    if (selected >= 2 &&
        MessageBoxA(g_app.mainWindow, MANY_ROWS_QUESTION, WARNING_CAPTION, MB_ICONWARNING | MB_YESNO) == IDNO)
        return;
    PreviewPlace place;
    if (!PreparePreview(&place))
        return;
    // The rows stay as they are: a close or an open waits for the end.
    for (int row = NextSelectedRow(-1); row != -1; row = NextSelectedRow(row))
        PreviewEntry(&place, EntryOfRow(row));
}

void PreviewCommand()
{
    if (s_previewing)
        return;
    s_previewing = true;
    PreviewSelectedRows();
    s_previewing = false;
    PostDeferredRequests();
}

} // namespace

// ---- Messages ------------------------------------------------------------------

LRESULT OnCommand(HWND window, WORD command, WPARAM wParam, LPARAM lParam)
{
    if (InputIgnored())
        return 0;
    if (s_previewing && (command == IDM_OPEN || command == IDM_CLOSE)) {
        s_deferred.command = command;
        return 0;
    }
    switch (command) {
    case IDM_OPEN:
        OpenCommand();
        return 0;
    case IDM_EXIT:
        PostMessageA(window, WM_CLOSE, 0, 0);
        return 0;
    case IDM_ABOUT:
        AboutCommand();
        return 0;
    case IDM_HELP:
        ShowHelpContents(window);
        return 0;
    case IDM_CLOSE:
        CloseCommand();
        return 0;
    case IDM_EXTRACT:
        ExtractCommand();
        return 0;
    case IDM_COPYNAMES:
        CopyNamesCommand();
        return 0;
    case IDM_SELECTALL:
        SelectAllCommand();
        return 0;
    case IDM_ABORT:
        AbortExtraction();
        return 0;
    }
    return DefWindowProcA(window, WM_COMMAND, wParam, lParam);
}

void UpdateMenuStates(HMENU popup)
{
    const int count = GetMenuItemCount(popup);
    const bool anySelected = SelectedRowCount() != 0;
    const bool extracting = Extracting();
    for (int position = 0; position < count; ++position) {
        const UINT id = GetMenuItemID(popup, position);
        MENUITEMINFOA info;
        ZeroBlock(&info, sizeof info);
        info.cbSize = sizeof info;
        info.fMask = MIIM_STATE;
        GetMenuItemInfoA(popup, position, TRUE, &info);
        if (id >= IDM_EXTRACT && id <= IDM_COPYNAMES)
            info.fState = anySelected ? (info.fState & ~MFS_GRAYED) : (info.fState | MFS_GRAYED);
        else if (id == IDM_ABORT)
            info.fState = extracting ? (info.fState & ~MFS_GRAYED) : (info.fState | MFS_GRAYED);
        SetMenuItemInfoA(popup, position, TRUE, &info);
    }
}

void ShowContextMenu(LPARAM point)
{
    HMENU menu = LoadMenuA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDR_CONTEXTMENU));
    if (menu == nullptr)
        return;
    // Unsigned on purpose: the keyboard form (-1, -1) is shown at 65535, 65535.
    TrackPopupMenuEx(GetSubMenu(menu, 0), 0, LOWORD(point), HIWORD(point), g_app.mainWindow, nullptr);
    DestroyMenu(menu);
}

void OnDropFiles(HDROP drop)
{
    if (InputIgnored()) {
        OnDemandDragFinish(drop);
        return;
    }
    if (s_previewing) {
        DeferDrop(drop);
        return;
    }
    const UINT count = OnDemandDragQueryFileA(drop, 0xFFFFFFFF, nullptr, 0);
    if (count == 1) {
        char path[PATH_BUFFER_BYTES];
        path[0] = 0;
        OnDemandDragQueryFileA(drop, 0, path, PLATFORM_PATH_CHARS);
        OnDemandDragFinish(drop);
        OpenInPlace(path);
        return;
    }
    OnDemandDragFinish(drop);
    MessageBoxA(g_app.mainWindow, TOO_MANY_DROPPED_TEXT, "", MB_ICONINFORMATION);
}

// Returns 0 when the program quits (or already does), 1 when it goes on.
LRESULT OnClose()
{
    // A second close must not run the removal of the preview folder again.
    if (Quitting())
        return 0;
    // Closing the pack during a run takes only a moment: the close follows.
    if (IsWaitingForWorker()) {
        CloseAfterWait();
        return 1;
    }
    if (s_previewing) {
        s_deferred.close = true;
        return 1;
    }
    if (Extracting() &&
        MessageBoxA(g_app.mainWindow, QUIT_QUESTION, QUESTION_CAPTION, MB_YESNO | MB_ICONWARNING) == IDNO)
        return 1;
    // A close that arrived while the question was open has quit already.
    if (Quitting())
        return 0;
    // From here on quitting is confirmed. The worker lets go within one
    // chunk and removes its partial file; only then are the entries and,
    // after the loop, the heap released.
    AbandonExtraction();
    if (g_app.packPath[0] != 0)
        CloseOpenPack();
    RemovePreviewFolder();
    PostQuitMessage(0);
    return 0;
}

void OnNotify(const NMHDR* header)
{
    if (header->hwndFrom == g_app.entryListView && header->code == static_cast<UINT>(NM_DBLCLK) && !InputIgnored())
        PreviewCommand();
}
