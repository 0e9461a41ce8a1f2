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
    Text, // bytes that are not code page 932 as \xNN
    Json, // the same as U+FFFD (name_hex keeps the bytes)
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

// Glob over a whole name: "*" any run of characters (separators
// included), "?" one character, "[...]" a set ("!" or "^" negates, "a-z"
// ranges). "\" in the pattern is a separator like "/".
bool GlobMatch(std::string_view pattern, std::string_view name);

} // namespace cli

#endif
