#ifndef QUORVEL_SHELL_MAIN_WINDOW_H
#define QUORVEL_SHELL_MAIN_WINDOW_H

#include <windows.h>

// Registers the class, loads the accelerators and the menu, creates, shows
// and raises the main window. 0 on success, 1 as soon as a step fails.
int CreateMainWindow();

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Layout and splitter (layout.cpp).
void CreateChildWindows(HWND window);
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

#endif
