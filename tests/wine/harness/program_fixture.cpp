#include "harness/program_fixture.h"
#include "tools/outside/window_search.h"

#include <shlobj.h>

#include <cstring>

#include "extract/extraction.h"
#include "pack/pack.h"
#include "resources/resource.h"
#include "shell/app_state.h"
#include "support/status.h"

bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs)
{
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
        if (done())
            return true;
        if (GetTickCount64() > deadline)
            return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
    }
}

void PumpFor(DWORD milliseconds)
{
    const ULONGLONG end = GetTickCount64() + milliseconds;
    PumpUntil([&] { return GetTickCount64() >= end; }, milliseconds + 1000);
}

std::vector<std::string>& StatusHistory()
{
    static std::vector<std::string> history;
    return history;
}

std::string StatusText()
{
    return StatusHistory().empty() ? std::string() : StatusHistory().back();
}

std::string TitleText()
{
    return WindowText(g_app.mainWindow);
}

int RowCount()
{
    return static_cast<int>(SendMessageA(g_app.entryListView, LVM_GETITEMCOUNT, 0, 0));
}

std::string RowText(int row, int column)
{
    char text[600] = {};
    LVITEMA item = {};
    item.iSubItem = column;
    item.pszText = text;
    item.cchTextMax = sizeof text - 1;
    SendMessageA(g_app.entryListView, LVM_GETITEMTEXTA, row, reinterpret_cast<LPARAM>(&item));
    return text;
}

std::vector<int> SelectedRows()
{
    std::vector<int> rows;
    int row = -1;
    while ((row = static_cast<int>(SendMessageA(g_app.entryListView, LVM_GETNEXTITEM, row, LVNI_SELECTED))) != -1)
        rows.push_back(row);
    return rows;
}

void SelectRows(const std::vector<int>& rows)
{
    LVITEMA item = {};
    item.stateMask = LVIS_SELECTED;
    item.state = 0;
    SendMessageA(g_app.entryListView, LVM_SETITEMSTATE, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(&item));
    item.state = LVIS_SELECTED;
    for (int row : rows)
        SendMessageA(g_app.entryListView, LVM_SETITEMSTATE, row, reinterpret_cast<LPARAM>(&item));
}

std::string TreeItemText()
{
    HTREEITEM root = reinterpret_cast<HTREEITEM>(SendMessageA(g_app.treeView, TVM_GETNEXTITEM, TVGN_ROOT, 0));
    if (root == nullptr)
        return "";
    char text[600] = {};
    TVITEMA item = {};
    item.mask = TVIF_TEXT;
    item.hItem = root;
    item.pszText = text;
    item.cchTextMax = sizeof text - 1;
    SendMessageA(g_app.treeView, TVM_GETITEMA, 0, reinterpret_cast<LPARAM>(&item));
    return text;
}

int TreeItemCount()
{
    return static_cast<int>(SendMessageA(g_app.treeView, TVM_GETCOUNT, 0, 0));
}

UINT CloseItemState()
{
    MENUITEMINFOA info = {};
    info.cbSize = sizeof info;
    info.fMask = MIIM_STATE;
    GetMenuItemInfoA(g_app.mainMenu, IDM_CLOSE, FALSE, &info);
    // The resource grays with one bit, ClosePack with both: either is grayed.
    return (info.fState & MFS_GRAYED) != 0 ? MFS_GRAYED : 0;
}

HWND WaitForProcessWindow(DWORD processId, const char* className, DWORD timeoutMs)
{
    HWND found = nullptr;
    PumpUntil(
        [&] {
            found = FindProcessWindow(processId, className);
            return found != nullptr;
        },
        timeoutMs);
    return found;
}

HeapUse MeasureHeap(HANDLE heap)
{
    HeapUse use;
    PROCESS_HEAP_ENTRY walk = {};
    HeapLock(heap);
    while (HeapWalk(heap, &walk)) {
        if (walk.wFlags & PROCESS_HEAP_ENTRY_BUSY) {
            ++use.blocks;
            use.requestedBytes += walk.cbData;
            use.blockBytes += walk.cbData + walk.cbOverhead;
        } else if (walk.wFlags & PROCESS_HEAP_REGION) {
            use.committedBytes += walk.Region.dwCommittedSize;
        }
    }
    HeapUnlock(heap);
    return use;
}

