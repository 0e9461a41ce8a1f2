#include "pack/directory.h"

#include "pack_writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

struct Collected {
    std::string name;
    uint32_t size;
    uint32_t offset;
};

// Feeds the directory reader from memory, in deliberately small and uneven
// slices so that records straddling read boundaries are exercised.
struct MemorySource {
    const std::vector<uint8_t>* bytes;
    size_t position = 0;
    size_t slice = 7;
};

uint32_t ReadMemory(void* context, unsigned char* buffer, uint32_t count)
{
    auto* source = static_cast<MemorySource*>(context);
    const size_t left = source->bytes->size() - source->position;
    const size_t n = std::min<size_t>({left, count, source->slice});
    std::copy_n(source->bytes->data() + source->position, n, buffer);
    source->position += n;
    return static_cast<uint32_t>(n);
}

struct Outcome {
    DirectoryResult result;
    std::vector<Collected> entries;
    uint64_t dataAreaStart = 0;
};

// blockBytes above 0 puts the buffered reader between the file and the
// decoder, with a block of that size.
Outcome Read(const std::vector<uint8_t>& stored, size_t slice = 7, size_t acceptAtMost = SIZE_MAX,
             uint32_t blockBytes = 0, uint64_t* consumed = nullptr)
{
    Outcome outcome;
    MemorySource memory{&stored, 0, slice};
    ByteSource source{ReadMemory, &memory};
    std::vector<unsigned char> block(blockBytes);
    BufferedSource buffered{source, block.data(), blockBytes, 0, 0, 0};
    if (blockBytes > 0)
        source = {ReadBuffered, &buffered};
    struct SinkState {
        Outcome* outcome;
        size_t limit;
    } state{&outcome, acceptAtMost};
    RecordSink sink{[](void* context, const DirectoryRecord* record) {
                        auto* s = static_cast<SinkState*>(context);
                        if (s->outcome->entries.size() >= s->limit)
                            return false;
                        s->outcome->entries.push_back(
                            {std::string(record->name, record->nameLength), record->size, record->offset});
                        return true;
                    },
                    &state};
    outcome.result = ReadDirectory(&source, &sink, &outcome.dataAreaStart);
    if (consumed != nullptr)
        *consumed = buffered.consumed;
    return outcome;
}

TEST(NegateBytes, IsBytewiseTwosComplement)
{
    unsigned char bytes[] = {0x00, 0x01, 0x7F, 0x80, 0xFF, 0xD4};
    NegateBytes(bytes, sizeof bytes);
    const unsigned char expected[] = {0x00, 0xFF, 0x81, 0x80, 0x01, 0x2C};
    EXPECT_EQ(std::vector<unsigned char>(bytes, bytes + 6), std::vector<unsigned char>(expected, expected + 6));
    NegateBytes(bytes, 0);
    EXPECT_EQ(bytes[1], 0xFF);
    NegateBytes(bytes, sizeof bytes);
    EXPECT_EQ(bytes[5], 0xD4);
}

TEST(NegateBytes, NegatesEveryValueAtEveryAlignmentAndLength)
{
    // Each byte negated on its own, whatever lies beside it, however the
    // buffer is aligned and however many bytes trail the last full word.
    std::vector<unsigned char> plain(256 + 64);
    for (size_t i = 0; i < plain.size(); ++i)
        plain[i] = static_cast<unsigned char>(i * 37 + (i >> 8));
    for (size_t start = 0; start < 8; ++start) {
        for (size_t length : {0u, 1u, 7u, 8u, 9u, 15u, 16u, 17u, 255u, 256u, 300u}) {
            std::vector<unsigned char> bytes = plain;
            NegateBytes(bytes.data() + start, static_cast<uint32_t>(length));
            for (size_t i = 0; i < bytes.size(); ++i) {
                const bool inside = i >= start && i < start + length;
                const unsigned char expected = inside ? static_cast<unsigned char>(0u - plain[i]) : plain[i];
                ASSERT_EQ(bytes[i], expected) << "start " << start << " length " << length << " byte " << i;
            }
        }
    }
}

