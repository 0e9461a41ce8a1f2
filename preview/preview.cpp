#include "preview/preview.h"

#include "pack/pack.h"
#include "preview/preview_folder.h"
#include "shell/app_state.h"
#include "shell/main_window.h"
#include "support/entry_name.h"
#include "support/on_demand_dlls.h"
#include "support/text.h"

namespace {

const char* const ZONE_STREAM_SUFFIX = ":Zone.Identifier";
// Internet zone: the shell warns before it runs a program marked so.
const char ZONE_INTERNET[] = "[ZoneTransfer]\r\nZoneId=3\r\n";

// Only a file system with named streams can carry the mark. Elsewhere the
// stream's name is not always refused: Wine's file system takes
// "x:Zone.Identifier" as a file name of its own and leaves a stray file.
bool CarriesStreams(const char* folder)
{
    char root[PATH_BUFFER_BYTES];
    DWORD flags = 0;
    return GetVolumePathNameA(folder, root, PLATFORM_PATH_CHARS) &&
           GetVolumeInformationA(root, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0) &&
           (flags & FILE_NAMED_STREAMS) != 0;
}

// Marks a preview copy as coming from outside, so that opening a program
// that came out of a pack asks first.
void MarkAsDownloaded(const char* file)
{
    char streamPath[PATH_BUFFER_BYTES];
    if (!TextsFit(PATH_BUFFER_BYTES, file, ZONE_STREAM_SUFFIX))
        return;
    TextCopy(streamPath, file);
    TextAppend(streamPath, ZONE_STREAM_SUFFIX);
    HANDLE stream = CreateFileA(streamPath, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (stream == INVALID_HANDLE_VALUE)
        return;
    DWORD written = 0;
    WriteFile(stream, ZONE_INTERNET, sizeof ZONE_INTERNET - 1, &written, nullptr);
    CloseHandle(stream);
}

void PreviewEntry(const char* folder, const PackEntry* entry, bool markable)
{
    ExtractEntry(g_app.mainWindow, folder, entry, 1);
    // ExtractEntry refuses (and reports) a name that leaves the folder or a
    // path that does not fit; the shell is then given nothing.
    char file[PATH_BUFFER_BYTES];
    if (!IsSafeEntryName(entry->name) || !TextsFit(PACK_PATH_BYTES, folder, entry->name))
        return;
    TextCopy(file, folder);
    AppendSeparator(file);
    TextAppend(file, entry->name);
    if (markable && GetFileAttributesA(file) != INVALID_FILE_ATTRIBUTES)
        MarkAsDownloaded(file);
    OnDemandShellExecuteA(g_app.mainWindow, nullptr, file, nullptr, nullptr, SW_SHOWNORMAL);
}

} // namespace

void PreviewSelection()
{
    const int selected = SelectedRowCount();
    if (selected == 0)
        return;
    if (selected >= 2 &&
        MessageBoxA(g_app.mainWindow, "2個以上のファイルが選択されています。\n本当に全部開きますか?", "警告",
                    MB_ICONWARNING | MB_YESNO) == IDNO)
        return;
    char folder[PATH_BUFFER_BYTES];
    const bool built = BuildPreviewFolderPath(folder);
    if (!built || (!SetCurrentDirectoryA(folder) && !CreateDirectoryA(folder, nullptr))) {
        MessageBoxA(g_app.mainWindow, "一時ディレクトリが作成できません。\nプレビュー中止。", "ｵﾜﾀ＼(＾o＾)／",
                    MB_ICONERROR);
        return;
    }
    const bool markable = CarriesStreams(folder);
    for (int row = NextSelectedRow(-1); row != -1; row = NextSelectedRow(row))
        PreviewEntry(folder, EntryOfRow(row), markable);
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
