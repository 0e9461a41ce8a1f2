// The children's layout and the splitter between the tree and the list.
#include "shell/main_window.h"

#include "resources/resource.h"
#include "resources/texts.h"
#include "shell/app_state.h"
#include "support/status.h"

namespace {

constexpr int SPLIT_GAP_HALF_PX = 2;

// The image list keeps its own copy of an icon, so the loaded one goes.
bool AddIcon(HIMAGELIST images, WORD iconId, int sizePx)
{
    // LoadImage rather than LoadIcon: LoadIcon always picks the 32x32 picture.
    HICON icon = static_cast<HICON>(
        LoadImageA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(iconId), IMAGE_ICON, sizePx, sizePx, LR_DEFAULTCOLOR));
    if (icon == nullptr)
        return false;
    const bool added = ImageList_ReplaceIcon(images, -1, icon) != -1;
    DestroyIcon(icon);
    return added;
}

// The folder icon, then the entry icon; nullptr when either is missing.
HIMAGELIST MakeImageList(int sizePx)
{
    HIMAGELIST images = ImageList_Create(sizePx, sizePx, ILC_MASK | ILC_COLOR4, 2, 1);
    if (images != nullptr && (!AddIcon(images, IDI_FOLDER, sizePx) || !AddIcon(images, IDI_ENTRY, sizePx))) {
        ImageList_Destroy(images);
        images = nullptr;
    }
    return images;
}

void InsertColumn(int index, int widthPx, const char* heading)
{
    LVCOLUMNA column = {};
    column.mask = LVCF_WIDTH | LVCF_TEXT | LVCF_SUBITEM;
    column.cx = widthPx;
    column.pszText = const_cast<char*>(heading);
    column.iSubItem = index;
    SendMessageA(g_app.entryListView, LVM_INSERTCOLUMNA, index, reinterpret_cast<LPARAM>(&column));
}

int AtLeastZero(int value)
{
    return value < 0 ? 0 : value;
}

} // namespace

// A window without one of its parts is no window to work in: the creation
// then fails and start-up says so. What was made goes with the process.
bool CreateChildWindows(HWND window)
{
    HINSTANCE instance = GetModuleHandleA(nullptr);
    g_app.smallImages = MakeImageList(16);
    g_app.largeImages = MakeImageList(32);
    if (g_app.smallImages == nullptr || g_app.largeImages == nullptr)
        return false;

    g_app.treeView =
        CreateWindowExA(WS_EX_CLIENTEDGE, "SysTreeView32", "",
                        WS_CHILD | WS_VISIBLE | TVS_HASBUTTONS | TVS_HASLINES | TVS_LINESATROOT | TVS_DISABLEDRAGDROP |
                            TVS_SHOWSELALWAYS,
                        CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, window, nullptr, instance, nullptr);
    if (g_app.treeView == nullptr)
        return false;
    SendMessageA(g_app.treeView, TVM_SETIMAGELIST, TVSIL_NORMAL, reinterpret_cast<LPARAM>(g_app.smallImages));

    g_app.entryListView =
        CreateWindowExA(WS_EX_CLIENTEDGE, "SysListView32", "", WS_CHILD | WS_VISIBLE | LVS_REPORT | LVS_SHOWSELALWAYS,
                        CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, window, nullptr, instance, nullptr);
    if (g_app.entryListView == nullptr)
        return false;
    SendMessageA(g_app.entryListView, LVM_SETIMAGELIST, LVSIL_NORMAL, reinterpret_cast<LPARAM>(g_app.largeImages));
    SendMessageA(g_app.entryListView, LVM_SETIMAGELIST, LVSIL_SMALL, reinterpret_cast<LPARAM>(g_app.smallImages));
    InsertColumn(0, 200, NAME_COLUMN);
    InsertColumn(1, 100, SIZE_COLUMN);
    InsertColumn(2, 100, OFFSET_COLUMN);

    g_app.statusBar = CreateWindowExA(0, STATUSCLASSNAMEA, "", WS_CHILD | WS_VISIBLE, CW_USEDEFAULT, CW_USEDEFAULT,
                                      CW_USEDEFAULT, CW_USEDEFAULT, window, nullptr, instance, nullptr);
    if (g_app.statusBar == nullptr)
        return false;
    SendMessageA(g_app.statusBar, SB_SIMPLE, TRUE, 0);
    ShowStatus(STARTING_STATUS);
    return true;
}

void LayoutChildren(UINT sizeType, int width, int height)
{
    // A narrow window shows less of the tree for this pass only; the stored
    // split comes back when the window widens again.
    const int split = g_app.splitPosition > width ? width : g_app.splitPosition;
    // Told exactly what the main window was told: the bar decides from the
    // kind of sizing as well as from the size.
    SendMessageA(g_app.statusBar, WM_SIZE, sizeType, MAKELPARAM(width, height));
    RECT statusRect = {};
    GetClientRect(g_app.statusBar, &statusRect);
    const int viewHeight = AtLeastZero(height - statusRect.bottom);
    SetWindowPos(g_app.treeView, nullptr, 0, 0, AtLeastZero(split - SPLIT_GAP_HALF_PX), viewHeight, SWP_NOZORDER);
    SetWindowPos(g_app.entryListView, nullptr, split + SPLIT_GAP_HALF_PX, 0,
                 AtLeastZero(width - split - SPLIT_GAP_HALF_PX), viewHeight, SWP_NOZORDER);
}

void Relayout()
{
    RECT client = {};
    GetClientRect(g_app.mainWindow, &client);
    SendMessageA(g_app.mainWindow, WM_SIZE, SIZE_RESTORED, MAKELPARAM(client.right, client.bottom));
}

void BeginSplitterDrag()
{
    g_app.splitAtDragStart = g_app.splitPosition;
    g_app.dragging = 1;
    SetCapture(g_app.mainWindow);
}

void MoveSplitter(LPARAM point)
{
    if (g_app.dragging == 0)
        return;
    // Signed: a captured mouse left of the window reports negative x.
    int x = static_cast<short>(LOWORD(point));
    RECT client = {};
    GetClientRect(g_app.mainWindow, &client);
    if (x < 0)
        x = 0;
    if (x > client.right)
        x = client.right;
    g_app.splitPosition = x;
    Relayout();
}

void EndSplitterDrag()
{
    if (g_app.dragging == 0)
        return;
    g_app.dragging = 0;
    ReleaseCapture();
}

void ResetSplitter()
{
    SendMessageA(g_app.mainWindow, WM_LBUTTONUP, 0, 0);
    g_app.splitPosition = g_app.splitAtDragStart;
    Relayout();
}