TEST(Directory, WorkedExampleDecodesToItsTwoEntries)
{
    const std::vector<uint8_t> stored = {0xFE, 0x00, 0x00, 0x00, 0xF2, 0x00, 0x00, 0x00, 0x9F, 0xD2, 0x8C, 0x88,
                                         0x8C, 0x00, 0xFD, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xF2, 0x00,
                                         0x00, 0x00, 0x9E, 0xD2, 0x9E, 0x97, 0x92, 0x00, 0xFE, 0x00, 0x00, 0x00,
                                         0xFD, 0x00, 0x00, 0x00, 0x9F, 0x9E, 0x9D, 0x00, 0xFF};
    ASSERT_EQ(stored.size(), 45u);
    for (size_t slice : {1, 3, 64}) {
        const Outcome outcome = Read(stored, slice);
        ASSERT_EQ(outcome.result, DIRECTORY_OK);
        ASSERT_EQ(outcome.entries.size(), 2u);
        EXPECT_EQ(outcome.entries[0].name, "a.txt");
        EXPECT_EQ(outcome.entries[0].size, 3u);
        EXPECT_EQ(outcome.entries[0].offset, 0u);
        EXPECT_EQ(outcome.entries[1].name, "b.bin");
        EXPECT_EQ(outcome.entries[1].size, 2u);
        EXPECT_EQ(outcome.entries[1].offset, 3u);
        EXPECT_EQ(outcome.dataAreaStart, 40u);
    }
    // The pack writer produces exactly these bytes.
    EXPECT_EQ(pakwriter::BuildPack({{"a.txt", {'a', 'b', 'c'}}, {"b.bin", {0, 1}}}), stored);
}

TEST(Directory, CountIsBytewiseNegatedLittleEndian)
{
    pakwriter::Layout layout;
    for (int i = 0; i < 300; ++i)
        layout.records.push_back({"e" + std::to_string(i), uint32_t(i), uint32_t(i * 2)});
    const auto stored = pakwriter::Encode(layout);
    EXPECT_EQ(std::vector<uint8_t>(stored.begin(), stored.begin() + 4), (std::vector<uint8_t>{0xD4, 0xFF, 0x00, 0x00}));
    const Outcome outcome = Read(stored);
    ASSERT_EQ(outcome.result, DIRECTORY_OK);
    ASSERT_EQ(outcome.entries.size(), 300u);
    EXPECT_EQ(outcome.entries[299].name, "e299");
    EXPECT_EQ(outcome.entries[299].offset, 598u);
}

TEST(Directory, ZeroOrNegativeCountIsAnEmptyDirectoryWithDataAtFour)
{
    for (int32_t count : {0, -1, INT32_MIN}) {
        pakwriter::Layout layout;
        layout.countOverride = count;
        layout.records.push_back({"ignored.txt", 1, 0}); // present in the file, not in the directory
        layout.data = {1, 2, 3};
        const Outcome outcome = Read(pakwriter::Encode(layout));
        EXPECT_EQ(outcome.result, DIRECTORY_OK) << count;
        EXPECT_TRUE(outcome.entries.empty()) << count;
        EXPECT_EQ(outcome.dataAreaStart, 4u) << count;
    }
}

TEST(Directory, LongerBodyIsAcceptedAndItsRestSkipped)
{
    pakwriter::Layout layout;
    pakwriter::Record first{"a.txt", 5, 7};
    first.extraBody = {9, 9, 9, 9, 9};
    layout.records = {first, {"b.txt", 1, 2}};
    const Outcome outcome = Read(pakwriter::Encode(layout));
    ASSERT_EQ(outcome.result, DIRECTORY_OK);
    ASSERT_EQ(outcome.entries.size(), 2u);
    EXPECT_EQ(outcome.entries[0].size, 5u);
    EXPECT_EQ(outcome.entries[0].offset, 7u);
    EXPECT_EQ(outcome.entries[1].name, "b.txt");
    EXPECT_EQ(outcome.dataAreaStart, 4u + (4 + 6 + 8 + 5) + (4 + 6 + 8));
}

TEST(Directory, LongestNameFitsTheRecordBuffer)
{
    pakwriter::Layout layout;
    layout.records = {{std::string(255, 'n'), 1, 2}};
    Outcome outcome = Read(pakwriter::Encode(layout));
    ASSERT_EQ(outcome.result, DIRECTORY_OK);
    EXPECT_EQ(outcome.entries[0].name.size(), 255u);

    layout.records = {{std::string(256, 'n'), 1, 2}};
    outcome = Read(pakwriter::Encode(layout));
    EXPECT_EQ(outcome.result, DIRECTORY_RECORD_TOO_LONG);
}

