#include "preview/preview.h"

#include "support/scoped_handle.h"
#include "support/text.h"

namespace {

// Asks until the removal succeeds or the user gives up; false on No.
bool RemoveWithRetry(const char* path, bool folder)
{
    while (!(folder ? RemoveDirectoryA(path) : DeleteFileA(path))) {
        if (MessageBoxA(nullptr, folder ? "フォルダ削除失敗\n再試行しますか?" : "ファイル削除失敗\n再試行しますか?",
                        path, MB_ICONERROR | MB_YESNO) == IDNO)
            return false;
    }
    return true;
}

bool IsDotOrDotDot(const char* name)
{
    return TextCompare(name, ".") == 0 || TextCompare(name, "..") == 0;
}

} // namespace

int DeleteTree(const char* folder)
{
    char path[PATH_BUFFER_BYTES];
    const bool fits = TextsFit(PATH_BUFFER_BYTES - 1, folder, "*.*");
    if (fits) {
        TextCopy(path, folder);
        AppendSeparator(path);
        TextAppend(path, "*.*");
    } else {
        // Too deep to name: reported like a search that cannot start.
        TextCopy(path, "*.*");
    }
    {
        WIN32_FIND_DATAA found;
        const OwnedSearch search(fits ? FindFirstFileA(path, &found) : INVALID_HANDLE_VALUE);
        if (!search.IsOpen()) {
            MessageBoxA(nullptr, "ディレクトリ検索失敗\n再帰ディレクトリ削除中止。", fits ? path : folder, MB_ICONERROR);
            return 1;
        }
        do {
            if (IsDotOrDotDot(found.cFileName))
                continue;
            if (!TextsFit(PATH_BUFFER_BYTES - 1, folder, found.cFileName)) {
                MessageBoxA(nullptr, "ディレクトリ検索失敗\n再帰ディレクトリ削除中止。", folder, MB_ICONERROR);
                return 1;
            }
            TextCopy(path, folder);
            AppendSeparator(path);
            TextAppend(path, found.cFileName);
            const bool isFolder = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
            // A link (junction or symbolic link) is removed itself, never
            // entered: its target lies outside the preview folder.
            bool removed;
            if ((found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
                removed = RemoveWithRetry(path, isFolder);
            else if (isFolder)
                removed = DeleteTree(path) == 0;
            else
                removed = RemoveWithRetry(path, false);
            if (!removed)
                return 1;
        } while (FindNextFileA(search.Get(), &found));
    }
    // The search is closed by now: a folder still searched cannot go.
    TextCopy(path, folder);
    if (*FileNamePart(path) == 0)
        CutLastSeparator(path);
    return RemoveWithRetry(path, true) ? 0 : 1;
}
