#include "pack_writer.h"

#include <algorithm>
#include <cstdio>

namespace pakwriter {

namespace {

void PutLittleEndian32(Bytes& out, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

void Negate(uint8_t* bytes, size_t count)
{
    for (size_t i = 0; i < count; ++i)
        bytes[i] = static_cast<uint8_t>(0u - bytes[i]);
}

Bytes RecordBody(const Record& record)
{
    Bytes body(record.name.begin(), record.name.end());
    if (!record.omitTerminator)
        body.push_back(0);
    if (!record.omitSizeAndOffset) {
        PutLittleEndian32(body, record.size);
        PutLittleEndian32(body, record.offset);
    }
    body.insert(body.end(), record.extraBody.begin(), record.extraBody.end());
    return body;
}

Bytes DirectoryBytes(int32_t count, const std::vector<Record>& records)
{
    Bytes plain;
    PutLittleEndian32(plain, static_cast<uint32_t>(count));
    for (const Record& record : records) {
        const Bytes body = RecordBody(record);
        PutLittleEndian32(plain, record.lengthOverride.value_or(static_cast<uint32_t>(body.size())));
        plain.insert(plain.end(), body.begin(), body.end());
    }
    return plain;
}

} // namespace

Bytes Encode(const Layout& layout)
{
    const int32_t count = layout.countOverride.value_or(static_cast<int32_t>(layout.records.size()));
    Bytes plain = DirectoryBytes(count, layout.records);
    plain.insert(plain.end(), layout.data.begin(), layout.data.end());
    if (layout.truncateTo && *layout.truncateTo < plain.size())
        plain.resize(*layout.truncateTo);
    Negate(plain.data(), plain.size());
    return plain;
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

bool WriteGeneratedPack(const std::string& path, const std::vector<GeneratedEntry>& entries,
                        const Generator& generate)
{
    std::vector<Record> records;
    uint64_t offset = 0;
    for (const GeneratedEntry& entry : entries) {
        Record record;
        record.name = entry.name;
        record.size = static_cast<uint32_t>(entry.size);
        record.offset = static_cast<uint32_t>(offset);
        records.push_back(record);
        offset += entry.size;
    }
    Bytes directory = DirectoryBytes(static_cast<int32_t>(records.size()), records);
    Negate(directory.data(), directory.size());
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr)
        return false;
    bool ok = std::fwrite(directory.data(), 1, directory.size(), file) == directory.size();
    Bytes block(1 << 20);
    for (size_t index = 0; ok && index < entries.size(); ++index) {
        for (uint64_t position = 0; ok && position < entries[index].size; position += block.size()) {
            const size_t count = static_cast<size_t>(
                std::min<uint64_t>(block.size(), entries[index].size - position));
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