TEST(Directory, SharedOffsetsAndJapaneseNamesAreKept)
{
    pakwriter::Layout layout;
    layout.records = {{"ソ\\表.txt", 4, 0}, {"予告.bin", 4, 0}};
    layout.data = {1, 2, 3, 4};
    const Outcome outcome = Read(pakwriter::Encode(layout));
    ASSERT_EQ(outcome.result, DIRECTORY_OK);
    EXPECT_EQ(outcome.entries[0].name, "ソ\\表.txt");
    EXPECT_EQ(outcome.entries[0].offset, outcome.entries[1].offset);
}

struct DamageRow {
    const char* what;
    pakwriter::Layout layout;
    DirectoryResult expected;
};

std::vector<DamageRow> DamagedPacks()
{
    std::vector<DamageRow> rows;
    pakwriter::Layout good;
    good.records = {{"a.txt", 3, 0}, {"b.bin", 2, 3}};
    good.data = {1, 2, 3, 4, 5};

    for (size_t cut : {0, 1, 3}) {
        pakwriter::Layout l = good;
        l.truncateTo = cut;
        rows.push_back({"file ends inside the header", l, DIRECTORY_TRUNCATED});
    }
    for (size_t cut : {4, 6, 8, 12, 21, 39}) {
        pakwriter::Layout l = good;
        l.truncateTo = cut;
        rows.push_back({"file ends inside the directory", l, DIRECTORY_TRUNCATED});
    }
    {
        pakwriter::Layout l = good;
        l.countOverride = 3;
        l.data.clear();
        rows.push_back({"count above the records present", l, DIRECTORY_TRUNCATED});
    }
    {
        pakwriter::Layout l = good;
        l.records[1].lengthOverride = 265;
        rows.push_back({"record length above 264", l, DIRECTORY_RECORD_TOO_LONG});
    }
    {
        pakwriter::Layout l = good;
        l.records[0].lengthOverride = 0xFFFFFFFFu;
        rows.push_back({"record length near 4 GiB", l, DIRECTORY_RECORD_TOO_LONG});
    }
    {
        pakwriter::Layout l;
        pakwriter::Record r{std::string(10, 'x'), 0, 0};
        r.omitTerminator = true;
        r.omitSizeAndOffset = true;
        l.records = {r};
        rows.push_back({"body without a zero byte", l, DIRECTORY_NAME_UNENDED});
    }
    {
        pakwriter::Layout l;
        pakwriter::Record r{"short.txt", 0, 0};
        r.omitSizeAndOffset = true;
        r.extraBody = {1, 2, 3, 4, 5, 6, 7};
        l.records = {r};
        rows.push_back({"body one byte shorter than name + 9", l, DIRECTORY_RECORD_TOO_SHORT});
    }
    {
        pakwriter::Layout l;
        pakwriter::Record r{"", 0, 0};
        r.lengthOverride = 0;
        l.records = {r};
        l.data = std::vector<uint8_t>(20, 0);
        rows.push_back({"empty body", l, DIRECTORY_NAME_UNENDED});
    }
    return rows;
}

TEST(Directory, RefusesDamagedDirectories)
{
    for (const DamageRow& row : DamagedPacks()) {
        const Outcome outcome = Read(pakwriter::Encode(row.layout));
        EXPECT_EQ(outcome.result, row.expected) << row.what;
    }
}

TEST(Directory, StopsWhenTheSinkRefuses)
{
    const auto stored = pakwriter::BuildPack({{"a", {1}}, {"b", {2}}, {"c", {3}}});
    const Outcome outcome = Read(stored, 7, 2);
    EXPECT_EQ(outcome.result, DIRECTORY_STOPPED);
    EXPECT_EQ(outcome.entries.size(), 2u);
}

TEST(Directory, DecodeRecordBodyNeverReadsPastTheLength)
{
    // Nine bytes: an empty name and size/offset fit exactly.
    unsigned char body[RECORD_BUFFER_BYTES] = {};
    const unsigned char plain[9] = {0, 1, 0, 0, 0, 2, 0, 0, 0};
    for (int i = 0; i < 9; ++i)
        body[i] = static_cast<unsigned char>(0u - plain[i]);
    DirectoryRecord record{};
    ASSERT_EQ(DecodeRecordBody(body, 9, &record), DIRECTORY_OK);
    EXPECT_EQ(record.nameLength, 0u);
    EXPECT_EQ(record.size, 1u);
    EXPECT_EQ(record.offset, 2u);
    // The same bytes cut to 8 are too short even though a zero follows in memory.
    for (int i = 0; i < 9; ++i)
        body[i] = static_cast<unsigned char>(0u - plain[i]);
    EXPECT_EQ(DecodeRecordBody(body, 8, &record), DIRECTORY_RECORD_TOO_SHORT);
}

