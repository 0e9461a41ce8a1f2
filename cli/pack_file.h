// A pack opened for reading: its directory, read by quorvel's own decoder,
// and its entries' bytes.
#ifndef QUORVEL_CLI_PACK_FILE_H
#define QUORVEL_CLI_PACK_FILE_H

#include "cli/platform.h"
#include "pack/directory.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace cli {

// Large blocks for the command-line tool; quorvel.exe keeps its own chunks.
constexpr size_t TRANSFER_BLOCK_BYTES = 1024 * 1024;

struct PackEntry {
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

class PackFile {
public:
    bool Open(const std::string& path, std::string* error);
    // Walks the directory, handing each record to visit in order. On
    // failure *damage says why and where.
    using Visitor = std::function<bool(uint32_t index, const DirectoryRecord& record)>;
    bool WalkDirectory(const Visitor& visit, DirectoryDamage* damage);
    // Every entry; refuses a damaged directory whole.
    bool ReadEntries(std::vector<PackEntry>* entries, DirectoryDamage* damage);

    uint64_t FileSize() const { return fileSize_; }
    uint64_t DataAreaStart() const { return dataAreaStart_; }
    InputFile& File() { return file_; }

private:
    InputFile file_;
    uint64_t fileSize_ = 0;
    uint64_t dataAreaStart_ = 0;
};

// Reads entry's bytes in large blocks, restores them and hands each block to
// consume. False with *error on a short file, a read failure, an
// interruption or when consume returns false (then *error is left empty).
bool CopyEntry(PackFile& pack, const PackEntry& entry, std::vector<unsigned char>& block,
               const std::function<bool(const unsigned char* data, size_t count)>& consume, std::string* error);

// The usual message for a pack that could not be opened or is damaged.
std::string DamageText(const DirectoryDamage& damage);

} // namespace cli

#endif
