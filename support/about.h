// The About box and the version text it shows.
#ifndef QUORVEL_SUPPORT_ABOUT_H
#define QUORVEL_SUPPORT_ABOUT_H

#include <windows.h>

// "Version a.b.c.d" from the file version of a version block as
// GetFileVersionInfoA returns it, into text (at least 32 bytes). False, with
// text untouched, when the block is too short or has no fixed information.
bool FormatFileVersion(const unsigned char* block, DWORD size, char* text);

INT_PTR CALLBACK AboutDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

#endif