// ---- The encoder and the buffered reader

std::vector<uint8_t> EncodeAll(const std::vector<DirectoryRecord>& records)
{
    std::vector<uint8_t> stored(StoredDirectoryBytes(records.data(), uint32_t(records.size())));
    EXPECT_TRUE(EncodeDirectory(records.data(), uint32_t(records.size()), stored.data()));
    return stored;
}

TEST(Encoder, WhatItWritesReadsBackThroughTheBufferedReader)
{
    const std::string longest(LONGEST_NAME_BYTES, 'n');
    const std::string japanese = "\x83\x5C\x81\x5B\x83\x58\\a.txt"; // ソース\a.txt: 0x5C trail bytes
    const std::vector<DirectoryRecord> records = {
        {"", 0, 0, 0},
        {longest.data(), uint32_t(longest.size()), 0xFFFFFFFFu, 0xFFFFFFFFu},
        {japanese.data(), uint32_t(japanese.size()), 5, 0x01020304u},
        {"shared.bin", 10, 5, 0x01020304u},
    };
    const std::vector<uint8_t> stored = EncodeAll(records);
    // Block sizes below, at and above one record; reads of the file in
    // uneven slices or whole.
    for (const uint32_t blockBytes : {1u, 3u, 13u, 264u, 65536u}) {
        for (const size_t slice : {size_t(5), SIZE_MAX}) {
            uint64_t consumed = 0;
            const Outcome outcome = Read(stored, slice, SIZE_MAX, blockBytes, &consumed);
            ASSERT_EQ(outcome.result, DIRECTORY_OK) << blockBytes;
            ASSERT_EQ(outcome.entries.size(), records.size()) << blockBytes;
            for (size_t i = 0; i < records.size(); ++i) {
                EXPECT_EQ(outcome.entries[i].name, std::string(records[i].name, records[i].nameLength)) << i;
                EXPECT_EQ(outcome.entries[i].size, records[i].size) << i;
                EXPECT_EQ(outcome.entries[i].offset, records[i].offset) << i;
            }
            EXPECT_EQ(outcome.dataAreaStart, stored.size()) << blockBytes;
            // The reader hands on exactly what the decoder asked for.
            EXPECT_EQ(consumed, stored.size()) << blockBytes;
        }
    }
}

TEST(Encoder, RefusesNamesTheReaderWouldNotGiveBackWhole)
{
    const std::string tooLong(LONGEST_NAME_BYTES + 1, 'n');
    const std::string withZero("a\0b.txt", 7);
    struct Row {
        const char* why;
        DirectoryRecord record;
    };
    const Row rows[] = {
        {"256 bytes", {tooLong.data(), uint32_t(tooLong.size()), 1, 2}},
        {"a zero byte inside", {withZero.data(), uint32_t(withZero.size()), 1, 2}},
    };
    for (const Row& row : rows) {
        std::vector<uint8_t> out(StoredRecordBytes(row.record.nameLength) + 4, 0xAA);
        EXPECT_EQ(EncodeRecord(&row.record, out.data()), 0u) << row.why;
        EXPECT_EQ(out, std::vector<uint8_t>(out.size(), 0xAA)) << row.why << ": wrote something";
        const DirectoryRecord pair[] = {{"fine.txt", 8, 1, 0}, row.record};
        std::vector<uint8_t> directory(StoredDirectoryBytes(pair, 2));
        EXPECT_FALSE(EncodeDirectory(pair, 2, directory.data())) << row.why;
    }
    // A count the signed field would read as an empty directory.
    unsigned char header[4];
    EXPECT_FALSE(EncodeDirectory(nullptr, 0x80000000u, header));
}

TEST(Encoder, EmptyDirectoryIsTheCountAlone)
{
    const std::vector<uint8_t> stored = EncodeAll({});
    EXPECT_EQ(stored, (std::vector<uint8_t>{0, 0, 0, 0}));
}

} // namespace
