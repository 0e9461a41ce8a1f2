// Code page 932 as the system converts it, strictly: names.cpp builds
// quorvel-cli's name rules on these. One implementation per platform,
// chosen by CMake.
#ifndef QUORVEL_CLI_CP932_H
#define QUORVEL_CLI_CP932_H

#include <string>
#include <string_view>

namespace cli {

// Appends stored (code page 932) as UTF-8 to utf8; false when the system
// refuses a byte of it.
bool PlatformDecode(std::string_view stored, std::string* utf8);
// Appends utf8 in code page 932 to stored; false when a character has no
// code page 932 form.
bool EncodeStrict(std::string_view utf8, std::string* stored);

} // namespace cli

#endif
