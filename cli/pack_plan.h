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
    std::string relative; // UTF-8 path below SOURCE_DIR; empty for an entry kept as stored from a pack
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

// Opens the folder that is to hold a new pack (the current one for an
// empty parentPath) and tells what its name holds there now; says what
// failed.
bool OpenPackFolder(const std::string& parentPath, const std::string& name, Folder* parent, NodeKind* existing);

// A temporary file in parent holding the directory of that layout, ready
// for the entries' data; says what failed, naming the pack as shown.
bool StartPackFile(const Folder& parent, const std::vector<Planned>& layout, const std::string& shownPack,
                   TempFile* out);

// The bytes of the entries' data the layout holds.
uint64_t DataBytes(const std::vector<Planned>& layout);

// Copies one source file, negated, behind what out holds; its size must be
// what the walk saw. Says what failed, except an interruption.
bool AppendFile(const std::string& path, uint64_t expected, TempFile& out, std::vector<unsigned char>& block,
                Progress& progress, uint64_t entriesDone, uint64_t* bytesDone);

} // namespace cli

#endif
