// The patterns of extract, update --remove and the like, matched against
// an entry's whole name.
#ifndef QUORVEL_CLI_GLOB_H
#define QUORVEL_CLI_GLOB_H

#include <string_view>

namespace cli {

// Glob over a whole name: "*" any run of characters (separators
// included), "?" one character, "[...]" a set ("!" or "^" negates, "a-z"
// ranges). "\" in the pattern is a separator like "/".
bool GlobMatch(std::string_view pattern, std::string_view name);

} // namespace cli

#endif
