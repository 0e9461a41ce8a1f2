#include "preview/zone_mark.h"

#include <windows.h>

#include "support/scoped_handle.h"
#include "support/text.h"

namespace {

const char* const ZONE_STREAM_SUFFIX = ":Zone.Identifier";
// "\\?\UNC\", a path of any length quorvel composes, the stream's name.
constexpr int STREAM_PATH_CHARS = 8 + PATH_BUFFER_BYTES + 16 + 1;
// A file's own verbatim path as the volume names it may be longer than the
// path quorvel composed (a folder link resolved); the stream's name follows.
constexpr int FINAL_PATH_CHARS = 1024;
// A mark is a few short lines; what lies past this is not looked at.
constexpr DWORD MARK_READ_BYTES = 4096;

// The stream of file as a wide path with the "\\?\" prefix: the ANSI calls
// stop at 259 characters, and a pack path of 244 bytes or more would then
// read as unmarked. False when it cannot be composed.
bool StreamPath(const char* file, wchar_t* path)
{
    const wchar_t* prefix = L"\\\\?\\";
    if (file[0] == '\\' && file[1] == '\\') {
        // Already a device or verbatim path, or a share: "\\server\share".
        const bool verbatim = (file[2] == '?' || file[2] == '.') && file[3] == '\\';
        prefix = verbatim ? L"" : L"\\\\?\\UNC";
        if (!verbatim)
            ++file; // the share keeps one of its two backslashes
    }
    int length = 0;
    while (prefix[length] != 0) {
        path[length] = prefix[length];
        ++length;
    }
    const int room = STREAM_PATH_CHARS - length;
    const int fileChars = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, file, -1, path + length, room);
    if (fileChars == 0)
        return false;
    length += fileChars - 1;
    const int suffixLength = static_cast<int>(TextLength(ZONE_STREAM_SUFFIX));
    if (length + suffixLength + 1 > STREAM_PATH_CHARS)
        return false;
    for (int i = 0; i <= suffixLength; ++i)
        path[length + i] = static_cast<wchar_t>(ZONE_STREAM_SUFFIX[i]);
    return true;
}

bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

// Compares text[0..length) with an ASCII word, letter case ignored.
bool SameWord(const char* text, int length, const char* word)
{
    int i = 0;
    for (; i < length && word[i] != 0; ++i) {
        char c = text[i];
        char w = word[i];
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        if (w >= 'A' && w <= 'Z')
            w = static_cast<char>(w - 'A' + 'a');
        if (c != w)
            return false;
    }
    return i == length && word[i] == 0;
}

// The signed decimal number a value starts with, 0 when it has none, as
// the profile functions read a number.
int LeadingNumber(const char* value, int length)
{
    int i = 0;
    const bool negative = length > 0 && value[0] == '-';
    if (length > 0 && (value[0] == '-' || value[0] == '+'))
        ++i;
    int number = 0;
    for (; i < length && value[i] >= '0' && value[i] <= '9' && number < 100000; ++i)
        number = number * 10 + (value[i] - '0');
    return negative ? -number : number;
}

// ZoneId in section [ZoneTransfer] of a mark's text, read as the platform
// reads any profile text: lines, blanks around names and values, letter
// case ignored in names, the first key of a name counts. 0 when absent.
int ZoneInMarkText(const char* text, int length)
{
    bool inSection = false;
    int lineStart = 0;
    while (lineStart < length) {
        int lineEnd = lineStart;
        while (lineEnd < length && text[lineEnd] != '\r' && text[lineEnd] != '\n')
            ++lineEnd;
        int begin = lineStart;
        int end = lineEnd;
        lineStart = lineEnd + 1;
        while (begin < end && IsBlank(text[begin]))
            ++begin;
        while (end > begin && IsBlank(text[end - 1]))
            --end;
        if (begin < end && text[begin] == '[') {
            int close = begin + 1;
            while (close < end && text[close] != ']')
                ++close;
            inSection = SameWord(text + begin + 1, close - begin - 1, "ZoneTransfer");
            continue;
        }
        int equals = begin;
        while (equals < end && text[equals] != '=')
            ++equals;
        if (!inSection || equals == end)
            continue;
        int keyEnd = equals;
        while (keyEnd > begin && IsBlank(text[keyEnd - 1]))
            --keyEnd;
        if (!SameWord(text + begin, keyEnd - begin, "ZoneId"))
            continue;
        int value = equals + 1;
        while (value < end && IsBlank(text[value]))
            ++value;
        return LeadingNumber(text + value, end - value);
    }
    return 0;
}

} // namespace

bool CarriesStreams(const char* path)
{
    // Elsewhere the stream's name is not always refused: Wine's file system
    // takes "x:Zone.Identifier" as a file name of its own, so a stray file
    // would be written, or one read as if it were the mark.
    char root[PATH_BUFFER_BYTES];
    DWORD flags = 0;
    return GetVolumePathNameA(path, root, PLATFORM_PATH_CHARS) &&
           GetVolumeInformationA(root, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0) &&
           (flags & FILE_NAMED_STREAMS) != 0;
}

bool ReadZoneMark(const char* file, int* zone)
{
    *zone = 0;
    wchar_t path[STREAM_PATH_CHARS];
    if (!StreamPath(file, path))
        return false;
    const OwnedFile mark(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, OPEN_EXISTING, 0, nullptr));
    if (!mark.IsOpen())
        return GetLastError() == ERROR_FILE_NOT_FOUND;
    char text[MARK_READ_BYTES];
    DWORD length = 0;
    if (!ReadFile(mark.Get(), text, MARK_READ_BYTES, &length, nullptr))
        return false;
    // A mark saved as UTF-16 is read by its low bytes: names and numbers
    // are ASCII.
    const bool wide =
        length >= 2 && static_cast<unsigned char>(text[0]) == 0xFF && static_cast<unsigned char>(text[1]) == 0xFE;
    if (wide) {
        DWORD narrow = 0;
        for (DWORD i = 2; i + 1 < length; i += 2)
            text[narrow++] = text[i + 1] == 0 ? text[i] : '?';
        length = narrow;
    }
    *zone = ZoneInMarkText(text, static_cast<int>(length));
    return true;
}

bool MarkWithZone(HANDLE copy, int zone)
{
    if (zone < ZONE_INTERNET)
        return true;
    // The stream of the file the handle reaches, by the name the volume
    // knows it by: the platform writes "x.exe." or "x.exe " as "x.exe", and
    // the verbatim path of the name asked for would make a file of its own,
    // marked, beside the unmarked copy.
    wchar_t path[FINAL_PATH_CHARS];
    const int suffixLength = static_cast<int>(TextLength(ZONE_STREAM_SUFFIX));
    const DWORD room = static_cast<DWORD>(FINAL_PATH_CHARS - suffixLength);
    const DWORD length = GetFinalPathNameByHandleW(copy, path, room, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0 || length >= room)
        return false;
    for (int i = 0; i <= suffixLength; ++i)
        path[length + i] = static_cast<wchar_t>(ZONE_STREAM_SUFFIX[i]);
    const OwnedFile mark(CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    if (!mark.IsOpen())
        return false;
    char text[48];
    const int textLength = wsprintfA(text, "[ZoneTransfer]\r\nZoneId=%d\r\n", zone);
    DWORD written = 0;
    return WriteFile(mark.Get(), text, static_cast<DWORD>(textLength), &written, nullptr) &&
           written == static_cast<DWORD>(textLength);
}
