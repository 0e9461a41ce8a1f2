// The pack file's byte transform and directory layout. Everything here is
// free of the platform so that it is tested and fuzzed natively.
//
// A pack is: a 4-byte signed entry count; one record per entry (4-byte body
// length, then the body: zero-terminated name, 4-byte size, 4-byte offset,
// ignored rest); the data area. Every stored byte is negated; numbers are
// little-endian after negation. The reader and the writer of that layout
// both live here, so that what quorvel-cli writes is what quorvel reads.
#ifndef QUORVEL_PACK_DIRECTORY_H
#define QUORVEL_PACK_DIRECTORY_H

#include <cstdint>

constexpr uint32_t RECORD_BUFFER_BYTES = 264; // longest body: 255-byte name, terminator, size, offset
constexpr uint32_t RECORD_FIXED_BYTES = 9;    // terminator + size + offset behind the name
constexpr uint32_t LONGEST_NAME_BYTES = RECORD_BUFFER_BYTES - RECORD_FIXED_BYTES;

void NegateBytes(unsigned char* buffer, uint32_t count);
uint32_t ReadLittleEndian32(const unsigned char* bytes);
void WriteLittleEndian32(uint32_t value, unsigned char* bytes);

// Why a directory was refused. A pack that is refused is refused whole:
// quorvel never shows part of a damaged directory as if it were all of it.
enum DirectoryResult {
    DIRECTORY_OK = 0,
    DIRECTORY_TRUNCATED = 1,        // the file ends inside the header or a record
    DIRECTORY_RECORD_TOO_LONG = 2,  // body above 264 bytes
    DIRECTORY_NAME_UNENDED = 3,     // no zero byte in the body
    DIRECTORY_RECORD_TOO_SHORT = 4, // body shorter than name + 9
    DIRECTORY_STOPPED = 5,          // the entry sink refused (out of memory)
};

struct DirectoryRecord {
    const char* name; // inside the caller's record buffer, valid until the next record
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

// A ByteSource over a file's ByteSource through a block of the caller's:
// a directory of 100,000 records is then a few large reads instead of
// 200,000 small ones. Start it with its file, block and blockBytes set and
// the counters at zero, then read through ReadBuffered.
struct BufferedSource {
    ByteSource file; // the file's bytes from position 0
    unsigned char* block;
    uint32_t blockBytes;
    uint32_t used;     // bytes of block handed on
    uint32_t filled;   // bytes of block read from the file
    uint64_t consumed; // bytes handed on in all: the file position the decoder reached
};

uint32_t ReadBuffered(void* bufferedSource, unsigned char* buffer, uint32_t count);

// ---- Writing

// Stored bytes of one record whose name has nameLength bytes: its length
// field and its body.
constexpr uint32_t StoredRecordBytes(uint32_t nameLength)
{
    return 4 + nameLength + RECORD_FIXED_BYTES;
}

// Writes record as stored (negated) at out: StoredRecordBytes of its name
// length. Returns 0, having written nothing, for a name the reader would not
// give back whole: above LONGEST_NAME_BYTES or holding a zero byte.
uint32_t EncodeRecord(const DirectoryRecord* record, unsigned char* out);

// Stored bytes of the whole directory of these records: count and records.
uint64_t StoredDirectoryBytes(const DirectoryRecord* records, uint32_t count);

// Writes the whole directory as stored at out (StoredDirectoryBytes of it):
// the entry count, then every record in order, with the offsets given.
// False, with out unusable, when a record cannot be encoded or there are
// more records than the signed count holds.
bool EncodeDirectory(const DirectoryRecord* records, uint32_t count, unsigned char* out);

#endif
