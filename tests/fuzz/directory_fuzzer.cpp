// libFuzzer target for the pack directory decoder: any file a user opens is
// fed to it, so every byte sequence must decode or be refused cleanly.
//
// Input: one control byte (how many bytes the file source hands out per
// read, and after which record the sink stops), then the stored file bytes.
// Besides memory errors (the build adds AddressSanitizer and UBSan), the
// decoder's answer is compared with a deliberately plain re-reading of the
// same bytes, and every name it passes on is given to the entry-name rule
// that ExtractEntry applies.
#include "pack/directory.h"
#include "support/entry_name.h"
#include "support/text.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

void Require(bool condition)
{
    if (!condition)
        std::abort();
}

struct Slices {
    const uint8_t* data;
    size_t size;
    size_t position;
    size_t slice;
};

uint32_t ReadSlice(void* context, unsigned char* buffer, uint32_t count)
{
    auto* source = static_cast<Slices*>(context);
    Require(count > 0);
    size_t n = source->size - source->position;
    if (n > count)
        n = count;
    if (n > source->slice)
        n = source->slice;
    std::memcpy(buffer, source->data + source->position, n);
    source->position += n;
    return static_cast<uint32_t>(n);
}

struct Seen {
    std::vector<std::vector<uint8_t>> names;
    std::vector<uint32_t> sizes;
    std::vector<uint32_t> offsets;
    size_t stopAfter;
};

// A cheap necessary condition of a safe name: no stream colon, no leading
// separator, no ".." component between '/' separators (neither byte can be
// a trail byte, so a plain byte scan is exact for these).
bool PlainlyUnsafe(const char* name, uint32_t length)
{
    if (length == 0 || name[0] == '\\' || name[0] == '/')
        return true;
    for (uint32_t i = 0; i < length; ++i) {
        if (name[i] == ':')
            return true;
        const bool componentStart = i == 0 || name[i - 1] == '/';
        const bool dots = i + 1 < length && name[i] == '.' && name[i + 1] == '.';
        const bool componentEnd = i + 2 == length || (i + 2 < length && (name[i + 2] == '/' || name[i + 2] == '\\'));
        if (componentStart && dots && componentEnd)
            return true;
    }
    return false;
}

bool Accept(void* context, const DirectoryRecord* record)
{
    auto* seen = static_cast<Seen*>(context);
    Require(record->nameLength <= RECORD_BUFFER_BYTES - RECORD_FIXED_BYTES);
    Require(record->name[record->nameLength] == 0);
    Require(TextLength(record->name) == record->nameLength);
    const bool safe = IsSafeEntryName(record->name);
    Require(!(safe && PlainlyUnsafe(record->name, record->nameLength)));
    seen->names.emplace_back(record->name, record->name + record->nameLength);
    seen->sizes.push_back(record->size);
    seen->offsets.push_back(record->offset);
    return seen->names.size() <= seen->stopAfter;
}

uint32_t Field(const uint8_t* stored)
{
    uint32_t value = 0;
    for (int i = 3; i >= 0; --i)
        value = value << 8 | static_cast<uint8_t>(0u - stored[i]);
    return value;
}

// The format read the long way round, straight from the stored bytes.
DirectoryResult Reference(const uint8_t* data, size_t size, const Seen& seen, uint64_t* dataAreaStart, size_t* records)
{
    *records = 0;
    if (size < 4)
        return DIRECTORY_TRUNCATED;
    const int32_t count = static_cast<int32_t>(Field(data));
    size_t position = 4;
    for (int64_t index = 0; index < count; ++index) {
        if (size - position < 4)
            return DIRECTORY_TRUNCATED;
        const uint32_t length = Field(data + position);
        position += 4;
        if (length > RECORD_BUFFER_BYTES)
            return DIRECTORY_RECORD_TOO_LONG;
        if (size - position < length)
            return DIRECTORY_TRUNCATED;
        std::vector<uint8_t> body(length);
        for (uint32_t i = 0; i < length; ++i)
            body[i] = static_cast<uint8_t>(0u - data[position + i]);
        size_t nameLength = 0;
        while (nameLength < length && body[nameLength] != 0)
            ++nameLength;
        if (nameLength == length)
            return DIRECTORY_NAME_UNENDED;
        if (length - nameLength < RECORD_FIXED_BYTES)
            return DIRECTORY_RECORD_TOO_SHORT;
        // The decoder must have passed on exactly this record.
        Require(*records < seen.names.size());
        Require(seen.names[*records] == std::vector<uint8_t>(body.begin(), body.begin() + nameLength));
        uint32_t sizeField = 0, offsetField = 0;
        for (int i = 3; i >= 0; --i) {
            sizeField = sizeField << 8 | body[nameLength + 1 + i];
            offsetField = offsetField << 8 | body[nameLength + 5 + i];
        }
        Require(seen.sizes[*records] == sizeField);
        Require(seen.offsets[*records] == offsetField);
        ++*records;
        if (*records > seen.stopAfter)
            return DIRECTORY_STOPPED;
        position += length;
    }
    *dataAreaStart = position;
    return DIRECTORY_OK;
}

void FuzzBody(const uint8_t* data, size_t size)
{
    // An exactly sized copy, so that any read past the body is caught.
    std::vector<uint8_t> body(data, data + size);
    DirectoryRecord record;
    const DirectoryResult result = DecodeRecordBody(body.data(), static_cast<uint32_t>(size), &record);
    if (result == DIRECTORY_OK) {
        Require(size <= RECORD_BUFFER_BYTES);
        Require(record.nameLength + RECORD_FIXED_BYTES <= size);
        Require(reinterpret_cast<const uint8_t*>(record.name) == body.data());
        Require(record.name[record.nameLength] == 0);
        IsSafeEntryName(record.name);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    const uint8_t control = data[0];
    const uint8_t* file = data + 1;
    const size_t fileSize = size - 1;

    Slices slices{file, fileSize, 0, size_t(control & 0x0F) + 1};
    Seen seen;
    seen.stopAfter = (control >> 4) == 0x0F ? SIZE_MAX : size_t(control >> 4) * 3;
    const ByteSource source{ReadSlice, &slices};
    const RecordSink sink{Accept, &seen};
    uint64_t dataAreaStart = UINT64_MAX;
    const DirectoryResult result = ReadDirectory(&source, &sink, &dataAreaStart);

    uint64_t expectedStart = 0;
    size_t records = 0;
    const DirectoryResult expected = Reference(file, fileSize, seen, &expectedStart, &records);
    Require(result == expected);
    Require(records == seen.names.size());
    if (result == DIRECTORY_OK) {
        // The data area begins right where the directory reading stopped.
        Require(dataAreaStart == expectedStart);
        Require(slices.position == expectedStart);
    } else {
        Require(dataAreaStart == UINT64_MAX);
    }

    FuzzBody(file, fileSize);
    return 0;
}
