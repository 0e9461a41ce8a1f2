// The patch format: written by diff --patch, read and checked by patch.
#include "cli/patch_file.h"

#include "cli/pack_file.h"
#include "pack/directory.h"

#include <algorithm>
#include <cstring>

namespace cli {

namespace {

uint32_t U32At(const unsigned char* bytes)
{
    return uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 | uint32_t(bytes[3]) << 24;
}

constexpr char MAGIC[8] = {'Q', 'V', 'P', 'A', 'T', 'C', 'H', 0x1A};
constexpr size_t HEADER_BYTES = 16;
constexpr size_t CHECK_BYTES = 32;
// The smallest record: kind, a one-byte name with its length, occurrence.
constexpr uint64_t SMALLEST_RECORD_BYTES = 7;

void PutU32(std::string& out, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        out.push_back(char((value >> (8 * i)) & 0xFF));
}

void PutKey(std::string& out, const EntryKey& key)
{
    out.push_back(char(key.name.size()));
    out += key.name;
    PutU32(out, key.occurrence);
}

std::string EncodeRecord(const PatchRecord& record)
{
    std::string out(1, record.kind);
    PutKey(out, record.key);
    if (record.kind == 'A' || record.kind == 'M') {
        PutU32(out, record.newSize);
        out.append(reinterpret_cast<const char*>(record.newDigest.data()), record.newDigest.size());
    }
    if (record.kind == 'M' || record.kind == 'D') {
        PutU32(out, record.oldSize);
        out.append(reinterpret_cast<const char*>(record.oldDigest.data()), record.oldDigest.size());
    }
    if (record.kind == 'A') {
        out.push_back(record.anchored ? 1 : 0);
        if (record.anchored)
            PutKey(out, record.anchor);
    }
    return out;
}

// Reads the records region front to back through a buffer; every read is
// bounded by end, so that a count or a length from the file never reads
// past what the file holds.
class RecordReader {
public:
    RecordReader(InputFile& file, uint64_t position, uint64_t end) : file_(file), position_(position), end_(end) {}

    bool Bytes(void* out, size_t count)
    {
        if (count > end_ - position_)
            return false;
        unsigned char* to = static_cast<unsigned char*>(out);
        while (count > 0) {
            if (at_ == buffer_.size()) {
                const size_t want = size_t(std::min<uint64_t>(sizeof(buffer_store_), end_ - position_));
                SystemError error;
                const int64_t got = file_.ReadAt(position_, buffer_store_, want, &error);
                if (got <= 0)
                    return false;
                buffer_ = std::string_view(reinterpret_cast<const char*>(buffer_store_), size_t(got));
                at_ = 0;
            }
            const size_t take = std::min(count, buffer_.size() - at_);
            std::memcpy(to, buffer_.data() + at_, take);
            to += take;
            at_ += take;
            count -= take;
            position_ += take;
        }
        return true;
    }

    bool U8(uint8_t* value) { return Bytes(value, 1); }

    bool U32(uint32_t* value)
    {
        unsigned char bytes[4];
        if (!Bytes(bytes, 4))
            return false;
        *value = U32At(bytes);
        return true;
    }

    bool Key(EntryKey* key)
    {
        uint8_t length = 0;
        if (!U8(&length) || length == 0)
            return false;
        key->name.resize(length);
        return Bytes(key->name.data(), length) && U32(&key->occurrence);
    }

