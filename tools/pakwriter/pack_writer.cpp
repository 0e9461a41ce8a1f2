#include "pack_writer.h"

#include "pack/directory.h"

#include <algorithm>
#include <cstdio>

namespace pakwriter {

namespace {

void Negate(uint8_t* bytes, size_t count)
{
    constexpr size_t SLICE_BYTES = size_t(1) << 30;
    for (size_t done = 0; done < count; done += SLICE_BYTES)
        NegateBytes(bytes + done, static_cast<uint32_t>(std::min(SLICE_BYTES, count - done)));
}

bool IsDamaged(const Record& record)
{
    return record.lengthOverride || record.omitTerminator || record.omitSizeAndOffset || !record.extraBody.empty();
}

DirectoryRecord Plain(const Record& record)
{
    return {record.name.data(), static_cast<uint32_t>(record.name.size()), record.size, record.offset};
}

// The knobs for damaged packs: a record exactly as described, which quorvel's
// encoder would never write.
void AppendDamaged(const Record& record, Bytes& out)
{
    Bytes body(record.name.begin(), record.name.end());
    if (!record.omitTerminator)
        body.push_back(0);
    uint8_t field[4];
    if (!record.omitSizeAndOffset) {
        WriteLittleEndian32(record.size, field);
        body.insert(body.end(), field, field + 4);
        WriteLittleEndian32(record.offset, field);
        body.insert(body.end(), field, field + 4);
    }
    body.insert(body.end(), record.extraBody.begin(), record.extraBody.end());
    WriteLittleEndian32(record.lengthOverride.value_or(static_cast<uint32_t>(body.size())), field);
    const size_t start = out.size();
    out.insert(out.end(), field, field + 4);
    out.insert(out.end(), body.begin(), body.end());
    Negate(out.data() + start, out.size() - start);
}

// The stored directory: quorvel's own encoder for every record it can
// write, the knobs for the rest (a name of 256 bytes is one of those).
Bytes StoredDirectory(int32_t count, const std::vector<Record>& records)
{
    Bytes stored(4);
    WriteLittleEndian32(static_cast<uint32_t>(count), stored.data());
    Negate(stored.data(), 4);
    for (const Record& record : records) {
        const DirectoryRecord plain = Plain(record);
        if (!IsDamaged(record)) {
            const size_t start = stored.size();
            stored.resize(start + StoredRecordBytes(plain.nameLength));
            if (EncodeRecord(&plain, stored.data() + start) != 0)
                continue;
            stored.resize(start);
        }
        AppendDamaged(record, stored);
    }
    return stored;
}

} // namespace

Bytes Encode(const Layout& layout)
{
    const int32_t count = layout.countOverride.value_or(static_cast<int32_t>(layout.records.size()));
    Bytes stored = StoredDirectory(count, layout.records);
    const size_t dataStart = stored.size();
    stored.insert(stored.end(), layout.data.begin(), layout.data.end());
    Negate(stored.data() + dataStart, stored.size() - dataStart);
    if (layout.truncateTo && *layout.truncateTo < stored.size())
        stored.resize(*layout.truncateTo);
    return stored;
}

Layout LayoutFor(const std::vector<Entry>& entries)
{
    Layout layout;
    uint32_t offset = 0;
    for (const Entry& entry : entries) {
        Record record;
        record.name = entry.name;
        record.size = static_cast<uint32_t>(entry.bytes.size());
        record.offset = offset;
        layout.records.push_back(record);
        layout.data.insert(layout.data.end(), entry.bytes.begin(), entry.bytes.end());
        offset += record.size;
    }
    return layout;
}

Bytes BuildPack(const std::vector<Entry>& entries)
{
    return Encode(LayoutFor(entries));
}

bool WriteFile(const std::string& path, const Bytes& bytes)
{
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr)
        return false;
    const bool written = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return std::fclose(file) == 0 && written;
}

bool WriteGeneratedPack(const std::string& path, const std::vector<GeneratedEntry>& entries, const Generator& generate)
{
    std::vector<DirectoryRecord> records;
    uint64_t offset = 0;
    for (const GeneratedEntry& entry : entries) {
        records.push_back({entry.name.data(), static_cast<uint32_t>(entry.name.size()),
                           static_cast<uint32_t>(entry.size), static_cast<uint32_t>(offset)});
        offset += entry.size;
    }
    Bytes directory(StoredDirectoryBytes(records.data(), static_cast<uint32_t>(records.size())));
    if (!EncodeDirectory(records.data(), static_cast<uint32_t>(records.size()), directory.data()))
        return false;
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr)
        return false;
    bool ok = std::fwrite(directory.data(), 1, directory.size(), file) == directory.size();
    Bytes block(1 << 20);
    for (size_t index = 0; ok && index < entries.size(); ++index) {
        for (uint64_t position = 0; ok && position < entries[index].size; position += block.size()) {
            const size_t count = static_cast<size_t>(std::min<uint64_t>(block.size(), entries[index].size - position));
            generate(index, position, block.data(), count);
            Negate(block.data(), count);
            ok = std::fwrite(block.data(), 1, count, file) == count;
        }
    }
    return std::fclose(file) == 0 && ok;
}

uint8_t PatternByte(size_t entry, uint64_t position)
{
    // Mixes the entry number and the position, including its high bits, so
    // two entries, two chunks or two GiB-apart positions differ.
    uint64_t x = position * 0x9E3779B97F4A7C15ull + (entry + 1) * 0xBF58476D1CE4E5B9ull;
    x ^= x >> 29;
    return static_cast<uint8_t>(x ^ (x >> 8));
}

void FillPattern(size_t entry, uint64_t position, uint8_t* buffer, size_t count)
{
    for (size_t i = 0; i < count; ++i)
        buffer[i] = PatternByte(entry, position + i);
}

} // namespace pakwriter
