#include "cli/names.h"

#include "support/text.h"

#include <cstdio>

#ifdef _WIN32
#include <windows.h>
#else
#include <cerrno>
#include <iconv.h>
#endif

namespace cli {

namespace {

constexpr unsigned char SEPARATOR_BYTE = 0x5C;

#ifdef _WIN32

constexpr UINT PACK_CODE_PAGE = 932;

bool DecodeStrict(std::string_view stored, std::string* utf8)
{
    if (stored.empty())
        return true;
    // Each byte gives at most one UTF-16 unit and each unit at most three
    // UTF-8 bytes.
    std::wstring wide(stored.size(), L'\0');
    const int wideLength = MultiByteToWideChar(PACK_CODE_PAGE, MB_ERR_INVALID_CHARS, stored.data(),
                                               int(stored.size()), wide.data(), int(wide.size()));
    if (wideLength <= 0)
        return false;
    std::string bytes(size_t(wideLength) * 3, '\0');
    const int length = WideCharToMultiByte(CP_UTF8, 0, wide.data(), wideLength, bytes.data(), int(bytes.size()),
                                           nullptr, nullptr);
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
    const int length = WideCharToMultiByte(PACK_CODE_PAGE, WC_NO_BEST_FIT_CHARS, wide.data(), wideLength,
                                           bytes.data(), int(bytes.size()), nullptr, &usedDefault);
    if (length <= 0 || usedDefault)
        return false;
    stored->append(bytes.data(), size_t(length));
    return true;
}

#else

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

bool DecodeStrict(std::string_view stored, std::string* utf8)
{
    return Convert(&g_fromPack, "UTF-8", "CP932", stored, utf8);
}

bool EncodeStrict(std::string_view utf8, std::string* stored)
{
    return Convert(&g_toPack, "CP932", "UTF-8", utf8, stored);
}

#endif

bool IsAscii(std::string_view bytes)
{
    for (const char c : bytes) {
        if (static_cast<unsigned char>(c) >= 0x80)
            return false;
    }
    return true;
}

// A 0x5C that begins a character is a separator, and so is "/"; after a
// lead byte 0x5C is part of the character and stays.
void AppendSeparatorsAsSlash(std::string_view decoded, std::string* output)
{
    for (const char c : decoded)
        output->push_back(c == '\\' ? '/' : c);
}

// Decodes character by character, so that one bad byte costs only itself.
bool DecodeLenient(std::string_view stored, NameForm form, std::string* output)
{
    bool valid = true;
    size_t i = 0;
    while (i < stored.size()) {
        const unsigned char byte = static_cast<unsigned char>(stored[i]);
        size_t unit = IsLeadByte(byte) && i + 1 < stored.size() ? 2 : 1;
        std::string piece;
        if (DecodeStrict(stored.substr(i, unit), &piece)) {
            AppendSeparatorsAsSlash(piece, output);
            i += unit;
            continue;
        }
        valid = false;
        if (form == NameForm::Text) {
            char escape[5];
            std::snprintf(escape, sizeof escape, "\\x%02X", byte);
            output->append(escape);
        } else {
            output->append("\xEF\xBF\xBD");
        }
        ++i; // the byte after a bad lead byte may begin a character of its own
    }
    return valid;
}

// UTF-8 as code points for the glob; a malformed byte stands for itself.
std::u32string CodePoints(std::string_view text)
{
    std::u32string result;
    size_t i = 0;
    while (i < text.size()) {
        const unsigned char b = static_cast<unsigned char>(text[i]);
        size_t length = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
        if (length == 0 || i + length > text.size()) {
            result.push_back(b);
            ++i;
            continue;
        }
        char32_t c = length == 1 ? b : b & (0x7F >> length);
        for (size_t k = 1; k < length; ++k)
            c = (c << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        result.push_back(c);
        i += length;
    }
    return result;
}

char32_t Separated(char32_t c)
{
    return c == U'\\' ? U'/' : c;
}

// Matches a set at pattern[p] ("[" already seen); *next is behind "]".
// A "[" without its "]" is an ordinary character. "\" counts as "/" on
// both sides, so that a "\xNN" escape in a shown name matches as typed.
bool MatchSet(const std::u32string& pattern, size_t p, char32_t c, size_t* next, bool* matched)
{
    size_t i = p + 1;
    bool negate = false;
    if (i < pattern.size() && (pattern[i] == U'!' || pattern[i] == U'^')) {
        negate = true;
        ++i;
    }
    bool found = false;
    bool first = true;
    for (; i < pattern.size(); ++i) {
        if (pattern[i] == U']' && !first) {
            *next = i + 1;
            *matched = found != negate;
            return true;
        }
        first = false;
        const char32_t low = Separated(pattern[i]);
        if (i + 2 < pattern.size() && pattern[i + 1] == U'-' && pattern[i + 2] != U']') {
            const char32_t high = Separated(pattern[i + 2]);
            if (Separated(c) >= low && Separated(c) <= high)
                found = true;
            i += 2;
        } else if (Separated(c) == low) {
            found = true;
        }
    }
    return false;
}

bool MatchFrom(const std::u32string& pattern, size_t p, const std::u32string& name, size_t n)
{
    // Iterative with one backtracking point per "*": linear enough for names.
    size_t starP = std::u32string::npos;
    size_t starN = 0;
    while (n < name.size()) {
        if (p < pattern.size()) {
            const char32_t c = pattern[p];
            if (c == U'*') {
                starP = ++p;
                starN = n;
                continue;
            }
            if (c == U'?') {
                ++p;
                ++n;
                continue;
            }
            size_t next = 0;
            bool matched = false;
            if (c == U'[' && MatchSet(pattern, p, name[n], &next, &matched)) {
                if (matched) {
                    p = next;
                    ++n;
                    continue;
                }
            } else if (Separated(c) == Separated(name[n])) {
                ++p;
                ++n;
                continue;
            }
        }
        if (starP == std::u32string::npos)
            return false;
        p = starP;
        n = ++starN;
    }
    while (p < pattern.size() && pattern[p] == U'*')
        ++p;
    return p == pattern.size();
}

} // namespace

std::string NameToUtf8(std::string_view stored, NameForm form, bool* valid)
{
    std::string result;
    result.reserve(stored.size() + 8);
    bool ok = true;
    if (IsAscii(stored)) {
        AppendSeparatorsAsSlash(stored, &result);
    } else if (DecodeStrict(stored, &result)) {
        // Only a 0x5C that is a character of its own decodes to "\".
        for (char& c : result) {
            if (c == '\\')
                c = '/';
        }
    } else {
        result.clear();
        ok = DecodeLenient(stored, form, &result);
    }
    if (valid != nullptr)
        *valid = ok;
    return result;
}

bool NameFromUtf8(std::string_view utf8, std::string* stored)
{
    stored->clear();
    std::string bytes;
    if (IsAscii(utf8)) {
        bytes.assign(utf8);
    } else if (!EncodeStrict(utf8, &bytes)) {
        return false;
    }
    // Back to UTF-8 for the check: a "\" or a one-way mapping changes.
    bool valid = false;
    if (NameToUtf8(bytes, NameForm::Text, &valid) != utf8 || !valid)
        return false;
    for (char& c : bytes) {
        if (c == '/')
            c = char(SEPARATOR_BYTE);
    }
    // "/" became 0x5C only where it begins a character: a trail byte is never "/".
    *stored = std::move(bytes);
    return true;
}

bool SplitStoredName(std::string_view stored, std::vector<std::string>* parts)
{
    parts->clear();
    const std::string text(stored);
    const char* begin = text.c_str();
    const char* partStart = begin;
    for (const char* p = begin;; p = NextCharacter(p)) {
        const bool atEnd = *p == 0;
        if (atEnd || (!IsLeadByte(static_cast<unsigned char>(*p)) && (*p == '\\' || *p == '/'))) {
            const std::string_view stored(partStart, size_t(p - partStart));
            std::string part;
            // Most parts are ASCII, which is the same in UTF-8: no converter call.
            if (IsAscii(stored))
                part.assign(stored);
            else if (!DecodeStrict(stored, &part))
                return false;
            parts->push_back(std::move(part));
            if (atEnd)
                return true;
            partStart = p + 1;
        }
    }
}

std::string HexBytes(std::string_view bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(bytes.size() * 2);
    for (const char c : bytes) {
        const unsigned char b = static_cast<unsigned char>(c);
        hex.push_back(digits[b >> 4]);
        hex.push_back(digits[b & 15]);
    }
    return hex;
}

bool GlobMatch(std::string_view pattern, std::string_view name)
{
    return MatchFrom(CodePoints(pattern), 0, CodePoints(name), 0);
}

} // namespace cli
