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
    std::string relative;  // UTF-8 path below SOURCE_DIR; empty for an entry kept as stored from a pack
    std::string stored;    // cp932 name with 0x5C separators
    uint64_t size;
    FileIdentity identity; // of the file the walk found
};

// Every file under source with its stored name; refuses (with a message
// per file) whatever cannot be an entry. The packs named (written or read
// by the command) are left out where they lie inside source.
bool PlanEntries(const std::string& source, const std::vector<std::string>& packs, std::vector<Planned>* plan);

// Whether the layout fits the format's 32-bit offsets and signed count;
// says which entry does not.
bool CheckOffsets(const std::vector<Planned>& plan);

// Whether path (which may not exist yet) lies inside folder, however
// either is written: through links, another letter case or a short name.
bool LiesInside(const std::string& path, const std::string& folder);

// The folder that is to hold a new pack, and the folders made for it,
// which are removed again unless a pack got its name there.
struct PackFolder {
    Folder folder;
    std::vector<std::string> made;
    bool named = false;
    PackFolder() = default;
    PackFolder(const PackFolder&) = delete;
    PackFolder& operator=(const PackFolder&) = delete;
    ~PackFolder()
    {
        if (!named)
            RemoveMadeFolders(made);
    }
};

// Opens the folder that is to hold a new pack (the current one for an
// empty parentPath) and tells what its name holds there now; says what
// failed.
bool OpenPackFolder(const std::string& parentPath, const std::string& name, PackFolder* parent, NodeKind* existing);

// A temporary file in parent holding the directory of that layout, ready
// for the entries' data; says what failed, naming the pack as shown.
bool StartPackFile(const Folder& parent, const std::vector<Planned>& layout, const std::string& shownPack,
                   TempFile* out);

// The bytes of the entries' data the layout holds.
uint64_t DataBytes(const std::vector<Planned>& layout);

// Opens a source file at path, refusing anything but the file the walk
// found there (a link put in its place, another file, another size); says
// what it found.
bool OpenSourceFile(const std::string& path, const Planned& item, InputFile* file);

// Copies one source file, negated, behind what out holds; it must be the
// file the walk found, with the size it had. Says what failed, except an
// interruption.
bool AppendFile(const std::string& path, const Planned& item, TempFile& out, std::vector<unsigned char>& block,
                Progress& progress, uint64_t entriesDone, uint64_t* bytesDone);

// The last steps before the new pack takes its name: written through to
// the disk when it replaces a file, and a last look at Ctrl+C, which may
// have come during that flush. EXIT_DONE, or the exit code of the run with
// the file discarded and "interrupted; " + tail said.
int ReadyToName(TempFile& out, bool flush, const std::string& tail);

} // namespace cli

#endif
