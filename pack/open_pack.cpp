#include "pack/pack.h"

#include "pack/directory.h"
#include "resources/resource.h"
#include "resources/texts.h"
#include "shell/app_state.h"
#include "support/status.h"
#include "support/heap_block.h"
#include "support/text.h"

namespace {

constexpr DWORD DIRECTORY_READ_BYTES = 64 * 1024;

uint32_t ReadFromFile(void* file, unsigned char* buffer, uint32_t count)
{
    DWORD got = 0;
    if (!ReadFile(static_cast<HANDLE>(file), buffer, count, &got, nullptr))
        return 0;
    return got;
}

struct ListBuilder {
    PackEntry* head;
    PackEntry* tail;
    DWORD count;
};

bool AppendEntry(void* context, const DirectoryRecord* record)
{
    auto* list = static_cast<ListBuilder*>(context);
    auto* entry = static_cast<PackEntry*>(HeapAlloc(g_app.heap, HEAP_ZERO_MEMORY, sizeof(PackEntry)));
    if (entry == nullptr)
        return false;
    entry->name = static_cast<char*>(HeapAlloc(g_app.heap, 0, record->nameLength + 1));
    if (entry->name == nullptr) {
        HeapFree(g_app.heap, 0, entry);
        return false;
    }
    TextCopy(entry->name, record->name);
    entry->size = record->size;
    entry->offset = record->offset;
    if (list->head == nullptr)
        list->head = entry;
    else
        list->tail->next = entry;
    list->tail = entry;
    ++list->count;
    return true;
}

// Inserts one row per entry. Redraw is suspended around the bulk insert:
// with it on, each row costs a repaint and 100,000 rows take hours.
bool InsertRows(const PackEntry* head, DWORD count)
{
    HWND list = g_app.entryListView;
    SendMessageA(list, WM_SETREDRAW, FALSE, 0);
    SendMessageA(list, LVM_SETITEMCOUNT, count, LVSICF_NOINVALIDATEALL);
    bool complete = true;
    int row = 0;
    char number[16];
    for (const PackEntry* entry = head; entry != nullptr; entry = entry->next, ++row) {
        LVITEMA item;
        ZeroBlock(&item, sizeof item);
        item.mask = LVIF_TEXT | LVIF_IMAGE | LVIF_PARAM;
        item.iItem = row;
        item.pszText = entry->name;
        item.iImage = 1;
        item.lParam = reinterpret_cast<LPARAM>(entry);
        if (SendMessageA(list, LVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&item)) != row) {
            complete = false;
            break;
        }
        item.mask = LVIF_TEXT;
        item.pszText = number;
        item.iSubItem = 1;
        wsprintfA(number, "%lu", static_cast<unsigned long>(entry->size));
        SendMessageA(list, LVM_SETITEMA, 0, reinterpret_cast<LPARAM>(&item));
        item.iSubItem = 2;
        wsprintfA(number, "0x%08X", static_cast<unsigned int>(entry->offset));
        SendMessageA(list, LVM_SETITEMA, 0, reinterpret_cast<LPARAM>(&item));
    }
    if (!complete)
        SendMessageA(list, LVM_DELETEALLITEMS, 0, 0);
    SendMessageA(list, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(list, nullptr, TRUE);
    return complete;
}

void SetCloseItemState(UINT state)
{
    MENUITEMINFOA info;
    ZeroBlock(&info, sizeof info);
    info.cbSize = sizeof info;
    info.fMask = MIIM_STATE;
    info.fState = state;
    SetMenuItemInfoA(g_app.mainMenu, IDM_CLOSE, FALSE, &info);
}

void ShowOpenFailure()
{
    MessageBoxA(g_app.mainWindow, OPEN_FAILURE_TEXT, ERROR_CAPTION, MB_ICONWARNING);
}

void ShowOutOfMemoryForPack()
{
    MessageBoxA(g_app.mainWindow, PACK_OUT_OF_MEMORY_TEXT, ERROR_CAPTION, MB_ICONWARNING);
}

// The pack's name in the tree, its path in the title, Close enabled.
void ShowOpenedPack(char* fullPath)
{
    TVINSERTSTRUCTA tree;
    ZeroBlock(&tree, sizeof tree);
    tree.hParent = TVI_ROOT;
    tree.hInsertAfter = TVI_FIRST;
    tree.item.mask = TVIF_TEXT;
    tree.item.pszText = FileNamePart(fullPath);
    SendMessageA(g_app.treeView, TVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&tree));