    uint64_t Position() const { return position_; }

private:
    InputFile& file_;
    uint64_t position_;
    uint64_t end_;
    unsigned char buffer_store_[64 * 1024];
    std::string_view buffer_;
    size_t at_ = 0;
};

bool ReadSizeAndDigest(RecordReader& reader, uint32_t* size, Sha256Digest* digest)
{
    return reader.U32(size) && reader.Bytes(digest->data(), digest->size());
}

// An A record's place: after an entry of OLD (flag 1 and its key) or at
// the start (flag 0).
bool ReadAnchor(RecordReader& reader, PatchRecord* record)
{
    uint8_t anchored = 0;
    if (!reader.U8(&anchored) || anchored > 1)
        return false;
    record->anchored = anchored == 1;
    return !record->anchored || reader.Key(&record->anchor);
}

bool ReadRecord(RecordReader& reader, PatchRecord* record)
{
    uint8_t kind = 0;
    if (!reader.U8(&kind) || kind == 0 || std::string_view("AMDO").find(char(kind)) == std::string_view::npos)
        return false;
    record->kind = char(kind);
    const bool hasNew = kind == 'A' || kind == 'M';
    const bool hasOld = kind == 'M' || kind == 'D';
    return reader.Key(&record->key) && (!hasNew || ReadSizeAndDigest(reader, &record->newSize, &record->newDigest)) &&
           (!hasOld || ReadSizeAndDigest(reader, &record->oldSize, &record->oldDigest)) &&
           (kind != 'A' || ReadAnchor(reader, record));
}

// The SHA-256 of each A and M record's new bytes, fed the data region in
// order as the file is read: the records' bytes lie one after another, in
// record order, from the first one's position on.
class NewBytesCheck {
public:
    explicit NewBytesCheck(const Patch& patch) : records_(patch.records)
    {
        record_ = NextWithData(0);
        if (record_ < records_.size())
            left_ = records_[record_].newSize;
    }

    // Where the data region begins; end when no record has bytes.
    uint64_t DataStart(uint64_t end) const { return record_ < records_.size() ? records_[record_].dataPosition : end; }

    // The next count bytes of the data region, restored in place.
    void Take(unsigned char* bytes, size_t count)
    {
        // A record of no bytes ends before any is taken.
        while (record_ < records_.size() && (count > 0 || left_ == 0)) {
            const size_t take = size_t(std::min<uint64_t>(left_, count));
            NegateBytes(bytes, uint32_t(take));
            digest_.Add(bytes, take);
            bytes += take;
            count -= take;
            left_ -= take;
            if (left_ == 0) {
                match_ = match_ && digest_.Finish() == records_[record_].newDigest;
                record_ = NextWithData(record_ + 1);
                if (record_ < records_.size())
                    left_ = records_[record_].newSize;
            }
        }
    }

    // Once the whole region is taken: every record seen, every digest as written.
    bool AllMatch()
    {
        unsigned char none = 0;
        Take(&none, 0);
        return match_ && record_ == records_.size();
    }

private:
    size_t NextWithData(size_t from) const
    {
        while (from < records_.size() && records_[from].kind != 'A' && records_[from].kind != 'M')
            ++from;
        return from;
    }

