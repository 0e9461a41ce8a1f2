// A patch: the entries that turn one pack (OLD) into another (NEW), made
// by diff --patch and applied by patch to the user's own copy of OLD.
// quorvel's own format, version 1; every number little-endian:
//
//   magic      8 bytes "QVPATCH" 0x1A
//   version    u32, 1
//   count      u32, the number of records
//   records    count times:
//     kind       u8: 'A' added, 'M' modified, 'D' removed, 'O' order
//     name       u8 length (1-255), then the entry's stored name bytes
//     occurrence u32: which entry of that name, from 0 (a pack may hold a
//                name more than once): among OLD's entries for M, D, O,
//                among NEW's for A
//     A, M:      u32 new size, SHA-256 of the new bytes (32 bytes)
//     M, D:      u32 old size, SHA-256 of the old bytes
//     A:         u8 anchor: 0 at the start of the pack, 1 right after the
//                entry named next (u8 length, name, u32 occurrence in OLD)
//   data       the new bytes of every A and M record, in record order,
//              as a pack stores them (each byte negated)
//   check      SHA-256 of every byte before it (32 bytes)
//
// A and M records come in NEW's order, then the D records in OLD's. O
// records are present only when the entries both packs hold are in
// another order in NEW: then they list all of those, in NEW's order.
// Digests are of the entries' bytes as extracted (not negated).
#ifndef QUORVEL_CLI_PATCH_FILE_H
#define QUORVEL_CLI_PATCH_FILE_H

#include "cli/pack_file.h"
#include "cli/platform.h"
#include "cli/sha256.h"

#include <cstdint>
#include <string>
#include <vector>

namespace cli {

constexpr uint32_t PATCH_VERSION = 1;

// An entry of a pack as a patch names it: its stored name and which entry
// of that name it is.
struct EntryKey {
    std::string name;
    uint32_t occurrence = 0;
    bool operator==(const EntryKey&) const = default;
};

struct PatchRecord {
    char kind = 'A';
    EntryKey key;
    uint32_t newSize = 0; // A, M
    Sha256Digest newDigest{};
    uint32_t oldSize = 0; // M, D
    Sha256Digest oldDigest{};
    bool anchored = false; // A: after anchor, or at the start of the pack
    EntryKey anchor;
    uint64_t dataPosition = 0; // A, M: where the new bytes lie in the file
};

struct Patch {
    std::vector<PatchRecord> records;
};

// Reads and checks the whole patch: the magic, the version, the check
// over every byte, then the records; false with *why (a sentence) when it
// is not a patch of this version or is damaged anywhere. *file stays open
// on it for the new bytes.
bool ReadPatch(const std::string& path, InputFile* file, Patch* patch, std::string* why);

// Writes a patch into out, its check computed on the way: the records
// first, then each A and M record's new bytes in record order, then
// Finish.
class PatchWriter {
public:
    explicit PatchWriter(TempFile& out) : out_(out) {}
    bool Begin(const std::vector<PatchRecord>& records, SystemError* error);
    // Stored (negated) bytes, as a pack holds them.
    bool AddStoredBytes(const unsigned char* data, size_t count, SystemError* error);
    bool Finish(SystemError* error);

private:
    bool Put(const void* data, size_t count, SystemError* error);
    TempFile& out_;
    Sha256 check_;
};

// The SHA-256 of an entry's bytes as extract writes them; false with
// *error when the pack cannot give them or the run is interrupted.
bool EntryDigest(PackFile& pack, const StoredEntry& entry, std::vector<unsigned char>& block, Sha256Digest* digest,
                 std::string* error);

// The 64 lower-case hex digits of a digest.
std::string DigestText(const Sha256Digest& digest);

} // namespace cli

#endif
