// What differs between two packs, entry by entry, as diff prints it (and
// update --dry-run, which prints what its new pack would change).
#ifndef QUORVEL_CLI_CHANGES_H
#define QUORVEL_CLI_CHANGES_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace cli {

enum class ChangeKind { Added, Removed, Modified };

struct Change {
    ChangeKind kind;
    std::string name;                // stored bytes
    std::optional<uint32_t> oldSize; // none when added
    std::optional<uint32_t> newSize; // none when removed
};

// How NEW's entries pair with OLD's: an entry is its stored name, and a
// name held twice pairs in order (the second in NEW with the second in OLD).
struct Pairing {
    std::vector<int64_t> oldOfNew;    // per entry of NEW: its entry in OLD, or -1 when added
    std::vector<uint32_t> occurrence; // per entry of NEW: which entry of its name in NEW
    std::vector<bool> modified;       // per entry of NEW: paired, with other bytes
    std::vector<bool> paired;         // per entry of OLD
};

// One line on standard output: "A name" (or D, M) with the name as list
// shows it, or one JSON object.
void WriteChange(const Change& change, bool json);

// Once every change is written: true when standard output took them all;
// otherwise says "cannot write the WHAT: reason".
bool ChangesWrittenOrSay(const char* what);

} // namespace cli

#endif