    const std::vector<PatchRecord>& records_;
    size_t record_ = 0;
    uint64_t left_ = 0; // bytes of the current record still to come
    Sha256 digest_;
    bool match_ = true;
};

// One pass over the file: the check over every byte before it, and the
// digest of each record's new bytes.
bool CheckContents(InputFile& file, uint64_t checkAt, const Patch& patch, std::string* why)
{
    std::vector<unsigned char> block(size_t(std::clamp<uint64_t>(checkAt, 1, TRANSFER_BLOCK_BYTES)));
    Sha256 whole;
    NewBytesCheck newBytes(patch);
    const uint64_t dataStart = newBytes.DataStart(checkAt);
    for (uint64_t position = 0; position < checkAt;) {
        const size_t want = size_t(std::min<uint64_t>(block.size(), checkAt - position));
        SystemError error;
        const int64_t got = file.ReadAt(position, block.data(), want, &error);
        if (got <= 0) {
            *why = got < 0 ? "cannot be read: " + error.Text() : "changed while it was being read";
            return false;
        }
        whole.Add(block.data(), size_t(got));
        const uint64_t blockEnd = position + uint64_t(got);
        if (blockEnd > dataStart) {
            const uint64_t at = std::max(position, dataStart);
            newBytes.Take(block.data() + (at - position), size_t(blockEnd - at));
        }
        position = blockEnd;
    }
    unsigned char stored[CHECK_BYTES];
    SystemError error;
    if (file.ReadAt(checkAt, stored, CHECK_BYTES, &error) != int64_t(CHECK_BYTES)) {
        *why = "damaged: cut short";
        return false;
    }
    const Sha256Digest check = whole.Finish();
    if (std::memcmp(check.data(), stored, CHECK_BYTES) != 0) {
        *why = "damaged: its check does not match its contents";
        return false;
    }
    if (!newBytes.AllMatch()) {
        *why = "damaged: new bytes that do not match their SHA-256";
        return false;
    }
    return true;
}

// The magic, the version this program reads, and the record count; false
// with *why otherwise.
bool ReadHeader(InputFile& file, uint64_t size, uint32_t* count, std::string* why)
{
    SystemError error;
    unsigned char header[HEADER_BYTES];
    const int64_t got = size >= HEADER_BYTES ? file.ReadAt(0, header, HEADER_BYTES, &error) : 0;
    if (got < 0) {
        *why = error.Text();
        return false;
    }
    if (got != int64_t(HEADER_BYTES) || std::memcmp(header, MAGIC, sizeof(MAGIC)) != 0) {
        *why = "not a quorvel patch (it does not begin as one)";
        return false;
    }
    const uint32_t version = U32At(header + 8);
    if (version != PATCH_VERSION) {
        *why = "a patch of format version " + std::to_string(version) + "; this quorvel-cli reads version " +
               std::to_string(PATCH_VERSION);
        return false;
    }
    if (size < HEADER_BYTES + CHECK_BYTES) {
        *why = "damaged: cut short";
        return false;
    }
    *count = U32At(header + 12);
    return true;
}

} // namespace

bool ReadPatch(const std::string& path, InputFile* file, Patch* patch, std::string* why)
{
    SystemError error;
    uint64_t size = 0;
    if (!file->Open(path, &error) || !file->Size(&size, &error)) {
        *why = error.Text();
        return false;
    }
    uint32_t count = 0;
    if (!ReadHeader(*file, size, &count, why))
        return false;
    const uint64_t checkAt = size - CHECK_BYTES;
    if (count > (checkAt - HEADER_BYTES) / SMALLEST_RECORD_BYTES) {
        *why = "damaged: it declares more records than it can hold";
        return false;
    }
    patch->records.clear();
    patch->records.reserve(count);
    RecordReader reader(*file, HEADER_BYTES, checkAt);
    for (uint32_t i = 0; i < count; ++i) {
        PatchRecord record;
        if (!ReadRecord(reader, &record)) {
            *why = "damaged: record " + std::to_string(i) + " cannot be read";
            return false;
        }
        patch->records.push_back(std::move(record));
    }
    uint64_t position = reader.Position();
    for (PatchRecord& record : patch->records) {
        if (record.kind != 'A' && record.kind != 'M')
            continue;
        record.dataPosition = position;
        position += record.newSize;
    }
    if (position != checkAt) {
        *why = position < checkAt ? "damaged: bytes beyond its records" : "damaged: cut short";
        return false;
    }
    return CheckContents(*file, checkAt, *patch, why);
}

bool PatchWriter::Put(const void* data, size_t count, SystemError* error)
{
    check_.Add(data, count);
    return out_.Write(data, count, error);
}

bool PatchWriter::Begin(const std::vector<PatchRecord>& records, SystemError* error)
{
    std::string head(MAGIC, sizeof(MAGIC));
    PutU32(head, PATCH_VERSION);
    PutU32(head, uint32_t(records.size()));
    for (const PatchRecord& record : records) {
        head += EncodeRecord(record);
        if (head.size() >= TRANSFER_BLOCK_BYTES) {
            if (!Put(head.data(), head.size(), error))
                return false;
            head.clear();
        }
    }
    return Put(head.data(), head.size(), error);
}

bool PatchWriter::AddStoredBytes(const unsigned char* data, size_t count, SystemError* error)
{
    return Put(data, count, error);
}

bool PatchWriter::Finish(SystemError* error)
{
    const Sha256Digest check = check_.Finish();
    return out_.Write(check.data(), check.size(), error);
}

bool EntryDigest(PackFile& pack, const StoredEntry& entry, std::vector<unsigned char>& block, Sha256Digest* digest,
                 std::string* error)
{
    Sha256 hash;
    const bool read = CopyEntry(
        pack, entry, block,
        [&](const unsigned char* data, size_t count) {
            hash.Add(data, count);
            return true;
        },
        error);
    if (read)
        *digest = hash.Finish();
    return read;
}

std::string DigestText(const Sha256Digest& digest)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (const unsigned char byte : digest) {
        text.push_back(digits[byte >> 4]);
        text.push_back(digits[byte & 0x0F]);
    }
    return text;
}

} // namespace cli
