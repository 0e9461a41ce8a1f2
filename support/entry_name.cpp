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

bool IsPortNumber(const char* begin, long length)
{
    if (length < 1 || length > 2)
        return false;
    const auto first = static_cast<unsigned char>(begin[0]);
    if (length == 1 && first >= '1' && first <= '9')
        return true;
    // The platform also takes the superscript digits 1, 2 and 3 for port
    // numbers. No cp932 character converts to one, but the ANSI code page in
    // force may be another: a single byte B9, B2 or B3 is one in the Western
    // code page, C2 followed by it in UTF-8. In cp932 those bytes are
    // half-width katakana, which no port name needs.
    const char* last = begin + length - 1;
    const auto digit = static_cast<unsigned char>(*last);
    const bool superscript = digit == 0xB9 || digit == 0xB2 || digit == 0xB3;
    return superscript && (length == 1 || (length == 2 && first == 0xC2));
}

// The platform treats these names as devices in any folder and with any
// extension ("nul.txt" is the null device), and ignores trailing spaces and
// dots before the extension. COM0 and LPT0 name ordinary files.
bool IsDeviceName(const char* begin, const char* end)
{
    const char* stem = begin;
    while (stem < end && *stem != '.')
        ++stem;
    while (stem > begin && (stem[-1] == ' ' || stem[-1] == '.'))
        --stem;
    const long length = stem - begin;
    constexpr long LONGEST_DEVICE_NAME = 7; // "CONOUT$"
    if (length < 3 || length > LONGEST_DEVICE_NAME)
        return false;
    char upper[LONGEST_DEVICE_NAME + 1] = {};
    for (long i = 0; i < length; ++i)
        upper[i] = UpperAscii(begin[i]);
    // CONIN$ and CONOUT$ are the console's input and output, as CreateFile
    // knows them.
    static const char* const named[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    for (const char* device : named) {
        if (TextCompare(upper, device) == 0)
            return true;
    }
    upper[3] = 0;
    return (TextCompare(upper, "COM") == 0 || TextCompare(upper, "LPT") == 0) && IsPortNumber(begin + 3, length - 3);
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