    char title[PATH_BUFFER_BYTES + 16];
    wsprintfA(title, TITLE_WITH_PACK_FORMAT, fullPath);
    SetWindowTextA(g_app.mainWindow, title);
    SetCloseItemState(MFS_ENABLED);
    ShowStatus(PACK_OPENED_STATUS);
}

} // namespace

int OpenPack(const char* path)
{
    // A pack counts as open while its path is set, so that a pack with an
    // empty directory is closed (its tree item removed) like any other.
    if (g_app.packPath[0] != 0)
        ClosePack();

    // Every later read reopens the pack by its stored path, and the preview
    // moves the current folder: a relative path would then name another
    // file. The full path must fit its 256-byte home; the title holds any
    // such path. The count is the length on success and the size needed
    // (terminator included) when the buffer is too small.
    char fullPath[PACK_PATH_BYTES];
    const DWORD fullLength = GetFullPathNameA(path, PACK_PATH_BYTES, fullPath, nullptr);
    if (fullLength == 0 || fullLength >= PACK_PATH_BYTES) {
        ShowOpenFailure();
        return 1;
    }
    HANDLE file = CreateFileA(fullPath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        ShowOpenFailure();
        return 1;
    }

    PackEntry* head = nullptr;
    DWORD count = 0;
    ULONGLONG dataAreaStart = 0;
    DirectoryResult result = ReadEntryList(file, &head, &count, &dataAreaStart);
    CloseHandle(file);

    // A damaged directory is refused whole, before any of it is shown.
    if (result == DIRECTORY_OK && !InsertRows(head, count))
        result = DIRECTORY_STOPPED;
    if (result != DIRECTORY_OK) {
        FreeEntryList(head);
        HeapCompact(g_app.heap, 0);
        if (result == DIRECTORY_STOPPED)
            ShowOutOfMemoryForPack();
        else
            ShowOpenFailure();
        return 1;
    }

    g_app.entryHead = head;
    g_app.dataAreaStart = dataAreaStart;

    ShowOpenedPack(fullPath);
    TextCopy(g_app.packPath, fullPath);
    return 0;
}

DirectoryResult ReadEntryList(HANDLE file, PackEntry** head, DWORD* count, ULONGLONG* dataAreaStart)
{
    ListBuilder list{nullptr, nullptr, 0};
    auto* block = static_cast<unsigned char*>(HeapAlloc(g_app.heap, 0, DIRECTORY_READ_BYTES));
    if (block == nullptr)
        return DIRECTORY_STOPPED;
    BufferedSource buffered{{ReadFromFile, file}, block, DIRECTORY_READ_BYTES, 0, 0, 0};
    const ByteSource bytes{ReadBuffered, &buffered};
    const RecordSink sink{AppendEntry, &list};
    uint64_t start = 0;
    const DirectoryResult result = ReadDirectory(&bytes, &sink, &start);
    HeapFree(g_app.heap, 0, block);
    if (result != DIRECTORY_OK) {
        FreeEntryList(list.head);
        return result;
    }
    *head = list.head;
    *count = list.count;
    *dataAreaStart = start;
    return DIRECTORY_OK;
}

void ClosePack()
{
    SendMessageA(g_app.treeView, TVM_DELETEITEM, 0, reinterpret_cast<LPARAM>(TVI_ROOT));
    if (g_app.entryHead != nullptr) {
        SendMessageA(g_app.entryListView, LVM_DELETEALLITEMS, 0, 0);
        PackEntry* first = g_app.entryHead;
        g_app.entryHead = nullptr;
        FreeEntryList(first);
        HeapCompact(g_app.heap, 0);
    }
    SetWindowTextA(g_app.mainWindow, PROGRAM_TITLE);
    SetCloseItemState(MFS_GRAYED);
    ShowStatus(PACK_CLOSED_STATUS);
    g_app.packPath[0] = 0;
}

void FreeEntryList(PackEntry* first)
{
    PackEntry* entry = first;
    while (entry != nullptr) {
        PackEntry* next = entry->next;
        ReleaseHeapBlock(g_app.heap, entry->name, TextLength(entry->name) + 1);
        if (!ReleaseHeapBlock(g_app.heap, entry, sizeof *entry))
            MessageBoxA(g_app.mainWindow, HEAP_FREE_FAILURE_TEXT, HEAP_FAILURE_CAPTION, MB_ICONWARNING);
        entry = next;
    }
}
