// A pack opened for reading: its directory, read by quorvel's own decoder,
// and its entries' bytes. The one place where quorvel-cli opens a pack,
// reads its directory and says what is wrong with it.
#ifndef QUORVEL_CLI_PACK_FILE_H
#define QUORVEL_CLI_PACK_FILE_H

#include "cli/platform.h"
#include "pack/directory.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace cli {

// Large blocks for the command-line tool; quorvel.exe keeps its own chunks.
constexpr size_t TRANSFER_BLOCK_BYTES = 1024 * 1024;

// One directory record as quorvel-cli keeps it.
struct StoredEntry {
    std::string name; // stored bytes
    uint32_t size;
    uint32_t offset; // from the start of the data area
};

// Where a directory was refused.
struct DirectoryDamage {
    DirectoryResult result = DIRECTORY_OK;
    uint32_t record = 0;   // index of the record that was refused
    uint64_t position = 0; // file position where that record (or the header) begins
    bool inHeader = false; // the entry count itself is cut short
};

std::string DirectoryResultText(DirectoryResult result);

// Takes a directory's records one by one, in order, in place of
// Entries(): for a caller that keeps them in a form of its own.
class RecordReceiver {
public:
    // Before the first record: how many the header declares, as many as
    // the file could hold at most. A hint: the directory may still turn
    // out damaged.
    virtual void Expect(uint32_t declared) = 0;
    virtual void Take(const DirectoryRecord& record) = 0;

protected:
    ~RecordReceiver() = default;
};

class PackFile {
public:
    enum class Status { Read, Unreadable, Damaged };
    // Opens the pack and reads its whole directory, once. A damaged
    // directory is refused whole: Entries() then holds only the records
    // read before the damage, for verify to count. With a receiver, the
    // records go to it and Entries() stays empty.
    Status Open(const std::string& path, RecordReceiver* receiver = nullptr);
    // "PATH: why" for a pack that is Unreadable or Damaged.
    std::string Problem() const;

    const std::string& Path() const { return path_; }
    const std::vector<StoredEntry>& Entries() const { return entries_; }
    // For a caller that keeps the file open long after it took the entries.
    void ReleaseEntries() { std::vector<StoredEntry>().swap(entries_); }
    const DirectoryDamage& Damage() const { return damage_; }
    uint64_t FileSize() const { return fileSize_; }
    uint64_t DataAreaStart() const { return dataAreaStart_; }
    InputFile& File() { return file_; }

private:
    Status ReadEntries(RecordReceiver* receiver);

    std::string path_;
    Status status_ = Status::Unreadable;
    SystemError error_; // why the pack is Unreadable
    InputFile file_;
    uint64_t fileSize_ = 0;
    uint64_t dataAreaStart_ = 0;
    std::vector<StoredEntry> entries_;
    DirectoryDamage damage_;
};

// Opens and reads the pack for list, cat and extract; when that fails,
// says Problem() (and tail behind a damage) and returns false.
bool OpenPackOrSay(const std::string& path, PackFile* pack, const std::string& damageTail = "",
                   RecordReceiver* receiver = nullptr);

// How an entry's bytes are handed out: restored for whoever uses them, or
// as stored, where they are only compared or copied into another pack.
enum class EntryBytes { Restored, Stored };

enum class EntryRead { Done, Failed, PastEnd };

// Reads count bytes of the entry stored at entryOffset (in the data area),
// from its byte `from` on, into out; short reads are taken up again. The
// one loop that turns an entry's place into file reads: Failed with *error
// when a read fails, PastEnd when the file ends first (it was cut short).
EntryRead ReadEntryBytes(PackFile& pack, uint32_t entryOffset, uint64_t from, unsigned char* out, size_t count,
                         EntryBytes form, SystemError* error);

// Reads entry's bytes in large blocks, restores them and hands each block to
// consume. False with *error on a short file, a read failure, an
// interruption or when consume returns false (then *error is left empty).
bool CopyEntry(PackFile& pack, const StoredEntry& entry, std::vector<unsigned char>& block,
               const std::function<bool(const unsigned char* data, size_t count)>& consume, std::string* error);

// An entry as messages name it: "entry N 'name'".
std::string EntryLabel(uint32_t index, std::string_view name);
// The same with its stored bytes: "entry N 'name' (name_hex ...)".
std::string EntryLabelWithBytes(uint32_t index, std::string_view name);

// Hands each entry whose bytes lie past the end of the file to found,
// with the file position where they end; such an entry cannot be copied
// as stored.
void FindPastEnd(const PackFile& pack, const std::function<void(uint32_t index, uint64_t end)>& found);
// Says (naming the pack) each entry FindPastEnd finds; true when there is
// none.
bool EntriesInsideOrSay(const PackFile& pack);
// "runs past the end of the file (ends at END, the file has SIZE bytes)"
std::string PastEndText(uint64_t end, uint64_t fileSize);

// One sweep over the entries that hold bytes, in the order of their offsets
// (ties by index): visit gets each with how far (offset + size) the
// entries before it reach, and the one reaching furthest when it begins
// before that (the entry it overlaps).
void SweepByOffset(
    const std::vector<StoredEntry>& entries,
    const std::function<void(uint32_t index, uint64_t reach, std::optional<uint32_t> overlapped)>& visit);

// The usual message for a damaged directory.
std::string DamageText(const DirectoryDamage& damage);

} // namespace cli

#endif
