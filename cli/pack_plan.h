// What create and update put in a pack: the files of a source folder with
// their stored names, found and refused by one rule, and the layout both
// write (the directory, then the entries' data back to back in directory
// order from offset 0).
#ifndef QUORVEL_CLI_PACK_PLAN_H
#define QUORVEL_CLI_PACK_PLAN_H

#include "cli/commands.h"
#include "cli/platform.h"

#include <cstdint>
#include <string>
#include <vector>

namespace cli {

struct Planned {
    std::string relative; // UTF-8 path below SOURCE_DIR, or the shown name of an entry kept from a pack
    std::string stored;   // cp932 name with 0x5C separators
    uint64_t size;
};

// Every file under source with its stored name; refuses (with a message
// per file) whatever cannot be an entry. The packs named (written or read
// by the command) are left out where they lie inside source.
bool PlanEntries(const std::string& source, const std::vector<std::string>& packs, std::vector<Planned>* plan);

// Whether the layout fits the format's 32-bit offsets and signed count;
// says which entry does not.
bool CheckOffsets(const std::vector<Planned>& plan);

// The directory as stored for that layout; false when a record cannot be
// encoded (PlanEntries refuses those names).
bool EncodeBackToBack(const std::vector<Planned>& plan, std::vector<unsigned char>* out);

// Copies one source file, negated, behind what out holds; its size must be
// what the walk saw. Says what failed, except an interruption.
bool AppendFile(const std::string& path, uint64_t expected, TempFile& out, std::vector<unsigned char>& block,
                Progress& progress, uint64_t entriesDone, uint64_t* bytesDone);

} // namespace cli

#endif
