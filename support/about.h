#ifndef QUORVEL_SUPPORT_ABOUT_H
#define QUORVEL_SUPPORT_ABOUT_H

#include <windows.h>

INT_PTR CALLBACK AboutDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

#endif
