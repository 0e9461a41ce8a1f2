#include "pack/directory.h"

void NegateBytes(unsigned char* buffer, uint32_t count)
{
    // Every stored byte passes through here. Blocks of a fixed length let
    // GCC vectorise the inner loop even at -O2, where it only vectorises
    // loops whose trip count it knows; the loop stays plain C++ so that the
    // freestanding program gets no library call out of it.
    constexpr uint32_t NEGATE_BLOCK_BYTES = 64;
    uint32_t i = 0;
    for (; count - i >= NEGATE_BLOCK_BYTES; i += NEGATE_BLOCK_BYTES) {
        unsigned char* block = buffer + i;
        for (uint32_t j = 0; j < NEGATE_BLOCK_BYTES; ++j)
            block[j] = static_cast<unsigned char>(0u - block[j]);
    }
    for (; i < count; ++i)
        buffer[i] = static_cast<unsigned char>(0u - buffer[i]);
}

uint32_t ReadLittleEndian32(const unsigned char* bytes)
{
    return uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 | uint32_t(bytes[3]) << 24;
}

void WriteLittleEndian32(uint32_t value, unsigned char* bytes)
{
    for (int i = 0; i < 4; ++i)
        bytes[i] = static_cast<unsigned char>(value >> (8 * i));
}

DirectoryResult DecodeRecordBody(unsigned char* body, uint32_t length, DirectoryRecord* record)
{
    if (length > RECORD_BUFFER_BYTES)
        return DIRECTORY_RECORD_TOO_LONG;
    NegateBytes(body, length);
    uint32_t nameLength = 0;
    while (nameLength < length && body[nameLength] != 0)
        ++nameLength;
    if (nameLength == length)
        return DIRECTORY_NAME_UNENDED;
    if (length - nameLength < RECORD_FIXED_BYTES)
        return DIRECTORY_RECORD_TOO_SHORT;
    record->name = reinterpret_cast<const char*>(body);
    record->nameLength = nameLength;
    record->size = ReadLittleEndian32(body + nameLength + 1);
    record->offset = ReadLittleEndian32(body + nameLength + 5);
    return DIRECTORY_OK;
}

namespace {

bool ReadExactly(const ByteSource* source, unsigned char* buffer, uint32_t count)
{
    uint32_t done = 0;
    while (done < count) {
        const uint32_t got = source->read(source->context, buffer + done, count - done);
        if (got == 0)
            return false;
        done += got;
    }
    return true;
}

} // namespace

DirectoryResult ReadDirectory(const ByteSource* source, const RecordSink* sink, uint64_t* dataAreaStart)
{
    unsigned char field[4];
    unsigned char body[RECORD_BUFFER_BYTES];
    if (!ReadExactly(source, field, 4))
        return DIRECTORY_TRUNCATED;
    NegateBytes(field, 4);
    const int32_t count = static_cast<int32_t>(ReadLittleEndian32(field));
    uint64_t position = 4;
    for (int32_t index = 0; index < count; ++index) {
        if (!ReadExactly(source, field, 4))
            return DIRECTORY_TRUNCATED;
        NegateBytes(field, 4);
        const uint32_t length = ReadLittleEndian32(field);
        // Checked before reading, so a hostile length never reaches the buffer.
        if (length > RECORD_BUFFER_BYTES)
            return DIRECTORY_RECORD_TOO_LONG;
        if (!ReadExactly(source, body, length))
            return DIRECTORY_TRUNCATED;
        DirectoryRecord record;
        const DirectoryResult decoded = DecodeRecordBody(body, length, &record);
        if (decoded != DIRECTORY_OK)
            return decoded;
        if (!sink->accept(sink->context, &record))
            return DIRECTORY_STOPPED;
        position += 4 + uint64_t(length);
    }
    *dataAreaStart = position;
    return DIRECTORY_OK;
}

uint32_t ReadBuffered(void* bufferedSource, unsigned char* buffer, uint32_t count)
{
    auto* source = static_cast<BufferedSource*>(bufferedSource);
    if (source->used == source->filled) {
        const uint32_t got = source->file.read(source->file.context, source->block, source->blockBytes);
        source->used = 0;
        source->filled = got;
        if (got == 0)
            return 0;
    }
    uint32_t n = source->filled - source->used;
    if (n > count)
        n = count;
    const unsigned char* from = source->block + source->used;
    for (uint32_t i = 0; i < n; ++i)
        buffer[i] = from[i];
    source->used += n;
    source->consumed += n;
    return n;
}

uint32_t EncodeRecord(const DirectoryRecord* record, unsigned char* out)
{
    const uint32_t length = record->nameLength;
    if (length > LONGEST_NAME_BYTES)
        return 0;
    for (uint32_t i = 0; i < length; ++i) {
        if (record->name[i] == 0)
            return 0;
    }
    WriteLittleEndian32(length + RECORD_FIXED_BYTES, out);
    unsigned char* body = out + 4;
    for (uint32_t i = 0; i < length; ++i)
        body[i] = static_cast<unsigned char>(record->name[i]);
    body[length] = 0;
    WriteLittleEndian32(record->size, body + length + 1);
    WriteLittleEndian32(record->offset, body + length + 5);
    const uint32_t stored = StoredRecordBytes(length);
    NegateBytes(out, stored);
    return stored;
}

uint64_t StoredDirectoryBytes(const DirectoryRecord* records, uint32_t count)
{
    uint64_t total = 4;
    for (uint32_t i = 0; i < count; ++i)
        total += StoredRecordBytes(records[i].nameLength);
    return total;
}

bool EncodeDirectory(const DirectoryRecord* records, uint32_t count, unsigned char* out)
{
    // A count above the signed field would read back as an empty directory.
    if (count > 0x7FFFFFFFu)
        return false;
    WriteLittleEndian32(count, out);
    NegateBytes(out, 4);
    unsigned char* next = out + 4;
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t written = EncodeRecord(&records[i], next);
        if (written == 0)
            return false;
        next += written;
    }
    return true;
}
