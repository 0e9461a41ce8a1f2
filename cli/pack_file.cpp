#include "cli/pack_file.h"

#include "cli/commands.h"

#include <algorithm>

namespace cli {

namespace {

constexpr size_t DIRECTORY_READ_BYTES = 1024 * 1024;

// Feeds the decoder from large reads and counts what it consumed, so that
// a refusal can name the file position of the record.
struct BufferedSource {
    InputFile* file;
    std::vector<unsigned char> buffer;
    size_t start = 0;        // next unread byte in buffer
    size_t end = 0;          // bytes held in buffer
    uint64_t filePosition = 0; // file position of buffer[end]
    uint64_t consumed = 0;   // bytes handed to the decoder
    bool failed = false;
    SystemError error;

    static uint32_t Read(void* context, unsigned char* out, uint32_t count)
    {
        auto* self = static_cast<BufferedSource*>(context);
        if (self->start == self->end) {
            const int64_t got =
                self->file->ReadAt(self->filePosition, self->buffer.data(), self->buffer.size(), &self->error);
            if (got <= 0) {
                self->failed = got < 0;
                return 0;
            }
            self->start = 0;
            self->end = size_t(got);
            self->filePosition += uint64_t(got);
        }
        const size_t given = std::min<size_t>(count, self->end - self->start);
        std::copy_n(self->buffer.data() + self->start, given, out);
        self->start += given;
        self->consumed += given;
        return uint32_t(given);
    }
};

struct RecordList {
    std::vector<StoredEntry>* entries;
    BufferedSource* source;
    uint64_t recordStart = 4; // where the record being decoded begins

    static bool Accept(void* context, const DirectoryRecord* record)
    {
        auto* self = static_cast<RecordList*>(context);
        self->entries->push_back({std::string(record->name, record->nameLength), record->size, record->offset});
        self->recordStart = self->source->consumed;
        return true;
    }
};

} // namespace

std::string DirectoryResultText(DirectoryResult result)
{
    switch (result) {
    case DIRECTORY_OK:
        return "no damage";
    case DIRECTORY_TRUNCATED:
        return "the file ends inside the directory";
    case DIRECTORY_RECORD_TOO_LONG:
        return "record longer than 264 bytes";
    case DIRECTORY_NAME_UNENDED:
        return "name without its terminating zero";
    case DIRECTORY_RECORD_TOO_SHORT:
        return "record too short for its size and offset";
    case DIRECTORY_STOPPED:
        return "stopped";
    }
    return "unknown damage";
}

std::string DamageText(const DirectoryDamage& damage)
{
    if (damage.inHeader)
        return "damaged pack: " + DirectoryResultText(damage.result) + " (entry count at file position 0)";
    return "damaged pack: " + DirectoryResultText(damage.result) + " (record " + std::to_string(damage.record) +
           " at file position " + std::to_string(damage.position) + ")";
}

PackFile::Status PackFile::Open(const std::string& path)
{
    path_ = path;
    entries_.clear();
    damage_ = DirectoryDamage();
    if (!file_.Open(path, &error_) || !file_.Size(&fileSize_, &error_))
        status_ = Status::Unreadable;
    else
        status_ = ReadEntries();
    return status_;
}

std::string PackFile::Problem() const
{
    if (status_ == Status::Unreadable)
        return path_ + ": " + error_.Text();
    return path_ + ": " + DamageText(damage_);
}

PackFile::Status PackFile::ReadEntries()
{
    BufferedSource source;
    source.file = &file_;
    source.buffer.resize(DIRECTORY_READ_BYTES);
    RecordList list;
    list.entries = &entries_;
    list.source = &source;
    const ByteSource bytes = {&BufferedSource::Read, &source};
    const RecordSink sink = {&RecordList::Accept, &list};
    uint64_t dataAreaStart = 0;
    const DirectoryResult result = ReadDirectory(&bytes, &sink, &dataAreaStart);
    if (result == DIRECTORY_OK) {
        dataAreaStart_ = dataAreaStart;
        return Status::Read;
    }
    // The decoder sees a failed read as the end of the file; only a file
    // that really ends early is damaged (a pipe cannot be read at a position).
    if (source.failed) {
        error_ = source.error;
        return Status::Unreadable;
    }
    damage_.result = result;
    damage_.inHeader = source.consumed < 4;
    damage_.record = uint32_t(entries_.size());
    damage_.position = damage_.inHeader ? 0 : list.recordStart;
    return Status::Damaged;
}

bool OpenPackOrSay(const std::string& path, PackFile* pack, const std::string& damageTail)
{
    switch (pack->Open(path)) {
    case PackFile::Status::Read:
        return true;
    case PackFile::Status::Unreadable:
        Message(pack->Problem());
        return false;
    case PackFile::Status::Damaged:
        Message(pack->Problem() + damageTail);
        return false;
    }
    return false;
}

bool CopyEntry(PackFile& pack, const StoredEntry& entry, std::vector<unsigned char>& block,
               const std::function<bool(const unsigned char* data, size_t count)>& consume, std::string* error)
{
    if (block.size() < TRANSFER_BLOCK_BYTES)
        block.resize(TRANSFER_BLOCK_BYTES);
    uint64_t position = pack.DataAreaStart() + entry.offset;
    uint64_t left = entry.size;
    while (left > 0) {
        if (Interrupted()) {
            *error = "interrupted";
            return false;
        }
        const size_t want = size_t(std::min<uint64_t>(left, block.size()));
        SystemError readError;
        const int64_t got = pack.File().ReadAt(position, block.data(), want, &readError);
        if (got < 0) {
            *error = "read failed: " + readError.Text();
            return false;
        }
        if (got == 0) {
            *error = "the entry runs past the end of the pack";
            return false;
        }
        NegateBytes(block.data(), uint32_t(got));
        if (!consume(block.data(), size_t(got))) {
            error->clear();
            return false;
        }
        position += uint64_t(got);
        left -= uint64_t(got);
    }
    return true;
}

} // namespace cli
