#include "shell/app_state.h"

// Constant-initialised: quorvel.exe has no run time to run constructors.
AppState g_app = {
    .mainWindow = nullptr,
    .accelerators = nullptr,
    .mainMenu = nullptr,
    .heap = nullptr,
    .treeView = nullptr,
    .entryListView = nullptr,
    .statusBar = nullptr,
    .smallImages = nullptr,
    .largeImages = nullptr,
    .focusedChild = nullptr,
    .splitPosition = 150,
    .splitAtDragStart = 0,
    .dragging = 0,
    .entryHead = nullptr,
    .packPath = {},
    .dataAreaStart = 0,
    .runState = 0,
    .queueHead = nullptr,
    .queueLock = SRWLOCK_INIT,
    .abandonEntry = 0,
    .helpModule = nullptr,
    .helpEntry = nullptr,
    .helpLoadFailed = FALSE,
};
