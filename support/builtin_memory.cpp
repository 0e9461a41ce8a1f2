// quorvel.exe links no run-time library, yet the compiler may emit calls to
// these for structure copies and clears. Linked into quorvel.exe only; the
// tests take them from their run time.
#include <cstddef>

extern "C" {

void* memset(void* destination, int value, size_t count)
{
    volatile unsigned char* d = static_cast<unsigned char*>(destination);
    for (size_t i = 0; i < count; ++i)
        d[i] = static_cast<unsigned char>(value);
    return destination;
}

void* memcpy(void* destination, const void* source, size_t count)
{
    volatile unsigned char* d = static_cast<unsigned char*>(destination);
    const unsigned char* s = static_cast<const unsigned char*>(source);
    for (size_t i = 0; i < count; ++i)
        d[i] = s[i];
    return destination;
}

void* memmove(void* destination, const void* source, size_t count)
{
    volatile unsigned char* d = static_cast<unsigned char*>(destination);
    const unsigned char* s = static_cast<const unsigned char*>(source);
    if (d < s) {
        for (size_t i = 0; i < count; ++i)
            d[i] = s[i];
    } else {
        for (size_t i = count; i > 0; --i)
            d[i - 1] = s[i - 1];
    }
    return destination;
}

int memcmp(const void* first, const void* second, size_t count)
{
    const unsigned char* a = static_cast<const unsigned char*>(first);
    const unsigned char* b = static_cast<const unsigned char*>(second);
    for (size_t i = 0; i < count; ++i) {
        if (a[i] != b[i])
            return a[i] < b[i] ? -1 : 1;
    }
    return 0;
}
}
