// The main window: its creation, its one window procedure, the layout of
// its children and the handlers of what the user asks of it. UI thread only.
#ifndef QUORVEL_SHELL_MAIN_WINDOW_H
#define QUORVEL_SHELL_MAIN_WINDOW_H

#include <windows.h>

struct PackEntry;

// Registers the class, loads the accelerators and the menu, creates, shows
// and raises the main window. 0 on success, 1 as soon as a step fails.
int CreateMainWindow();

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Layout and splitter (layout.cpp). CreateChildWindows: false when a child
// window or an image list could not be made.
bool CreateChildWindows(HWND window);
void LayoutChildren(UINT sizeType, int width, int height);
void Relayout();
void BeginSplitterDrag();
void MoveSplitter(LPARAM point);
void EndSplitterDrag();
void ResetSplitter();

// Commands, menus and input (commands.cpp).
LRESULT OnCommand(HWND window, WORD command, WPARAM wParam, LPARAM lParam);
void UpdateMenuStates(HMENU popup);
void ShowContextMenu(LPARAM point);
void OnDropFiles(HDROP drop);
LRESULT OnClose();
void OnNotify(const NMHDR* header);

// The entry list's selected rows (selection.cpp), in ascending row order:
// the first after row (-1 for the first of all), -1 when there is none.
int NextSelectedRow(int row);
int SelectedRowCount();
// The entry a row stands for (the item data OpenPack stored).
PackEntry* EntryOfRow(int row);
// The commands on the selected rows' entries (selection.cpp).
void ExtractCommand();   // IDM_EXTRACT: asks for the destination, then queues
void CopyNamesCommand(); // IDM_COPYNAMES

#endif
