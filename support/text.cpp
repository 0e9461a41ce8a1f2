#include "support/text.h"

#ifdef _WIN32
#include <windows.h>
#endif

// quorvel.exe follows the ANSI code page in force; quorvel-cli's Windows
// build defines QUORVEL_FIXED_CP932 because pack names are code page 932
// whatever the system's code page is.
#if defined(_WIN32) && !defined(QUORVEL_FIXED_CP932)
#define QUORVEL_SYSTEM_CODE_PAGE 1
#endif

bool IsLeadByte(unsigned char byte)
{
#ifdef QUORVEL_SYSTEM_CODE_PAGE
    return IsDBCSLeadByte(byte) != FALSE;
#else
    return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
#endif
}

const char* NextCharacter(const char* position)
{
#ifdef QUORVEL_SYSTEM_CODE_PAGE
    return CharNextA(position);
#else
    if (*position == 0)
        return position;
    if (IsLeadByte(static_cast<unsigned char>(*position)) && position[1] != 0)
        return position + 2;
    return position + 1;
#endif
}

void ZeroBlock(void* block, int32_t count)
{
    if (block == nullptr || count <= 0)
        return;
    // Byte stores through a volatile pointer keep the compiler from turning
    // this loop into a call to a run-time memset, which quorvel.exe lacks.
    volatile unsigned char* bytes = static_cast<unsigned char*>(block);
    for (int32_t i = 0; i < count; ++i)
        bytes[i] = 0;
}

uint32_t TextLength(const char* text)
{
    if (text == nullptr)
        return 0;
    uint32_t length = 0;
    while (text[length] != 0)
        ++length;
    return length;
}

void TextCopy(char* destination, const char* source)
{
    if (destination == nullptr || source == nullptr || destination == source)
        return;
    while ((*destination++ = *source++) != 0) {}
}

void TextAppend(char* destination, const char* source)
{
    if (destination == nullptr || source == nullptr || destination == source)
        return;
    TextCopy(destination + TextLength(destination), source);
}

int TextCompare(const char* first, const char* second)
{
    if (first == nullptr || second == nullptr || first == second)
        return 0;
    while (*first == *second && *first != 0) {
        ++first;
        ++second;
    }
    const signed char a = static_cast<signed char>(*first);
    const signed char b = static_cast<signed char>(*second);
    return a < b ? -1 : (a > b ? 1 : 0);
}

const char* FileNamePart(const char* path)
{
    const char* result = path;
    for (const char* position = path; *position != 0; position = NextCharacter(position)) {
        if (!IsLeadByte(static_cast<unsigned char>(*position)) && *position == '\\')
            result = position + 1;
    }
    return result;
}

char* FileNamePart(char* path)
{
    return const_cast<char*>(FileNamePart(static_cast<const char*>(path)));
}

void CutFileName(char* path)
{
    *FileNamePart(path) = 0;
}

void AppendSeparator(char* path)
{
    if (*path == 0)
        return;
    if (*FileNamePart(path) != 0)
        TextAppend(path, "\\");
}

void CutLastSeparator(char* path)
{
    char* namePart = FileNamePart(path);
    if (namePart != path)
        namePart[-1] = 0;
}

bool TextsFit(uint32_t capacity, const char* first, const char* second, const char* third)
{
    const uint64_t needed = uint64_t(TextLength(first)) + TextLength(second) + TextLength(third) + 1;
    return needed <= capacity;
}
