#include "cli/names.h"

#include "cli/cp932.h"

#include "support/text.h"

#include <cstdio>
#include <unordered_map>

namespace cli {

namespace {

constexpr unsigned char SEPARATOR_BYTE = 0x5C;

// Single bytes that are no code page 932 character. Windows turns 0x80
// into U+0080 and 0xA0, 0xFD to 0xFF into private-use characters where
// iconv refuses them: both platforms give iconv's answer.
bool IsUndefinedSingleByte(unsigned char byte)
{
    return byte == 0x80 || byte == 0xA0 || byte >= 0xFD;
}

bool DecodeStrict(std::string_view stored, std::string* utf8)
{
    for (size_t i = 0; i < stored.size(); ++i) {
        const unsigned char byte = static_cast<unsigned char>(stored[i]);
        if (IsLeadByte(byte))
            ++i;
        else if (IsUndefinedSingleByte(byte))
            return false;
    }
    return PlatformDecode(stored, utf8);
}

bool IsControl(unsigned char byte)
{
    return byte < 0x20 || byte == 0x7F;
}

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

// The name as UTF-8 with "/" separators, control bytes as they are.
std::string Decode(std::string_view stored, NameForm form, bool* valid)
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

} // namespace

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

void AppendUtf8(char32_t c, std::string* out)
{
    if (c < 0x80) {
        out->push_back(char(c));
    } else if (c < 0x800) {
        out->push_back(char(0xC0 | (c >> 6)));
        out->push_back(char(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out->push_back(char(0xE0 | (c >> 12)));
        out->push_back(char(0x80 | ((c >> 6) & 0x3F)));
        out->push_back(char(0x80 | (c & 0x3F)));
    } else {
        out->push_back(char(0xF0 | (c >> 18)));
        out->push_back(char(0x80 | ((c >> 12) & 0x3F)));
        out->push_back(char(0x80 | ((c >> 6) & 0x3F)));
        out->push_back(char(0x80 | (c & 0x3F)));
    }
}

std::string NameToUtf8(std::string_view stored, NameForm form, bool* valid)
{
    const std::string decoded = Decode(stored, form, valid);
    return form == NameForm::Text ? EscapeControls(decoded) : decoded;
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
    if (Decode(bytes, NameForm::Text, &valid) != utf8 || !valid)
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

bool FromHexBytes(std::string_view hex, std::string* bytes)
{
    const auto digit = [](char c) {
        return c >= '0' && c <= '9'   ? c - '0'
               : c >= 'a' && c <= 'f' ? c - 'a' + 10
               : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                      : -1;
    };
    if (hex.size() % 2 != 0)
        return false;
    bytes->clear();
    for (size_t i = 0; i < hex.size(); i += 2) {
        const int high = digit(hex[i]);
        const int low = digit(hex[i + 1]);
        if (high < 0 || low < 0)
            return false;
        bytes->push_back(char(high * 16 + low));
    }
    return true;
}

std::string EscapeControls(std::string_view text)
{
    std::string result;
    result.reserve(text.size());
    const auto escapeByte = [&result](unsigned char byte) {
        char escape[5];
        std::snprintf(escape, sizeof escape, "\\x%02X", byte);
        result.append(escape);
    };
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char byte = static_cast<unsigned char>(text[i]);
        const unsigned char next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
        if (IsControl(byte)) {
            escapeByte(byte);
        } else if (byte == 0xC2 && next >= 0x80 && next <= 0x9F) {
            // U+0080 to U+009F in UTF-8: the C1 controls, CSI among them.
            escapeByte(byte);
            escapeByte(next);
            ++i;
        } else {
            result.push_back(text[i]);
        }
    }
    return result;
}

std::string UnescapeListedName(std::string_view line)
{
    std::string result;
    result.reserve(line.size());
    for (size_t i = 0; i < line.size(); ++i) {
        std::string byte;
        if (line[i] == '\\' && i + 3 < line.size() && line[i + 1] == 'x' &&
            FromHexBytes(line.substr(i + 2, 2), &byte) &&
            (IsControl(static_cast<unsigned char>(byte[0])) || static_cast<unsigned char>(byte[0]) >= 0x80)) {
            result += byte;
            i += 3;
        } else {
            result.push_back(line[i] == '\\' ? '/' : line[i]);
        }
    }
    return result;
}

namespace {

// How many bytes a sequence with this first byte has; 0 for a byte that
// begins none.
size_t SequenceLength(unsigned char first)
{
    return first < 0x80                     ? 1
           : first >= 0xC2 && first <= 0xDF ? 2
           : first >= 0xE0 && first <= 0xEF ? 3
           : first >= 0xF0 && first <= 0xF4 ? 4
                                            : 0;
}

// The second byte of a 3- or 4-byte sequence: no overlong forms, no
// surrogates, nothing above U+10FFFF.
bool SecondByteFits(unsigned char first, unsigned char second)
{
    const unsigned char lowest = first == 0xE0 ? 0xA0 : first == 0xF0 ? 0x90 : 0x80;
    const unsigned char highest = first == 0xED ? 0x9F : first == 0xF4 ? 0x8F : 0xBF;
    return second >= lowest && second <= highest;
}

// The length of the well-formed UTF-8 sequence at bytes[i], or 0.
size_t WellFormedLength(std::string_view bytes, size_t i)
{
    const unsigned char first = static_cast<unsigned char>(bytes[i]);
    const size_t length = SequenceLength(first);
    if (length == 0 || i + length > bytes.size())
        return 0;
    for (size_t k = 1; k < length; ++k) {
        if ((static_cast<unsigned char>(bytes[i + k]) & 0xC0) != 0x80)
            return 0;
    }
    return length < 3 || SecondByteFits(first, static_cast<unsigned char>(bytes[i + 1])) ? length : 0;
}

} // namespace

std::string ValidUtf8(std::string_view bytes)
{
    std::string result;
    result.reserve(bytes.size());
    size_t i = 0;
    while (i < bytes.size()) {
        const size_t length = WellFormedLength(bytes, i);
        if (length > 0) {
            result.append(bytes.substr(i, length));
            i += length;
        } else {
            result.append("\xEF\xBF\xBD");
            ++i;
        }
    }
    return result;
}

bool HasSeveralCp932Forms(std::string_view utf8)
{
    // Every double-byte code decoded once: the characters reached from more
    // than one code.
    static const std::u32string several = [] {
        std::unordered_map<char32_t, int> forms;
        for (unsigned lead = 0x81; lead <= 0xFC; ++lead) {
            if (!IsLeadByte(static_cast<unsigned char>(lead)))
                continue;
            for (unsigned trail = 0x40; trail <= 0xFC; ++trail) {
                const char code[2] = {char(lead), char(trail)};
                std::string decoded;
                if (trail != 0x7F && PlatformDecode(std::string_view(code, 2), &decoded)) {
                    const std::u32string points = CodePoints(decoded);
                    if (points.size() == 1)
                        ++forms[points[0]];
                }
            }
        }
        std::u32string result;
        for (const auto& [point, count] : forms) {
            if (count > 1)
                result.push_back(point);
        }
        return result;
    }();
    for (const char32_t c : CodePoints(utf8)) {
        if (several.find(c) != std::u32string::npos)
            return true;
    }
    return false;
}

std::string FileKey(const std::vector<std::string>& parts, bool foldCase)
{
    std::string joined;
    for (size_t i = 0; i < parts.size(); ++i) {
        if (i > 0)
            joined.push_back('/');
        joined += parts[i];
    }
    return PathKey(joined, foldCase);
}

std::string PathKey(const std::string& joined, bool foldCase)
{
    if (!foldCase)
        return joined;
    // The letters of code page 932 that have a case: Latin, full-width
    // Latin, Greek, Cyrillic and the Roman numerals.
    std::string folded;
    for (char32_t c : CodePoints(joined)) {
        if ((c >= U'a' && c <= U'z') || (c >= 0xFF41 && c <= 0xFF5A) || (c >= 0x3B1 && c <= 0x3C9 && c != 0x3C2) ||
            (c >= 0x430 && c <= 0x44F))
            c -= 0x20;
        else if (c == 0x451)
            c = 0x401;
        else if (c >= 0x2170 && c <= 0x217F)
            c -= 0x10;
        AppendUtf8(c, &folded);
    }
    return folded;
}

} // namespace cli
