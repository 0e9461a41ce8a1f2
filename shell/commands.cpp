// Commands, menu states, the context menu, dropped files, closing, and the
// entry list's selected rows that the commands and the preview walk.
#include "shell/main_window.h"

#include "extract/extraction.h"
#include "pack/pack.h"
#include "preview/preview.h"
#include "resources/resource.h"
#include "shell/app_state.h"
#include "support/about.h"
#include "support/help.h"
#include "support/on_demand_dlls.h"
#include "support/text.h"

namespace {

constexpr int NAME_TEXT_BYTES = 255; // a name cut to 254 bytes and the terminator

bool Quitting()
{
    return g_app.quitRequested.load() != 0;
}

// While the UI waits for the worker to let go of the pack nothing may change
// the pack or the queue; once quitting is confirmed nothing may start (the
// heap goes when the loop ends), also while the preview folder's removal
// asks its questions.
bool InputIgnored()
{
    return IsWaitingForWorker() || Quitting();
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
    dialog.lpstrFilter = "Pakファイル (*.pak)\0*.pak\0";
    dialog.lpstrFile = path;
    dialog.nMaxFile = PLATFORM_PATH_CHARS;
    dialog.lpstrTitle = "パックファイルを指定してね";
    dialog.Flags = OFN_FILEMUSTEXIST | OFN_HIDEREADONLY;
    // Quitting may have been confirmed while the dialog was open.
    if (OnDemandGetOpenFileNameA(&dialog) && !Quitting())
        OpenPack(path);
}

void CloseCommand()
{
    if (g_app.packPath[0] == 0)
        return;
    if (g_app.extracting.load() != 0 &&
        MessageBoxA(g_app.mainWindow, "展開中です。 展開を中止して閉じますか?", "質問", MB_YESNO | MB_ICONQUESTION) !=
            IDYES)
        return;
    g_app.extracting.store(0);
    ClosePack();
}

// Joins the selected rows' names, each followed by a line feed, into a
// block of the private heap; nullptr when nothing is selected or memory
// runs out (then nothing is left allocated).
char* JoinSelectedNames()
{
    char* joined = nullptr;
    uint32_t joinedLength = 0;
    for (int row = NextSelectedRow(-1); row != -1; row = NextSelectedRow(row)) {
        char name[NAME_TEXT_BYTES];
        LVITEMA item;
        ZeroBlock(&item, sizeof item);
        item.mask = LVIF_TEXT;
        item.iItem = row;
        item.pszText = name;
        item.cchTextMax = NAME_TEXT_BYTES;
        name[0] = 0;
        SendMessageA(g_app.entryListView, LVM_GETITEMA, 0, reinterpret_cast<LPARAM>(&item));
        // Wine fills a too-small buffer without a terminator.
        name[NAME_TEXT_BYTES - 1] = 0;
        const uint32_t nameLength = TextLength(name);
        const SIZE_T needed = joinedLength + nameLength + 3;
        char* grown = joined == nullptr ? static_cast<char*>(HeapAlloc(g_app.heap, 0, needed))
                                        : static_cast<char*>(HeapReAlloc(g_app.heap, 0, joined, needed));
        if (grown == nullptr) {
            if (joined != nullptr)
                HeapFree(g_app.heap, 0, joined);
            return nullptr;
        }
        if (joined == nullptr)
            grown[0] = 0;
        joined = grown;
        TextAppend(joined + joinedLength, name);
        joinedLength += nameLength;
        TextAppend(joined + joinedLength, "\n");
        joinedLength += 1;
    }
    return joined;
}

// The clipboard is only touched once the block to hand it is ready, so a
// failure leaves the clipboard as it was.
void CopyNamesCommand()
{
    char* joined = JoinSelectedNames();
    if (joined == nullptr)
        return;
    const SIZE_T bytes = TextLength(joined) + 1;
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, bytes);
    char* target = block != nullptr ? static_cast<char*>(GlobalLock(block)) : nullptr;
    if (target != nullptr) {
        TextCopy(target, joined);
        GlobalUnlock(block);
        if (OpenClipboard(g_app.mainWindow)) {
            EmptyClipboard();
            if (SetClipboardData(CF_TEXT, block) != nullptr)
                block = nullptr; // the clipboard owns it now
            CloseClipboard();
        }
    }
    if (block != nullptr)
        GlobalFree(block);
    HeapFree(g_app.heap, 0, joined);
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

} // namespace

// ---- The entry list's selection ----------------------------------------------

int NextSelectedRow(int row)
{
    return static_cast<int>(SendMessageA(g_app.entryListView, LVM_GETNEXTITEM, row, MAKELPARAM(LVNI_SELECTED, 0)));
}

int SelectedRowCount()
{
    return static_cast<int>(SendMessageA(g_app.entryListView, LVM_GETSELECTEDCOUNT, 0, 0));
}

PackEntry* EntryOfRow(int row)
{
    LVITEMA item;
    ZeroBlock(&item, sizeof item);
    item.mask = LVIF_PARAM;
    item.iItem = row;
    SendMessageA(g_app.entryListView, LVM_GETITEMA, 0, reinterpret_cast<LPARAM>(&item));
    return reinterpret_cast<PackEntry*>(item.lParam);
}

// ---- Messages ------------------------------------------------------------------

LRESULT OnCommand(HWND window, WORD command, WPARAM wParam, LPARAM lParam)
{
    if (InputIgnored())
        return 0;
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
        ExtractSelection();
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
    const bool extracting = g_app.extracting.load() != 0;
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
    const UINT count = OnDemandDragQueryFileA(drop, 0xFFFFFFFF, nullptr, 0);
    if (count == 1) {
        char path[PATH_BUFFER_BYTES];
        path[0] = 0;
        OnDemandDragQueryFileA(drop, 0, path, PLATFORM_PATH_CHARS);
        OnDemandDragFinish(drop);
        OpenPack(path);
        return;
    }
    OnDemandDragFinish(drop);
    MessageBoxA(g_app.mainWindow, "そんなにたくさん開けません。", "", MB_ICONINFORMATION);
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
    if (g_app.extracting.load() != 0 &&
        MessageBoxA(g_app.mainWindow, "展開中です! それでも終了しますか?", "質問", MB_YESNO | MB_ICONWARNING) == IDNO)
        return 1;
    // A close that arrived while the question was open has quit already.
    if (Quitting())
        return 0;
    // From here on quitting is confirmed. The worker lets go within one
    // chunk and removes its partial file; only then are the entries and,
    // after the loop, the heap released.
    AbandonExtraction();
    if (g_app.packPath[0] != 0)
        ClosePack();
    RemovePreviewFolder();
    PostQuitMessage(0);
    return 0;
}

void OnNotify(const NMHDR* header)
{
    if (header->hwndFrom == g_app.entryListView && header->code == static_cast<UINT>(NM_DBLCLK) && !InputIgnored())
        PreviewSelection();
}
