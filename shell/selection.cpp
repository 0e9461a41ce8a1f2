// The entry list's selected rows and the commands that act on them: the
// shell walks the rows and hands their entries, in ascending row order, to
// the extraction and the preview, which never see the list. UI thread only.
#include "shell/main_window.h"

#include "extract/extraction.h"
#include "pack/pack.h"
#include "resources/texts.h"
#include "shell/app_state.h"
#include "support/on_demand_dlls.h"
#include "support/text.h"

namespace {

constexpr int NAME_TEXT_BYTES = 255; // a name cut to 254 bytes and the terminator
// The locale whose ANSI code page, 932, the names are in.
constexpr LCID JAPANESE_LOCALE = 0x0411;
// Another program (a clipboard viewer or history, a remote session) may
// hold the clipboard open for a moment; a copy waits that out, for at most
// a fifth of a second, rather than being lost without a word.
constexpr int CLIPBOARD_ATTEMPTS = 20;
constexpr DWORD CLIPBOARD_RETRY_MS = 10;

BOOL OpenClipboardPatiently(HWND owner)
{
    for (int attempt = 1;; ++attempt) {
        if (OpenClipboard(owner))
            return TRUE;
        if (attempt == CLIPBOARD_ATTEMPTS)
            return FALSE;
        Sleep(CLIPBOARD_RETRY_MS);
    }
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

// A global block holding bytes, for the clipboard; nullptr when memory runs out.
HGLOBAL GlobalCopy(const void* bytes, SIZE_T count)
{
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, count);
    auto* target = block != nullptr ? static_cast<unsigned char*>(GlobalLock(block)) : nullptr;
    if (target == nullptr) {
        if (block != nullptr)
            GlobalFree(block);
        return nullptr;
    }
    for (SIZE_T i = 0; i < count; ++i)
        target[i] = static_cast<const unsigned char*>(bytes)[i];
    GlobalUnlock(block);
    return block;
}

// The clipboard converts CF_TEXT for other programs with the code page of
// the locale given beside it; without one, with that of the active keyboard
// layout, which garbles the names under an English layout.
LCID NamesLocale()
{
    return GetACP() == 932 ? JAPANESE_LOCALE : GetSystemDefaultLCID();
}

// Collects the selected rows' entries, in ascending row order, into a block
// of the private heap; nullptr when memory runs out.
PackEntry** SelectedEntries(int* count)
{
    *count = SelectedRowCount();
    auto** entries = static_cast<PackEntry**>(HeapAlloc(g_app.heap, 0, (*count + 1) * sizeof(PackEntry*)));
    if (entries == nullptr)
        return nullptr;
    int collected = 0;
    for (int row = NextSelectedRow(-1); row != -1 && collected < *count; row = NextSelectedRow(row))
        entries[collected++] = EntryOfRow(row);
    *count = collected;
    return entries;
}

} // namespace

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

// The clipboard is only touched once the blocks to hand it are ready, so a
// failure leaves the clipboard as it was.
void CopyNamesCommand()
{
    char* joined = JoinSelectedNames();
    if (joined == nullptr)
        return;
    HGLOBAL text = GlobalCopy(joined, TextLength(joined) + 1);
    const LCID locale = NamesLocale();
    HGLOBAL localeBlock = text != nullptr ? GlobalCopy(&locale, sizeof locale) : nullptr;
    if (localeBlock != nullptr && OpenClipboardPatiently(g_app.mainWindow)) {
        EmptyClipboard();
        if (SetClipboardData(CF_TEXT, text) != nullptr)
            text = nullptr; // the clipboard owns it now
        if (text == nullptr && SetClipboardData(CF_LOCALE, localeBlock) != nullptr)
            localeBlock = nullptr;
        CloseClipboard();
    }
    if (text != nullptr)
        GlobalFree(text);
    if (localeBlock != nullptr)
        GlobalFree(localeBlock);
    HeapFree(g_app.heap, 0, joined);
}

void ExtractCommand()
{
    BROWSEINFOA browse;
    ZeroBlock(&browse, sizeof browse);
    browse.hwndOwner = g_app.mainWindow;
    browse.lpszTitle = DESTINATION_CHOOSER_TITLE;
    browse.ulFlags = BIF_RETURNONLYFSDIRS;
    PIDLIST_ABSOLUTE item = OnDemandSHBrowseForFolderA(&browse);
    if (item == nullptr)
        return;
    char destination[PATH_BUFFER_BYTES];
    destination[0] = 0;
    const BOOL converted = OnDemandSHGetPathFromIDListA(item, destination);
    OnDemandCoTaskMemFree(item);
    if (!converted || destination[0] == 0)
        return;
    // Quitting may have been confirmed while the chooser was open: no worker
    // may start beside the release of the heap.
    if (Quitting())
        return;
    int count = 0;
    PackEntry** entries = SelectedEntries(&count);
    if (entries == nullptr) {
        MessageBoxA(g_app.mainWindow, NO_JOBS_MEMORY_TEXT, ERROR_CAPTION, MB_ICONERROR);
        return;
    }
    ExtractEntries(entries, count, destination);
    HeapFree(g_app.heap, 0, entries);
}
