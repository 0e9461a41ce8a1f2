// Entry names: stored as code page 932 bytes with 0x5C between folder
// parts; shown and typed as UTF-8 with "/". The conversion is the
// platform's (iconv on POSIX, the code page 932 functions on Windows).
#ifndef QUORVEL_CLI_NAMES_H
#define QUORVEL_CLI_NAMES_H

#include <string>
#include <string_view>
#include <vector>

namespace cli {

enum class NameForm {
    Text, // bytes that are not code page 932, control bytes too, as \xNN
    Json, // bytes that are not code page 932 as U+FFFD (name_hex keeps them)
};

// A stored name as UTF-8 with "/" separators. *valid (when given) tells
// whether every byte belonged to a code page 932 character.
std::string NameToUtf8(std::string_view stored, NameForm form, bool* valid = nullptr);

// A UTF-8 name with "/" separators as stored bytes; false when some
// character has no code page 932 form that converts back to it (U+00A5
// would otherwise become a hidden 0x5C separator).
bool NameFromUtf8(std::string_view utf8, std::string* stored);

// The stored name split at its separators (0x5C or "/" where a character
// begins), each part converted to UTF-8; false when a part is not valid
// code page 932.
bool SplitStoredName(std::string_view stored, std::vector<std::string>* parts);

std::string HexBytes(std::string_view bytes);
// The bytes of a HexBytes text; false when it is not one.
bool FromHexBytes(std::string_view hex, std::string* bytes);

// Control bytes (below 0x20, and 0x7F) as \xNN, and the C1 controls
// U+0080 to U+009F (which terminals may take as CSI and its kin) as the
// \xNN of their two UTF-8 bytes, so that no name or path forges a line or
// sends a terminal sequence.
std::string EscapeControls(std::string_view text);
// A line as list prints names, read back: "\xNN" is the byte NN where
// list would have escaped it (a control byte, or 0x80 and above); any
// other "\" is a separator, written "/".
std::string UnescapeListedName(std::string_view line);
// Any bytes as valid UTF-8 for JSON: malformed sequences as U+FFFD.
std::string ValidUtf8(std::string_view bytes);

// Whether the UTF-8 name holds a character that code page 932 can store
// in more than one way (NEC and IBM duplicates, 0x5C and 0x2F as
// separators aside): a name typed as text then fixes one of them.
bool HasSeveralCp932Forms(std::string_view utf8);

// The file a name's parts give: the parts joined with "/", letters of one
// case folded together when foldCase (where the file system ignores case).
std::string FileKey(const std::vector<std::string>& parts, bool foldCase);
// The same for the parts already joined with '/'.
std::string PathKey(const std::string& joined, bool foldCase);

// The longest part of a name that a POSIX file system takes, in bytes.
constexpr size_t LONGEST_PART_BYTES = 255;

// UTF-8 as code points; a malformed byte stands for itself.
std::u32string CodePoints(std::string_view text);
// c as UTF-8 behind out.
void AppendUtf8(char32_t c, std::string* out);

} // namespace cli

#endif
