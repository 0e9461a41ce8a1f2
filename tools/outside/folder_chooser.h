// Choosing a folder in the platform's folder chooser, whether it belongs to
// this process or to the program a test drives from outside. Header only,
// with no test framework, so that the tools and the tests can both use it.
#ifndef QUORVEL_TOOLS_OUTSIDE_FOLDER_CHOOSER_H
#define QUORVEL_TOOLS_OUTSIDE_FOLDER_CHOOSER_H

#include <windows.h>
#include <commctrl.h>
#include <shlobj.h>

// Wine's chooser now and then ignores BFFM_SETSELECTIONA and stays on the
// desktop, whose folder is the user's home: OK would then extract there. So
// the selection is sent until the tree's caret has left its root; false if
// it never does. path: the path's bytes as the chooser's process sees them
// (in another process, a block written there), which is also why the check
// asks only for item handles, never for texts.
inline bool SelectChooserFolder(HWND chooser, LPARAM path)
{
    HWND tree = FindWindowExA(chooser, nullptr, "SysTreeView32", nullptr);
    for (int attempt = 0; attempt < 100; ++attempt) {
        SendMessageA(chooser, BFFM_SETSELECTIONA, TRUE, path);
        const LRESULT caret = SendMessageA(tree, TVM_GETNEXTITEM, TVGN_CARET, 0);
        if (caret != 0 && caret != SendMessageA(tree, TVM_GETNEXTITEM, TVGN_ROOT, 0))
            return true;
        Sleep(20);
    }
    return false;
}

#endif
