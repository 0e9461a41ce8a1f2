// Help: the HTML Help control, loaded only when the user first asks for help.
#ifndef QUORVEL_SUPPORT_HELP_H
#define QUORVEL_SUPPORT_HELP_H

#include <windows.h>

// The HTML Help API, reached through the help control loaded on first use.
// Returns the viewer's window, or nullptr (silently) when help is missing.
HWND CallHtmlHelp(HWND owner, const char* file, UINT command, DWORD_PTR data);

// The Help command: opens "quorvel.chm" beside the program's own file.
void ShowHelpContents(HWND owner);

#endif
