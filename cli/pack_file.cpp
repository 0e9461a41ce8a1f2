#include "cli/pack_file.h"

#include "cli/messages.h"
#include "cli/names.h"

#include <algorithm>

namespace cli {

namespace {

constexpr size_t DIRECTORY_READ_BYTES = 1024 * 1024;

// The pack file read in order from position 0, as the buffered reader
// wants it.
struct FileBytes {
    InputFile* file;
    uint64_t position = 0;
    bool failed = false; // a read failed: the decoder takes that for the end
    SystemError error;

    static uint32_t Read(void* context, unsigned char* out, uint32_t count)
    {
        auto* self = static_cast<FileBytes*>(context);
        const int64_t got = self->file->ReadAt(self->position, out, count, &self->error);
        self->failed = self->failed || got < 0;
        if (got <= 0)
            return 0;
        self->position += uint64_t(got);
        return uint32_t(got);
    }
};

struct RecordList {
    std::vector<StoredEntry>* entries;
    RecordReceiver* receiver; // takes the records instead of entries when set
    BufferedSource* source;
    uint32_t count = 0;       // records taken
    uint64_t recordStart = 4; // where the record being decoded begins

    static bool Accept(void* context, const DirectoryRecord* record)
    {
        auto* self = static_cast<RecordList*>(context);
        if (self->receiver != nullptr)
            self->receiver->Take(*record);
        else
            self->entries->push_back({std::string(record->name, record->nameLength), record->size, record->offset});
        ++self->count;
        // What the decoder has taken so far ends with this record.
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

PackFile::Status PackFile::Open(const std::string& path, RecordReceiver* receiver)
{
    path_ = path;
    entries_.clear();
    damage_ = DirectoryDamage();
    if (!file_.Open(path, &error_) || !file_.Size(&fileSize_, &error_))
        status_ = Status::Unreadable;
    else
        status_ = ReadEntries(receiver);
    return status_;
}

std::string PackFile::Problem() const
{
    if (status_ == Status::Unreadable)
        return path_ + ": " + error_.Text();
    return path_ + ": " + DamageText(damage_);
}

PackFile::Status PackFile::ReadEntries(RecordReceiver* receiver)
{
    if (receiver != nullptr) {
        unsigned char header[4];
        SystemError ignored; // a failed read is reported by the walk below
        if (file_.ReadAt(0, header, 4, &ignored) == 4) {
            NegateBytes(header, 4);
            const int32_t declared = static_cast<int32_t>(ReadLittleEndian32(header));
            const uint64_t room = fileSize_ < 4 ? 0 : (fileSize_ - 4) / StoredRecordBytes(0);
            receiver->Expect(declared <= 0 ? 0 : uint32_t(std::min<uint64_t>(uint64_t(declared), room)));
        }
    }
    FileBytes file;
    file.file = &file_;
    std::vector<unsigned char> block(DIRECTORY_READ_BYTES);
    BufferedSource source{{&FileBytes::Read, &file}, block.data(), uint32_t(block.size()), 0, 0, 0};
    RecordList list;
    list.entries = &entries_;
    list.receiver = receiver;
    list.source = &source;
    const ByteSource bytes = {&ReadBuffered, &source};
    const RecordSink sink = {&RecordList::Accept, &list};
    uint64_t dataAreaStart = 0;
    const DirectoryResult result = ReadDirectory(&bytes, &sink, &dataAreaStart);
    if (result == DIRECTORY_OK) {
        dataAreaStart_ = dataAreaStart;
        return Status::Read;
    }
    // The decoder sees a failed read as the end of the file; only a file
    // that really ends early is damaged (a pipe cannot be read at a position).
    if (file.failed) {
        error_ = file.error;
        return Status::Unreadable;
    }
    damage_.result = result;
    damage_.inHeader = source.consumed < 4;
    damage_.record = list.count;
    damage_.position = damage_.inHeader ? 0 : list.recordStart;
    return Status::Damaged;
}

bool OpenPackOrSay(const std::string& path, PackFile* pack, const std::string& damageTail, RecordReceiver* receiver)
{
    switch (pack->Open(path, receiver)) {
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

EntryRead ReadEntryBytes(PackFile& pack, uint32_t entryOffset, uint64_t from, unsigned char* out, size_t count,
                         EntryBytes form, SystemError* error)
{
    const uint64_t position = pack.DataAreaStart() + entryOffset + from;
    for (size_t done = 0; done < count;) {
        const int64_t got = pack.File().ReadAt(position + done, out + done, count - done, error);
        if (got < 0)
            return EntryRead::Failed;
        if (got == 0)
            return EntryRead::PastEnd;
        done += size_t(got);
    }
    if (form == EntryBytes::Restored)
        NegateBytes(out, uint32_t(count));
    return EntryRead::Done;
}

bool CopyEntry(PackFile& pack, const StoredEntry& entry, std::vector<unsigned char>& block,
               const std::function<bool(const unsigned char* data, size_t count)>& consume, std::string* error)
{
    if (block.size() < TRANSFER_BLOCK_BYTES)
        block.resize(TRANSFER_BLOCK_BYTES);
    for (uint64_t done = 0; done < entry.size;) {
        if (Interrupted()) {
            *error = "interrupted";
            return false;
        }
        const size_t want = size_t(std::min<uint64_t>(entry.size - done, block.size()));
        SystemError readError;
        switch (ReadEntryBytes(pack, entry.offset, done, block.data(), want, EntryBytes::Restored, &readError)) {
        case EntryRead::Failed:
            *error = "read failed: " + readError.Text();
            return false;
        case EntryRead::PastEnd:
            *error = "the entry runs past the end of the pack";
            return false;
        case EntryRead::Done:
            break;
        }
        if (!consume(block.data(), want)) {
            error->clear();
            return false;
        }
        done += want;
    }
    return true;
}

std::string EntryLabel(uint32_t index, std::string_view name)
{
    return "entry " + std::to_string(index) + " '" + NameToUtf8(name, NameForm::Text) + "'";
}

std::string EntryLabelWithBytes(uint32_t index, std::string_view name)
{
    return EntryLabel(index, name) + " (name_hex " + HexBytes(name) + ")";
}

void FindPastEnd(const PackFile& pack, const std::function<void(uint32_t index, uint64_t end)>& found)
{
    const std::vector<StoredEntry>& entries = pack.Entries();
    for (uint32_t i = 0; i < entries.size(); ++i) {
        const uint64_t end = pack.DataAreaStart() + entries[i].offset + entries[i].size;
        if (end > pack.FileSize())
            found(i, end);
    }
}

bool EntriesInsideOrSay(const PackFile& pack)
{
    bool inside = true;
    FindPastEnd(pack, [&](uint32_t index, uint64_t end) {
        Message(pack.Path() + ": " + EntryLabel(index, pack.Entries()[index].name) + " " +
                PastEndText(end, pack.FileSize()));
        inside = false;
    });
    return inside;
}

std::string PastEndText(uint64_t end, uint64_t fileSize)
{
    return "runs past the end of the file (ends at " + std::to_string(end) + ", the file has " +
           std::to_string(fileSize) + " bytes)";
}

void SweepByOffset(const std::vector<StoredEntry>& entries,
                   const std::function<void(uint32_t index, uint64_t reach, std::optional<uint32_t> overlapped)>& visit)
{
    std::vector<uint32_t> order;
    for (uint32_t i = 0; i < entries.size(); ++i) {
        if (entries[i].size > 0)
            order.push_back(i);
    }
    std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
        return entries[a].offset != entries[b].offset ? entries[a].offset < entries[b].offset : a < b;
    });
    uint64_t reach = 0;
    uint32_t furthest = 0;
    bool any = false;
    for (const uint32_t i : order) {
        const uint64_t end = uint64_t(entries[i].offset) + entries[i].size;
        visit(i, reach, any && entries[i].offset < reach ? std::optional<uint32_t>(furthest) : std::nullopt);
        if (!any || end > reach) {
            reach = std::max(reach, end);
            furthest = i;
        }
        any = true;
    }
}

} // namespace cli
