#include "preview/preview.h"

#include "resources/texts.h"
#include "support/scoped_handle.h"
#include "support/text.h"

// The removal walks the tree through the wide-character calls: a viewer may
// leave a file whose name has no ANSI form, which the ANSI search reports
// with "?" in it, a name that reaches nothing. Paths are limited as the
// rest of the program limits them, to PATH_BUFFER_BYTES characters.

namespace {

using OwnedSearchW = ScopedHandle<FindClose>;

constexpr int PATH_CHARS = PATH_BUFFER_BYTES;
// Each wide character takes at most two bytes in the ANSI code page.
constexpr int CAPTION_BYTES = 2 * PATH_CHARS;

int WideLength(const wchar_t* text)
{
    int length = 0;
    while (text[length] != 0)
        ++length;
    return length;
}

// Joins folder, a separator unless it ends with one, and name into path;
// false when the whole, with its terminator, would not fit PATH_CHARS.
bool JoinWide(const wchar_t* folder, const wchar_t* name, wchar_t* path)
{
    const int folderLength = WideLength(folder);
    const bool separator = folderLength == 0 || folder[folderLength - 1] != L'\\';
    const int nameLength = WideLength(name);
    if (folderLength + (separator ? 1 : 0) + nameLength + 1 > PATH_CHARS)
        return false;
    int at = 0;
    for (int i = 0; i < folderLength; ++i)
        path[at++] = folder[i];
    if (separator)
        path[at++] = L'\\';
    for (int i = 0; i <= nameLength; ++i)
        path[at++] = name[i];
    return true;
}

// A path as a message caption; characters without an ANSI form show as "?".
void ShowWithPath(const char* text, const wchar_t* path, UINT style, int* answer = nullptr)
{
    char caption[CAPTION_BYTES];
    if (WideCharToMultiByte(CP_ACP, 0, path, -1, caption, CAPTION_BYTES, nullptr, nullptr) == 0)
        caption[0] = 0;
    const int pressed = MessageBoxA(nullptr, text, caption, style);
    if (answer != nullptr)
        *answer = pressed;
}

bool Vanished(DWORD error)
{
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

bool RemoveOnce(const wchar_t* path, bool folder)
{
    return folder ? RemoveDirectoryW(path) != FALSE : DeleteFileW(path) != FALSE;
}

// One removal, with what mends itself mended: something gone meanwhile
// counts as removed, and a read-only one loses the attribute and goes.
bool Remove(const wchar_t* path, bool folder)
{
    if (RemoveOnce(path, folder) || Vanished(GetLastError()))
        return true;
    const DWORD attributes = GetFileAttributesW(path);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_READONLY) == 0)
        return false;
    const DWORD kept = attributes & ~(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY);
    SetFileAttributesW(path, kept != 0 ? kept : FILE_ATTRIBUTE_NORMAL);
    return RemoveOnce(path, folder) || Vanished(GetLastError());
}

// Asks until the removal succeeds or the user gives up (false): what is
// left is what a retry can mend, such as a file that a viewer still holds.
bool RemoveWithRetry(const wchar_t* path, bool folder)
{
    while (!Remove(path, folder)) {
        int answer = IDNO;
        ShowWithPath(folder ? FOLDER_RETRY_QUESTION : FILE_RETRY_QUESTION, path, MB_ICONERROR | MB_YESNO, &answer);
        if (answer == IDNO)
            return false;
    }
    return true;
}

bool IsDotOrDotDot(const wchar_t* name)
{
    return (name[0] == L'.' && name[1] == 0) || (name[0] == L'.' && name[1] == L'.' && name[2] == 0);
}

int DeleteTreeWide(const wchar_t* folder)
{
    wchar_t path[PATH_CHARS];
    if (!JoinWide(folder, L"*.*", path)) {
        // Too deep to name: reported like a search that cannot start.
        ShowWithPath(SEARCH_FAILED_TEXT, folder, MB_ICONERROR);
        return 1;
    }
    {
        WIN32_FIND_DATAW found;
        const OwnedSearchW search(FindFirstFileW(path, &found));
        if (!search.IsOpen()) {
            ShowWithPath(SEARCH_FAILED_TEXT, path, MB_ICONERROR);
            return 1;
        }
        do {
            if (IsDotOrDotDot(found.cFileName))
                continue;
            if (!JoinWide(folder, found.cFileName, path)) {
                ShowWithPath(SEARCH_FAILED_TEXT, folder, MB_ICONERROR);
                return 1;
            }
            const bool isFolder = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
            // A link (junction or symbolic link) is removed itself, never
            // entered: its target lies outside the preview folder.
            bool removed;
            if ((found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
                removed = RemoveWithRetry(path, isFolder);
            else if (isFolder)
                removed = DeleteTreeWide(path) == 0;
            else
                removed = RemoveWithRetry(path, false);
            if (!removed)
                return 1;
        } while (FindNextFileW(search.Get(), &found));
    }
    // The search is closed by now: a folder still searched cannot go.
    int length = WideLength(folder);
    for (int i = 0; i <= length; ++i)
        path[i] = folder[i];
    if (length > 1 && path[length - 1] == L'\\')
        path[length - 1] = 0;
    return RemoveWithRetry(path, true) ? 0 : 1;
}

} // namespace

int DeleteTree(const char* folder)
{
    wchar_t wide[PATH_CHARS];
    if (MultiByteToWideChar(CP_ACP, 0, folder, -1, wide, PATH_CHARS) == 0) {
        MessageBoxA(nullptr, SEARCH_FAILED_TEXT, folder, MB_ICONERROR);
        return 1;
    }
    return DeleteTreeWide(wide);
}
