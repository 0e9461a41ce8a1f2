#include "preview/preview.h"

#include "pack/pack.h"
#include "preview/preview_folder.h"
#include "preview/zone_mark.h"
#include "resources/texts.h"
#include "shell/app_state.h"
#include "support/on_demand_dlls.h"
#include "support/scoped_handle.h"
#include "support/text.h"

namespace {

// The name the copy has on the volume, in place of the one asked for: a
// name that ends in dots or spaces was written without them, and the shell
// is given the file that was written and marked. Left as it is when the
// volume's name cannot be had in the ANSI code page or would not fit.
void TakeWrittenName(HANDLE copy, char* file)
{
    char written[PATH_BUFFER_BYTES];
    const DWORD length = GetFinalPathNameByHandleA(copy, written, PLATFORM_PATH_CHARS, FILE_NAME_NORMALIZED);
    if (length == 0 || length >= PLATFORM_PATH_CHARS)
        return;
    const char* name = FileNamePart(written);
    if (*name == 0)
        return;
    for (const char* c = name; *c != 0; c = NextCharacter(c)) {
        if (*c == '?')
            return; // a character without an ANSI form
    }
    char* own = FileNamePart(file);
    if ((own - file) + TextLength(name) + 1 > PACK_PATH_BYTES)
        return;
    TextCopy(own, name);
}

} // namespace

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
    // Only a volume with named streams can hold a mark at all.
    place->zone = 0;
    if (!CarriesStreams(g_app.packPath))
        return true;
    if (!ReadZoneMark(g_app.packPath, &place->zone)) {
        MessageBoxA(g_app.mainWindow, ZONE_UNREADABLE_TEXT, g_app.packPath, MB_ICONWARNING);
        return false;
    }
    // Nor can the copies be marked where the temporary folder's volume has
    // no named streams (FAT, exFAT, some RAM disks).
    if (place->zone >= ZONE_INTERNET && !CarriesStreams(place->folder)) {
        MessageBoxA(g_app.mainWindow, ZONE_UNWRITTEN_TEXT, place->folder, MB_ICONWARNING);
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
    // The copy is reached by the name it was written by, and then marked
    // and named through its handle: what the name asked for reaches may be
    // another file.
    bool marked = true;
    {
        const OwnedFile copy(CreateFileA(file, FILE_READ_ATTRIBUTES,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                         0, nullptr));
        if (copy.IsOpen()) {
            TakeWrittenName(copy.Get(), file);
            marked = MarkWithZone(copy.Get(), place->zone);
        } else {
            marked = place->zone < ZONE_INTERNET || GetFileAttributesA(file) == INVALID_FILE_ATTRIBUTES;
        }
    }
    if (!marked) {
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
