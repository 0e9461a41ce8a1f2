#include "support/entry_name.h"

#include "support/text.h"

namespace {

char UpperAscii(char c)
{
    return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c;
}

bool IsSeparatorAt(const char* position)
{
    // '/' is never a cp932 trail byte, so only 0x5C needs the character walk
    // that the caller does; both end a component where a character begins.
    return !IsLeadByte(static_cast<unsigned char>(*position)) && (*position == '\\' || *position == '/');
}

// The platform treats these names as devices in any folder and with any
// extension ("nul.txt" is the null device), and ignores trailing spaces and
// dots before the extension.
bool IsDeviceName(const char* begin, const char* end)
{
    const char* stem = begin;
    while (stem < end && *stem != '.')
        ++stem;
    while (stem > begin && (stem[-1] == ' ' || stem[-1] == '.'))
        --stem;
    const long length = stem - begin;
    char upper[5] = {};
    if (length < 3 || length > 4)
        return false;
    for (long i = 0; i < length; ++i)
        upper[i] = UpperAscii(begin[i]);
    static const char* const threeLetter[] = {"CON", "PRN", "AUX", "NUL"};
    if (length == 3) {
        for (const char* device : threeLetter) {
            if (TextCompare(upper, device) == 0)
                return true;
        }
        return false;
    }
    const bool numbered = upper[3] >= '1' && upper[3] <= '9';
    upper[3] = 0;
    return numbered && (TextCompare(upper, "COM") == 0 || TextCompare(upper, "LPT") == 0);
}

// A component of dots and spaces only ("", ".", "..", "...", ". .") either
// names the folder itself, climbs out of it, or is reduced to one of those
// by the platform's path normalisation.
bool IsDotsOnly(const char* begin, const char* end)
{
    for (const char* p = begin; p < end; ++p) {
        if (*p != '.' && *p != ' ')
            return false;
    }
    return true;
}

} // namespace

bool IsSafeEntryName(const char* name)
{
    if (name == nullptr || *name == 0)
        return false;
    const char* componentStart = name;
    for (const char* position = name;; position = NextCharacter(position)) {
        const bool atEnd = *position == 0;
        // No double-byte code page has trail bytes below 0x40, and the
        // platform's conversion may read such a byte after a lead byte as a
        // character of its own: a hidden "/", ":", "." or " " would then act
        // where this walk did not see it.
        if (!atEnd && IsLeadByte(static_cast<unsigned char>(*position)) && position[1] != 0 &&
            static_cast<unsigned char>(position[1]) < 0x40)
            return false;
        if (!atEnd && !IsLeadByte(static_cast<unsigned char>(*position)) && *position == ':')
            return false;
        if (atEnd || IsSeparatorAt(position)) {
            if (IsDotsOnly(componentStart, position) || IsDeviceName(componentStart, position))
                return false;
            if (atEnd)
                return true;
            componentStart = position + 1;
        }
    }
}