CommandRecorder::CommandRecorder()
{
    active_ = this;
    original_ =
        reinterpret_cast<WNDPROC>(SetWindowLongPtrA(g_app.mainWindow, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(Proc)));
}

CommandRecorder::~CommandRecorder()
{
    SetWindowLongPtrA(g_app.mainWindow, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(original_));
    active_ = nullptr;
}

LRESULT CALLBACK CommandRecorder::Proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_COMMAND) {
        active_->commands.push_back(LOWORD(wParam));
        return 0;
    }
    return CallWindowProcA(active_->original_, window, message, wParam, lParam);
}

HDROP MakeDrop(const std::vector<std::string>& paths)
{
    size_t bytes = sizeof(DROPFILES) + 1;
    for (const std::string& path : paths)
        bytes += path.size() + 1;
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, bytes);
    auto* header = static_cast<DROPFILES*>(GlobalLock(block));
    header->pFiles = sizeof(DROPFILES);
    header->fWide = FALSE;
    char* p = reinterpret_cast<char*>(header) + sizeof(DROPFILES);
    for (const std::string& path : paths) {
        std::memcpy(p, path.c_str(), path.size() + 1);
        p += path.size() + 1;
    }
    GlobalUnlock(block);
    return static_cast<HDROP>(block);
}

std::string ClipboardText()
{
    std::string text;
    if (!OpenClipboard(nullptr))
        return text;
    if (HANDLE data = GetClipboardData(CF_TEXT)) {
        if (const char* bytes = static_cast<const char*>(GlobalLock(data))) {
            text = bytes;
            GlobalUnlock(data);
        }
    }
    CloseClipboard();
    return text;
}

std::string NewTempFolder()
{
    static int counter = 0;
    char base[MAX_PATH + 1] = {};
    GetTempPathA(MAX_PATH, base);
    char folder[MAX_PATH + 64];
    wsprintfA(folder, "%squorvel-test-%lu-%d", base, GetCurrentProcessId(), ++counter);
    CreateDirectoryA(folder, nullptr);
    return folder;
}

void RemoveTree(const std::string& folder)
{
    if (folder.empty())
        return;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::string name = found.cFileName;
            if (name == "." || name == "..")
                continue;
            const std::string path = folder + "\\" + name;
            if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
                !(found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
                RemoveTree(path);
            } else if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveDirectoryA(path.c_str());
            } else {
                SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileA(path.c_str());
            }
        } while (FindNextFileA(search, &found));
        FindClose(search);
    }
    RemoveDirectoryA(folder.c_str());
}

bool WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes)
{
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    const BOOL ok = bytes.empty() || WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
    return ok && written == bytes.size();
}

bool ReadBytes(const std::string& path, std::vector<uint8_t>* bytes)
{
    HANDLE file =
        CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    bytes->clear();
    uint8_t block[65536];
    DWORD got = 0;
    while (ReadFile(file, block, sizeof block, &got, nullptr) && got > 0)
        bytes->insert(bytes->end(), block, block + got);
    CloseHandle(file);
    return true;
}

bool FileExists(const std::string& path)
{
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string WritePack(const std::string& folder, const std::string& name, const std::vector<pakwriter::Entry>& entries)
{
    const std::string path = folder + "\\" + name;
    WriteBytes(path, pakwriter::BuildPack(entries));
    return path;
}

void ForgetQuitting()
{
    if (Quitting())
        g_app.runState.store(RUN_IDLE);
}

void ResetProgramState()
{
    StopExtractionAndWait();
    ForgetQuitting();
    if (g_app.packPath[0] != 0)
        ClosePack();
    SelectRows({});
    ShowStatus("Ready");
    StatusHistory().clear();
}

void ProgramTest::SetUp()
{
    ResetProgramState();
    temp = NewTempFolder();
}

void ProgramTest::TearDown()
{
    dialogs.Clear();
    ResetProgramState();
    // Nothing may be left open: a dialog here would hang the next test.
    EXPECT_EQ(dialogs.OpenDialog(), nullptr);
    RemoveTree(temp);
}

void ProgramTest::Command(WORD id)
{
    SendMessageA(g_app.mainWindow, WM_COMMAND, MAKEWPARAM(id, 0), 0);
}
