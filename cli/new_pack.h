// The writer of a new pack, which create, update and patch all write
// through: the files of a source folder with their stored names, found and
// refused by one rule; the layout they write (the directory, then the
// entries' data back to back in directory order from offset 0); and the
// steps around the writing: the pack read locked, the folder, the
// temporary file, progress, Ctrl+C, and the new pack taking its name.
#ifndef QUORVEL_CLI_NEW_PACK_H
#define QUORVEL_CLI_NEW_PACK_H

#include "cli/messages.h"
#include "cli/pack_file.h"
#include "cli/platform.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace cli {

struct Planned {
    std::string relative; // UTF-8 path below SOURCE_DIR; empty for an entry kept as stored from a pack
    std::string stored;   // cp932 name with 0x5C separators
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
// failed, then unwritten.
bool OpenPackFolder(const std::string& parentPath, const std::string& name, const std::string& unwritten,
                    PackFolder* parent, NodeKind* existing);

// The bytes of the entries' data the layout holds.
uint64_t DataBytes(const std::vector<Planned>& layout);

// Opens a source file at path, refusing anything but the file the walk
// found there (a link put in its place, another file, another size); says
// what it found.
bool OpenSourceFile(const std::string& path, const Planned& item, InputFile* file);

// PACK as the file a symbolic link there leads to, resolved once: the new
// pack replaces that file, and the link goes on leading to it.
std::string FollowedPack(const std::string& pack);

// Opens PACK, reads its directory and locks it against other runs, which
// replace it only while they hold the lock. A run that waited finds the
// name on the pack another run put there: that pack is the one read.
bool OpenLocked(const std::string& path, const std::string& shown, PackFile* pack, FileIdentity* identity);

// The pack a command rewrites (update, patch): as typed, the file its link
// leads to, its directory, and which file it is, so that the name can be
// checked to still hold it just before the new pack takes that name.
struct PackToRewrite {
    std::string typed;
    std::string path;
    PackFile pack;
    FileIdentity identity;
};

// Opens the pack a command rewrites: its link followed, read, and locked
// unless the run only shows what it would do.
bool OpenPackToRewrite(const std::string& typed, bool dryRun, PackToRewrite* rewritten);

// Whether path ends in a file's name rather than a folder's separator;
// says "PATH: not a file name" and tail when it does not.
bool NamesAFileOrSay(const std::string& path, const std::string& tail);

// Where a new file goes and what it replaces there.
struct PackTarget {
    std::string shown; // as the user named it: PACK or OUT
    std::string name;  // its last part, in parent
    PackFolder parent;
    NodeKind existing = NodeKind::Missing;
    bool replacesPack = false; // the name is the read pack's (in place, or OUT naming it)
};

// Opens the folder of a new file named path, which may take the place
// only of a file, and of that only with force; unwritten ends the refusal.
bool OpenNewTarget(const std::string& path, bool force, const std::string& unwritten, PackTarget* target);

// Opens the folder of the new pack that replaces the pack read or goes to
// output, and decides whether it may take that name: OUT is replaced only
// with force, unless it is PACK.
bool OpenTarget(const PackToRewrite& rewritten, const std::string& output, bool force, PackTarget* target);

// What a run says when its new file does not take its name, so that each
// command keeps its own words.
struct WriterWords {
    std::string unwritten;   // after a failure already said
    std::string tail;        // after "interrupted; " or a failed flush
    std::string appeared;    // when the name was taken meanwhile
    std::string cannotName;  // before the system's reason the rename failed
    std::string afterReason; // behind that reason
};

// The words of a run whose new pack replaces a file or takes a new name
// beside it, which stays as it was until the whole new pack is there.
WriterWords ReplacingWords(const std::string& shown);

// A new file beside the target: its steps from the temporary file to the
// name, with Ctrl+C looked at between them.
class PackWriter {
public:
    PackWriter(PackTarget& target, WriterWords words);

    // A temporary file holding the directory of layout, with progress for
    // its data; says what failed.
    bool Start(const std::vector<Planned>& layout, bool quiet);
    // A temporary file holding nothing yet, for a file that is not a pack.
    bool StartEmpty(SystemError* error);
    bool TakePermissionsOf(InputFile& pack, const std::string& shownPack);

    // Copies one source file, negated, behind what the file holds; it must
    // be the file the walk found, with the size it had. Says what failed,
    // except an interruption.
    bool AppendFile(const std::string& path, const Planned& item);
    // Copies count stored bytes of from (shown so) at position as they
    // are, in slices so that Ctrl+C and the progress line are looked at
    // while the kernel copies.
    bool CopyRun(InputFile& from, const std::string& shown, uint64_t position, uint64_t count);
    // Copies the entries of pack kept from slot first on (keptAt gives a
    // slot's entry, or nothing where the slot holds new bytes) while they
    // lie one after another in pack, as one run; *next is the slot after
    // them. The entries must lie inside the file (EntriesInsideOrSay).
    bool CopyKeptRun(PackFile& pack, size_t first, size_t slots,
                     const std::function<std::optional<uint32_t>(size_t slot)>& keptAt, size_t* next);
    void EntriesDone(uint64_t count) { entriesDone_ += count; }
    TempFile& Out() { return out_; }
    // The line that ends work done whole (Progress::Summary).
    void Summary(const std::string& where, const char* verb) { progress_->Summary(where, verb); }

    // Gives the complete file its name, written is false after a failure.
    // A file that replaces another reaches the disk first, so that a crash
    // leaves one or the other whole; a last look at Ctrl+C, which may have
    // come during that flush. With rewritten, the name must still hold the
    // pack that was read, and that pack's file is closed where an open file
    // cannot be replaced. force lets the name be taken from a file that
    // appeared meanwhile. EXIT_DONE, or the run's exit code with the file
    // discarded and the reason said.
    int Finish(bool written, bool force = false, PackToRewrite* rewritten = nullptr);

private:
    PackTarget& target_;
    WriterWords words_;
    TempFile out_;
    std::optional<Progress> progress_;
    std::vector<unsigned char> block_;
    uint64_t entriesDone_ = 0;
    uint64_t bytesDone_ = 0;
};

} // namespace cli

#endif
