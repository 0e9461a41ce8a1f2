// Code page 932 through iconv (Linux and the other POSIX systems).
#include "cli/cp932.h"

#include <cerrno>
#include <iconv.h>

namespace cli {

namespace {

// One conversion state per direction, for the whole run (one thread).
bool Convert(iconv_t* converter, const char* to, const char* from, std::string_view input, std::string* output)
{
    if (input.empty())
        return true;
    if (*converter == iconv_t(-1)) {
        *converter = iconv_open(to, from);
        if (*converter == iconv_t(-1))
            return false;
    }
    iconv(*converter, nullptr, nullptr, nullptr, nullptr);
    char buffer[1536];
    char* in = const_cast<char*>(input.data());
    size_t inLeft = input.size();
    const size_t start = output->size();
    while (inLeft > 0) {
        char* out = buffer;
        size_t outLeft = sizeof buffer;
        const size_t result = iconv(*converter, &in, &inLeft, &out, &outLeft);
        output->append(buffer, size_t(out - buffer));
        if (result == size_t(-1) && errno != E2BIG) {
            output->resize(start);
            return false;
        }
    }
    char* out = buffer;
    size_t outLeft = sizeof buffer;
    if (iconv(*converter, nullptr, nullptr, &out, &outLeft) == size_t(-1)) {
        output->resize(start);
        return false;
    }
    output->append(buffer, size_t(out - buffer));
    return true;
}

iconv_t g_fromPack = iconv_t(-1);
iconv_t g_toPack = iconv_t(-1);

} // namespace

bool PlatformDecode(std::string_view stored, std::string* utf8)
{
    return Convert(&g_fromPack, "UTF-8", "CP932", stored, utf8);
}

bool EncodeStrict(std::string_view utf8, std::string* stored)
{
    return Convert(&g_toPack, "CP932", "UTF-8", utf8, stored);
}

} // namespace cli
