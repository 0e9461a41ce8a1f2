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

// What PlanRecords' steps share: both packs, their pairing, and how each
// of OLD's entries is named in a record.
struct Planning {
    PackFile& oldPack;
    PackFile& newPack;
    const Pairing& pairing;
    std::vector<uint32_t> oldOccurrence;
    std::vector<unsigned char> block;

    EntryKey OldKey(int64_t i) const { return EntryKey{oldPack.Entries()[size_t(i)].name, oldOccurrence[size_t(i)]}; }
};

// An A record for each entry only NEW has, anchored after the paired entry
// before it in NEW, and an M record for each modified one; *reordered when
// NEW holds paired entries in another order than OLD.
bool AddedAndModified(Planning& planning, PatchPlan* plan, bool* reordered)
{
    const std::vector<StoredEntry>& newEntries = planning.newPack.Entries();
    bool anchored = false;
    EntryKey anchor;
    int64_t lastPaired = -1;
    for (uint32_t n = 0; n < newEntries.size(); ++n) {
        const int64_t old = planning.pairing.oldOfNew[n];
        if (old >= 0) {
            *reordered = *reordered || old < lastPaired;
            lastPaired = old;
            anchored = true;
            anchor = planning.OldKey(old);
        }
        if (old >= 0 && !planning.pairing.modified[n])
            continue;
        PatchRecord record;
        record.newSize = newEntries[n].size;
        if (!DigestOf(planning.newPack, newEntries[n], planning.block, &record.newDigest))
            return false;
        if (old < 0) {
            record.kind = 'A';
            record.key = {newEntries[n].name, planning.pairing.occurrence[n]};
            record.anchored = anchored;
            record.anchor = anchor;
        } else {
            const StoredEntry& oldEntry = planning.oldPack.Entries()[size_t(old)];
            record.kind = 'M';
            record.key = planning.OldKey(old);
            record.oldSize = oldEntry.size;
            if (!DigestOf(planning.oldPack, oldEntry, planning.block, &record.oldDigest))
                return false;
        }
        plan->records.push_back(std::move(record));
        plan->newEntryOf.push_back(n);
    }
    return true;
}

bool Removed(Planning& planning, PatchPlan* plan)
{
    const std::vector<StoredEntry>& oldEntries = planning.oldPack.Entries();
    for (uint32_t i = 0; i < oldEntries.size(); ++i) {
        if (planning.pairing.paired[i])
            continue;
        PatchRecord record;
        record.kind = 'D';
        record.key = planning.OldKey(i);
        record.oldSize = oldEntries[i].size;
        if (!DigestOf(planning.oldPack, oldEntries[i], planning.block, &record.oldDigest))
            return false;
        plan->records.push_back(std::move(record));
    }
    return true;
}

bool PlanRecords(PackFile& oldPack, PackFile& newPack, const Pairing& pairing, PatchPlan* plan)
{
    Planning planning{oldPack, newPack, pairing, Occurrences(oldPack.Entries()),
                      std::vector<unsigned char>(TRANSFER_BLOCK_BYTES)};
    bool reordered = false;
    if (!AddedAndModified(planning, plan, &reordered) || !Removed(planning, plan))
        return false;
    // Entries that only moved are no difference to diff, but NEW's order is
    // part of NEW: then the patch lists every paired entry in that order.
    for (uint32_t n = 0; reordered && n < newPack.Entries().size(); ++n) {
        if (pairing.oldOfNew[n] >= 0) {
            PatchRecord record;
            record.kind = 'O';
            record.key = planning.OldKey(pairing.oldOfNew[n]);
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
        for (uint64_t done = 0; written && done < entry.size;) {
            if (Interrupted())
                return false;
            const size_t want = size_t(std::min<uint64_t>(block.size(), entry.size - done));
            SystemError readError;
            const EntryRead read =
                ReadEntryBytes(newPack, entry.offset, done, block.data(), want, EntryBytes::Stored, &readError);
            if (read != EntryRead::Done) {
                Message(newPack.Path() + ": " +
                        (read == EntryRead::Failed ? readError.Text() : "changed while it was being read"));
                return false;
            }
            written = writer.AddStoredBytes(block.data(), want, &error);
            done += want;
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
    if (!NamesAFileOrSay(path, "; no patch written"))
        return EXIT_FATAL;
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
