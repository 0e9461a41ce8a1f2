// Code page 932 through the system's own tables (Windows).
#include "cli/cp932.h"

#include <windows.h>

namespace cli {

namespace {

constexpr UINT PACK_CODE_PAGE = 932;

} // namespace

bool PlatformDecode(std::string_view stored, std::string* utf8)
{
    if (stored.empty())
        return true;
    // Each byte gives at most one UTF-16 unit and each unit at most three
    // UTF-8 bytes.
    std::wstring wide(stored.size(), L'\0');
    const int wideLength = MultiByteToWideChar(PACK_CODE_PAGE, MB_ERR_INVALID_CHARS, stored.data(), int(stored.size()),
                                               wide.data(), int(wide.size()));
    if (wideLength <= 0)
        return false;
    std::string bytes(size_t(wideLength) * 3, '\0');
    const int length =
        WideCharToMultiByte(CP_UTF8, 0, wide.data(), wideLength, bytes.data(), int(bytes.size()), nullptr, nullptr);
    if (length <= 0)
        return false;
    utf8->append(bytes.data(), size_t(length));
    return true;
}

bool EncodeStrict(std::string_view utf8, std::string* stored)
{
    if (utf8.empty())
        return true;
    std::wstring wide(utf8.size(), L'\0');
    const int wideLength = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), int(utf8.size()),
                                               wide.data(), int(wide.size()));
    if (wideLength <= 0)
        return false;
    std::string bytes(size_t(wideLength) * 2, '\0');
    BOOL usedDefault = FALSE;
    const int length = WideCharToMultiByte(PACK_CODE_PAGE, WC_NO_BEST_FIT_CHARS, wide.data(), wideLength, bytes.data(),
                                           int(bytes.size()), nullptr, &usedDefault);
    if (length <= 0 || usedDefault)
        return false;
    stored->append(bytes.data(), size_t(length));
    return true;
}

} // namespace cli
