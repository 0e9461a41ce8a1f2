// diff --patch: the records of what changed from OLD to NEW, with NEW's
// bytes of what was added or modified, written as every file quorvel-cli
// writes: complete, or not at all.
#include "cli/patch_making.h"

#include "cli/messages.h"
#include "cli/names.h"
#include "cli/new_pack.h"
#include "cli/patch_file.h"

#include <algorithm>
#include <string_view>
#include <unordered_map>

namespace cli {

namespace {

// Which entry of its name each entry of a pack is, from 0.
std::vector<uint32_t> Occurrences(const std::vector<StoredEntry>& entries)
{
    std::unordered_map<std::string_view, uint32_t> seen;
    std::vector<uint32_t> occurrence(entries.size());
    for (size_t i = 0; i < entries.size(); ++i)
        occurrence[i] = seen[entries[i].name]++;
    return occurrence;
}

bool DigestOf(PackFile& pack, const StoredEntry& entry, std::vector<unsigned char>& block, Sha256Digest* digest)
{
    std::string error;
    if (EntryDigest(pack, entry, block, digest, &error))
        return true;
    if (!Interrupted())
        Message(pack.Path() + ": entry '" + NameToUtf8(entry.name, NameForm::Text) + "': " + error);
    return false;
}

// The records of a patch and, for each A and M record, the entry of NEW
// whose bytes follow the records.
struct PatchPlan {
    std::vector<PatchRecord> records;
    std::vector<uint32_t> newEntryOf; // per A and M record, in order
};

bool PlanRecords(PackFile& oldPack, PackFile& newPack, const Pairing& pairing, PatchPlan* plan)
{
    const std::vector<StoredEntry>& oldEntries = oldPack.Entries();
    const std::vector<StoredEntry>& newEntries = newPack.Entries();
    const std::vector<uint32_t> oldOccurrence = Occurrences(oldEntries);
    auto oldKey = [&](int64_t i) { return EntryKey{oldEntries[size_t(i)].name, oldOccurrence[size_t(i)]}; };
    std::vector<unsigned char> block(TRANSFER_BLOCK_BYTES);

    bool anchored = false;
    EntryKey anchor;
    bool reordered = false;
    int64_t lastPaired = -1;
    for (uint32_t n = 0; n < newEntries.size(); ++n) {
        const int64_t old = pairing.oldOfNew[n];
        if (old >= 0) {
            reordered = reordered || old < lastPaired;
            lastPaired = old;
            anchored = true;
            anchor = oldKey(old);
        }
        if (old >= 0 && !pairing.modified[n])
            continue;
        PatchRecord record;
        record.newSize = newEntries[n].size;
        if (!DigestOf(newPack, newEntries[n], block, &record.newDigest))
            return false;
        if (old < 0) {
            record.kind = 'A';
            record.key = {newEntries[n].name, pairing.occurrence[n]};
            record.anchored = anchored;
            record.anchor = anchor;
        } else {
            record.kind = 'M';
            record.key = oldKey(old);
            record.oldSize = oldEntries[size_t(old)].size;
            if (!DigestOf(oldPack, oldEntries[size_t(old)], block, &record.oldDigest))
                return false;
        }
        plan->records.push_back(std::move(record));
        plan->newEntryOf.push_back(n);
    }
    for (uint32_t i = 0; i < oldEntries.size(); ++i) {
        if (pairing.paired[i])
            continue;
        PatchRecord record;
        record.kind = 'D';
        record.key = oldKey(i);
        record.oldSize = oldEntries[i].size;
        if (!DigestOf(oldPack, oldEntries[i], block, &record.oldDigest))
            return false;
        plan->records.push_back(std::move(record));
    }
    // Entries that only moved are no difference to diff, but NEW's order is
    // part of NEW: then the patch lists every paired entry in that order.
    for (uint32_t n = 0; reordered && n < newEntries.size(); ++n) {
        if (pairing.oldOfNew[n] >= 0) {
            PatchRecord record;
            record.kind = 'O';
            record.key = oldKey(pairing.oldOfNew[n]);
            plan->records.push_back(std::move(record));
        }
    }
    return true;
}

// The records, then NEW's stored bytes of each A and M record.
bool WriteRecordsAndBytes(PackFile& newPack, const PatchPlan& plan, TempFile& out, const std::string& path)
{
    PatchWriter writer(out);
    SystemError error;
    bool written = writer.Begin(plan.records, &error);
    std::vector<unsigned char> block(TRANSFER_BLOCK_BYTES);
    for (size_t k = 0; written && k < plan.newEntryOf.size(); ++k) {
        const StoredEntry& entry = newPack.Entries()[plan.newEntryOf[k]];
        const uint64_t start = newPack.DataAreaStart() + entry.offset;
        for (uint64_t done = 0; written && done < entry.size;) {
            if (Interrupted())
                return false;
            const size_t want = size_t(std::min<uint64_t>(block.size(), entry.size - done));
            SystemError readError;
            const int64_t got = newPack.File().ReadAt(start + done, block.data(), want, &readError);
            if (got <= 0) {
                Message(newPack.Path() + ": " + (got < 0 ? readError.Text() : "changed while it was being read"));
                return false;
            }
            written = writer.AddStoredBytes(block.data(), size_t(got), &error);
            done += uint64_t(got);
        }
    }
    written = written && writer.Finish(&error);
    if (!written)
        Message("cannot write " + path + ": " + error.Text());
    return written;
}

} // namespace

int WritePatchFile(PackFile& oldPack, PackFile& newPack, const Pairing& pairing, const std::string& path, bool force)
{
    std::string parentPath;
    std::string fileName;
    SplitPath(path, &parentPath, &fileName);
    if (fileName.empty()) {
        Message(path + ": not a file name; no patch written");
        return EXIT_FATAL;
    }
    PackTarget target;
    if (!OpenNewTarget(path, force, "no patch written", &target))
        return EXIT_FATAL;
    PackWriter writer(target, {"no patch written", "no patch written", path + ": appeared meanwhile; no patch written",
                               path + ": ", "; no patch written"});
    PatchPlan plan;
    SystemError error;
    bool written = PlanRecords(oldPack, newPack, pairing, &plan);
    if (written && !writer.StartEmpty(&error)) {
        Message(path + ": " + error.Text() + "; no patch written");
        return EXIT_FATAL;
    }
    written = written && WriteRecordsAndBytes(newPack, plan, writer.Out(), path);
    return writer.Finish(written);
}

} // namespace cli
