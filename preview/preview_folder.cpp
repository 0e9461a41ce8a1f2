#include "preview/preview_folder.h"

#include <windows.h>

#include "support/text.h"

bool BuildPreviewFolderPath(char* path)
{
    path[0] = 0;
    const DWORD length = GetTempPathA(PLATFORM_PATH_CHARS, path);
    // 0 is a failure; a length of the capacity or more means the folder's
    // path did not fit and the buffer holds nothing usable.
    if (length == 0 || length >= PLATFORM_PATH_CHARS)
        return false;
    AppendSeparator(path);
    if (!TextsFit(PATH_BUFFER_BYTES, path, "$PAKTEMP\\"))
        return false;
    TextAppend(path, "$PAKTEMP\\");
    return true;
}
