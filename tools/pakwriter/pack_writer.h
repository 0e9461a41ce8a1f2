// quorvel's pack writer: builds the pack files that tests, benchmarks and
// the demo open, so that nothing outside the repository is needed to
// exercise quorvel. Well-formed records go through the pack encoder that
// quorvel-cli writes with; what is its own are the knobs for damaged packs.
#ifndef QUORVEL_TOOLS_PACK_WRITER_H
#define QUORVEL_TOOLS_PACK_WRITER_H

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace pakwriter {

using Bytes = std::vector<uint8_t>;

struct Entry {
    std::string name; // written as its bytes (cp932 for Japanese names)
    Bytes bytes;
};

// One directory record, written exactly as described, for odd and damaged
// packs. Defaults give a well-formed record.
struct Record {
    std::string name;
    uint32_t size = 0;
    uint32_t offset = 0;
    Bytes extraBody;                        // bytes after the offset field
    std::optional<uint32_t> lengthOverride; // record length field; default: the body's length
    bool omitTerminator = false;            // leave out the name's zero byte
    bool omitSizeAndOffset = false;         // body ends right after the name (too short)
};

struct Layout {
    std::optional<int32_t> countOverride; // entry count field; default: records.size()
    std::vector<Record> records;
    Bytes data;                       // the data area, plain
    std::optional<size_t> truncateTo; // cut the stored file to this many bytes
};

// The stored (negated) bytes of a layout.
Bytes Encode(const Layout& layout);

// A valid pack: entries in directory order, contents back to back.
Layout LayoutFor(const std::vector<Entry>& entries);
Bytes BuildPack(const std::vector<Entry>& entries);

// Writes bytes to a file; false on any failure.
bool WriteFile(const std::string& path, const Bytes& bytes);

// Writes a valid pack whose entries' contents come from a generator, in
// blocks, so that entries of several GiB need no memory. generate(entry,
// position, buffer, count) fills count plain bytes of entry at position.
struct GeneratedEntry {
    std::string name;
    uint64_t size = 0;
};
using Generator = std::function<void(size_t entry, uint64_t position, uint8_t* buffer, size_t count)>;
bool WriteGeneratedPack(const std::string& path, const std::vector<GeneratedEntry>& entries, const Generator& generate);

// The byte at position of a generated test pattern; differs per entry and
// is not periodic in 4096, so a misplaced chunk shows.
uint8_t PatternByte(size_t entry, uint64_t position);
void FillPattern(size_t entry, uint64_t position, uint8_t* buffer, size_t count);

} // namespace pakwriter

#endif
