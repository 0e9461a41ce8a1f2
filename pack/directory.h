// The pack file's byte transform and directory layout. Everything here is
// free of the platform so that it is tested and fuzzed natively.
//
// A pack is: a 4-byte signed entry count; one record per entry (4-byte body
// length, then the body: zero-terminated name, 4-byte size, 4-byte offset,
// ignored rest); the data area. Every stored byte is negated; numbers are
// little-endian after negation.
#ifndef QUORVEL_PACK_DIRECTORY_H
#define QUORVEL_PACK_DIRECTORY_H

#include <cstdint>

constexpr uint32_t RECORD_BUFFER_BYTES = 264; // longest body: 255-byte name, terminator, size, offset
constexpr uint32_t RECORD_FIXED_BYTES = 9;    // terminator + size + offset behind the name

void NegateBytes(unsigned char* buffer, uint32_t count);
uint32_t ReadLittleEndian32(const unsigned char* bytes);

// Why a directory was refused. A pack that is refused is refused whole:
// quorvel never shows part of a damaged directory as if it were all of it.
enum DirectoryResult {
    DIRECTORY_OK = 0,
    DIRECTORY_TRUNCATED = 1,       // the file ends inside the header or a record
    DIRECTORY_RECORD_TOO_LONG = 2, // body above 264 bytes
    DIRECTORY_NAME_UNENDED = 3,    // no zero byte in the body
    DIRECTORY_RECORD_TOO_SHORT = 4,// body shorter than name + 9
    DIRECTORY_STOPPED = 5,         // the entry sink refused (out of memory)
};

struct DirectoryRecord {
    const char* name;  // inside the caller's record buffer, valid until the next record
    uint32_t nameLength;
    uint32_t size;
    uint32_t offset;
};

// Decodes one negated record body of the given length in place.
DirectoryResult DecodeRecordBody(unsigned char* body, uint32_t length, DirectoryRecord* record);

// Where the directory bytes come from: fills buffer with up to count bytes
// and returns how many it gave (0 at the end of the file or on a failure).
struct ByteSource {
    uint32_t (*read)(void* context, unsigned char* buffer, uint32_t count);
    void* context;
};

// Receives each record in directory order; returns false to stop the walk.
struct RecordSink {
    bool (*accept)(void* context, const DirectoryRecord* record);
    void* context;
};

// Reads the whole directory from the start of the file. On DIRECTORY_OK,
// *dataAreaStart is the file position right behind the last record. A
// count of 0 or below is an empty directory.
DirectoryResult ReadDirectory(const ByteSource* source, const RecordSink* sink, uint64_t* dataAreaStart);

#endif
