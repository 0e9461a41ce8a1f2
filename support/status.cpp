#include "support/status.h"

#include "shell/app_state.h"

void ShowStatus(const char* text)
{
    // Part 255 is the single part of simple mode; SBT_POPOUT draws it raised.
    SendMessageA(g_app.statusBar, SB_SETTEXTA, SB_SIMPLEID | SBT_POPOUT, reinterpret_cast<LPARAM>(text));
}
