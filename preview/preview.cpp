#include "preview/preview.h"

#include "pack/pack.h"
#include "preview/preview_folder.h"
#include "shell/app_state.h"
#include "shell/main_window.h"
#include "support/on_demand_dlls.h"
#include "support/text.h"

namespace {

const char* const ZONE_STREAM_SUFFIX = ":Zone.Identifier";
// The Internet zone; anything above it is trusted even less.
constexpr int ZONE_INTERNET = 3;

// Only a file system with named streams can carry the mark. Elsewhere the
// stream's name is not always refused: Wine's file system takes
// "x:Zone.Identifier" as a file name of its own, so a stray file would be
// written, or one read as if it were the mark.
bool CarriesStreams(const char* path)
{
    char root[PATH_BUFFER_BYTES];
    DWORD flags = 0;
    return GetVolumePathNameA(path, root, PLATFORM_PATH_CHARS) &&
           GetVolumeInformationA(root, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0) &&
           (flags & FILE_NAMED_STREAMS) != 0;
}

bool StreamPath(const char* file, char* path)
{
    if (!TextsFit(PATH_BUFFER_BYTES, file, ZONE_STREAM_SUFFIX))
        return false;
    TextCopy(path, file);
    TextAppend(path, ZONE_STREAM_SUFFIX);
    return true;
}

void PreviewEntry(const char* folder, const PackEntry* entry, int zone)
{
    ExtractEntry(g_app.mainWindow, folder, entry, 1);
    // ExtractEntry refuses (and reports) a name that leaves the folder or a
    // path that does not fit, by the same rule; the shell is then given
    // nothing.
    char file[PACK_PATH_BYTES];
    if (!BuildOutputPath(folder, entry->name, file))
        return;
    if (GetFileAttributesA(file) != INVALID_FILE_ATTRIBUTES)
        MarkWithZone(file, zone);
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
    // Quitting may have been confirmed while the question was open.
    if (g_app.quitRequested.load() != 0)
        return;
    char folder[PATH_BUFFER_BYTES];
    const bool built = BuildPreviewFolderPath(folder);
    if (!built || (!SetCurrentDirectoryA(folder) && !CreateDirectoryA(folder, nullptr))) {
        MessageBoxA(g_app.mainWindow, "一時ディレクトリが作成できません。\nプレビュー中止。", "ｵﾜﾀ＼(＾o＾)／",
                    MB_ICONERROR);
        return;
    }
    // The copies carry the zone of the pack they came out of, as the
    // platform's own archive handling does: a program from a downloaded pack
    // asks before it runs, one from the user's own pack does not.
    const int zone = CarriesStreams(g_app.packPath) && CarriesStreams(folder) ? ZoneOfMark(g_app.packPath) : 0;
    for (int row = NextSelectedRow(-1); row != -1; row = NextSelectedRow(row))
        PreviewEntry(folder, EntryOfRow(row), zone);
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

int ZoneOfMark(const char* file)
{
    char stream[PATH_BUFFER_BYTES];
    if (!StreamPath(file, stream))
        return 0;
    // The mark is a profile text; the platform reads it as it reads any.
    // Read signed: a negative zone is no zone.
    return static_cast<int>(GetPrivateProfileIntA("ZoneTransfer", "ZoneId", 0, stream));
}

void MarkWithZone(const char* file, int zone)
{
    char stream[PATH_BUFFER_BYTES];
    if (zone < ZONE_INTERNET || !StreamPath(file, stream))
        return;
    HANDLE mark = CreateFileA(stream, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (mark == INVALID_HANDLE_VALUE)
        return;
    char text[48];
    const int length = wsprintfA(text, "[ZoneTransfer]\r\nZoneId=%d\r\n", zone);
    DWORD written = 0;
    WriteFile(mark, text, static_cast<DWORD>(length), &written, nullptr);
    CloseHandle(mark);
}
