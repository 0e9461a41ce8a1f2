#include "preview/preview.h"

#include "pack/pack.h"
#include "preview/preview_folder.h"
#include "preview/zone_mark.h"
#include "resources/texts.h"
#include "shell/app_state.h"
#include "support/on_demand_dlls.h"

bool PreparePreview(PreviewPlace* place)
{
    const bool built = BuildPreviewFolderPath(place->folder);
    if (!built || (!SetCurrentDirectoryA(place->folder) && !CreateDirectoryA(place->folder, nullptr))) {
        MessageBoxA(g_app.mainWindow, NO_PREVIEW_FOLDER_TEXT, DOOMED_CAPTION, MB_ICONERROR);
        return false;
    }
    // The copies carry the zone of the pack they came out of, as the
    // platform's own archive handling does. A mark that cannot be read stops
    // the preview: its copies would reach the shell as the computer's own.
    place->zone = 0;
    if (CarriesStreams(g_app.packPath) && CarriesStreams(place->folder) &&
        !ReadZoneMark(g_app.packPath, &place->zone)) {
        MessageBoxA(g_app.mainWindow, ZONE_UNREADABLE_TEXT, g_app.packPath, MB_ICONWARNING);
        return false;
    }
    return true;
}

void PreviewEntry(const PreviewPlace* place, const PackEntry* entry)
{
    // ExtractEntry refuses (and reports) a name that leaves the folder or a
    // path that does not fit; the shell is then given nothing. A copy that
    // failed leaves an earlier one in place, which the shell is given.
    char file[PACK_PATH_BYTES];
    ExtractEntry(g_app.mainWindow, place->folder, entry, 1, file);
    if (file[0] == 0)
        return;
    if (GetFileAttributesA(file) != INVALID_FILE_ATTRIBUTES && !MarkWithZone(file, place->zone)) {
        // An unmarked copy of a downloaded entry is not left to be opened
        // by hand either.
        MessageBoxA(g_app.mainWindow, ZONE_UNWRITTEN_TEXT, file, MB_ICONWARNING);
        DeleteFileA(file);
        return;
    }
    OnDemandShellExecuteA(g_app.mainWindow, nullptr, file, nullptr, nullptr, SW_SHOWNORMAL);
}

void RemovePreviewFolder()
{
    char folder[PATH_BUFFER_BYTES];
    if (!BuildPreviewFolderPath(folder))
        return;
    // A preview folder that is a link is removed as a link; whatever it
    // points at is not ours.
    char link[PATH_BUFFER_BYTES];
    TextCopy(link, folder);
    CutLastSeparator(link);
    const DWORD attributes = GetFileAttributesA(link);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        RemoveDirectoryA(link);
        return;
    }
    if (!SetCurrentDirectoryA(folder))
        return;
    // The folder a process stands in cannot be removed.
    SetCurrentDirectoryA("..");
    DeleteTree(folder);
}
