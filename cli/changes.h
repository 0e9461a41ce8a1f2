// What differs between two packs, entry by entry, as diff prints it (and
// update --dry-run, which prints what its new pack would change).
#ifndef QUORVEL_CLI_CHANGES_H
#define QUORVEL_CLI_CHANGES_H

#include <cstdint>
#include <optional>
#include <string>

namespace cli {

enum class ChangeKind { Added, Removed, Modified };

struct Change {
    ChangeKind kind;
    std::string name; // stored bytes
    std::optional<uint32_t> oldSize; // none when added
    std::optional<uint32_t> newSize; // none when removed
};

// One line on standard output: "A name" (or D, M) with the name as list
// shows it, or one JSON object.
void WriteChange(const Change& change, bool json);

} // namespace cli

#endif
