// patch: a patch made by diff --patch applied to the user's own copy of
// the pack, after checking that every entry it touches is what the patch
// was made from (or already what it makes).
#include "cli/changes.h"
#include "cli/commands.h"
#include "cli/names.h"
#include "cli/pack_file.h"
#include "cli/new_pack.h"
#include "cli/patch_file.h"
#include "cli/standard_output.h"

#include <algorithm>
#include <optional>
#include <string_view>
#include <unordered_map>

namespace cli {

namespace {

enum class State { ToApply, Applied, Mismatch };

// PACK's entries found by the keys a patch names them with.
class EntryIndex {
public:
    explicit EntryIndex(const std::vector<StoredEntry>& entries)
    {
        byName_.reserve(entries.size());
        for (uint32_t i = 0; i < entries.size(); ++i)
            byName_[entries[i].name].push_back(i);
    }

    std::optional<uint32_t> Find(const EntryKey& key) const
    {
        const auto found = byName_.find(key.name);
        if (found == byName_.end() || key.occurrence >= found->second.size())
            return std::nullopt;
        return found->second[key.occurrence];
    }

private:
    std::unordered_map<std::string_view, std::vector<uint32_t>> byName_;
};

struct Finding {
    State state = State::ToApply;
    std::optional<uint32_t> entry; // in PACK
    std::string why;               // for a mismatch
};

std::string MismatchText(const PatchRecord& record, uint32_t heldSize)
{
    const std::string expected =
        record.kind == 'A' ? "absent, or the " + std::to_string(record.newSize) + " bytes the patch adds (SHA-256 " +
                                 DigestText(record.newDigest) + ")"
                           : "the " + std::to_string(record.oldSize) + " bytes the patch was made from (SHA-256 " +
                                 DigestText(record.oldDigest) + ")";
    return "holds " + std::to_string(heldSize) + " other bytes; expected " + expected;
}

bool DigestOrSay(PackFile& pack, uint32_t index, std::vector<unsigned char>& block, std::optional<Sha256Digest>* digest)
{
    const StoredEntry& entry = pack.Entries()[index];
    Sha256Digest computed;
    std::string error;
    if (!EntryDigest(pack, entry, block, &computed, &error)) {
        if (!Interrupted())
            Message(pack.Path() + ": " + EntryLabel(index, entry.name) + ": " + error + "; nothing written");
        return false;
    }
    *digest = computed;
    return true;
}

// Whether an entry of size bytes, with digest where one was taken, holds
// the bytes a record names by their size and SHA-256.
bool HoldsBytes(uint32_t size, const std::optional<Sha256Digest>& digest, uint32_t wantedSize,
                const Sha256Digest& wantedDigest)
{
    return digest && size == wantedSize && *digest == wantedDigest;
}

// What one record finds in PACK: the bytes it was made from, the bytes it
// makes, or neither. Digests only where the size could match.
bool Examine(PackFile& pack, const EntryIndex& index, const PatchRecord& record, std::vector<unsigned char>& block,
             Finding* finding)
{
    finding->entry = index.Find(record.key);
    const bool touchesOld = record.kind != 'A';
    const bool makesNew = record.kind != 'D';
    if (!finding->entry) {
        finding->state = record.kind == 'M' ? State::Mismatch : record.kind == 'D' ? State::Applied : State::ToApply;
        finding->why = "missing; the patch modifies it";
        return true;
    }
    const StoredEntry& entry = pack.Entries()[*finding->entry];
    std::optional<Sha256Digest> digest;
    const bool sizeFits = (touchesOld && entry.size == record.oldSize) || (makesNew && entry.size == record.newSize);
    if (sizeFits && !DigestOrSay(pack, *finding->entry, block, &digest))
        return false;
    const bool old = touchesOld && HoldsBytes(entry.size, digest, record.oldSize, record.oldDigest);
    const bool made = makesNew && HoldsBytes(entry.size, digest, record.newSize, record.newDigest);
    if (old) {
        finding->state = State::ToApply;
    } else if (made) {
        finding->state = State::Applied;
    } else {
        finding->state = State::Mismatch;
        finding->why = MismatchText(record, entry.size);
    }
    return true;
}

// One entry of the new pack: one of PACK's, as stored, or new bytes from
// the patch.
struct Slot {
    bool fromPatch;
    uint32_t index; // into PACK's entries, or into the patch's records
};

struct Application {
    std::vector<Slot> slots;
    uint64_t modified = 0;
    uint64_t added = 0;
    uint64_t removed = 0;
    uint64_t alreadyApplied = 0;
};

// What the records to apply do to PACK's entries.
struct EntryChanges {
    std::vector<std::optional<uint32_t>> replacedBy; // the record that modifies each entry
    std::vector<bool> removed;
};

EntryChanges ChangesToApply(size_t entryCount, const Patch& patch, const std::vector<Finding>& findings)
{
    EntryChanges changes{std::vector<std::optional<uint32_t>>(entryCount), std::vector<bool>(entryCount, false)};
    for (uint32_t r = 0; r < patch.records.size(); ++r) {
        const PatchRecord& record = patch.records[r];
        if (record.kind == 'O' || findings[r].state != State::ToApply)
            continue;
        if (record.kind == 'M')
            changes.replacedBy[*findings[r].entry] = r;
        if (record.kind == 'D')
            changes.removed[*findings[r].entry] = true;
    }
    return changes;
}

// PACK's entries that stay, in PACK's order, except that moved entries
// take the places the listed ones hold, in the listed order.
std::vector<uint32_t> KeptOrder(const EntryIndex& index, const Patch& patch, const std::vector<bool>& removed)
{
    std::vector<uint32_t> order;
    for (uint32_t i = 0; i < removed.size(); ++i) {
        if (!removed[i])
            order.push_back(i);
    }
    std::vector<uint32_t> listed;
    for (const PatchRecord& record : patch.records) {
        const std::optional<uint32_t> found = record.kind == 'O' ? index.Find(record.key) : std::nullopt;
        if (found && !removed[*found])
            listed.push_back(*found);
    }
    if (!listed.empty()) {
        std::vector<bool> isListed(removed.size(), false);
        for (const uint32_t i : listed)
            isListed[i] = true;
        size_t next = 0;
        for (uint32_t& i : order) {
            if (isListed[i])
                i = listed[next++];
        }
    }
    return order;
}

// Where each added entry goes: at the start when it came first in NEW,
// right after the entry it followed in NEW, or at the end (in NEW's
// order) where PACK lacks that entry.
struct AddedPlaces {
    std::vector<uint32_t> atStart;
    std::vector<std::vector<uint32_t>> after; // by PACK's entry
    std::vector<uint32_t> atEnd;
};

AddedPlaces PlaceAdded(const EntryIndex& index, const Patch& patch, const std::vector<Finding>& findings,
                       const std::vector<bool>& removed)
{
    AddedPlaces places;
    places.after.resize(removed.size());
    for (uint32_t r = 0; r < patch.records.size(); ++r) {
        const PatchRecord& record = patch.records[r];
        if (record.kind != 'A' || findings[r].state != State::ToApply)
            continue;
        const std::optional<uint32_t> anchor = record.anchored ? index.Find(record.anchor) : std::nullopt;
        if (!record.anchored)
            places.atStart.push_back(r);
        else if (anchor && !removed[*anchor])
            places.after[*anchor].push_back(r);
        else
            places.atEnd.push_back(r);
    }
    return places;
}

// The new pack's order: PACK's, less the removed entries, modified ones in
// their place, the listed order where NEW moved entries, and the added
// entries where PlaceAdded puts them.
void Arrange(const std::vector<StoredEntry>& entries, const EntryIndex& index, const Patch& patch,
             const std::vector<Finding>& findings, Application* application)
{
    const EntryChanges changes = ChangesToApply(entries.size(), patch, findings);
    const AddedPlaces added = PlaceAdded(index, patch, findings, changes.removed);
    auto place = [&](const std::vector<uint32_t>& records) {
        for (const uint32_t r : records)
            application->slots.push_back({true, r});
        application->added += records.size();
    };
    place(added.atStart);
    for (const uint32_t i : KeptOrder(index, patch, changes.removed)) {
        if (changes.replacedBy[i])
            application->slots.push_back({true, *changes.replacedBy[i]});
        else
            application->slots.push_back({false, i});
        place(added.after[i]);
    }
    place(added.atEnd);
}

// Checks every record against PACK; says each mismatch. False when one
// could not be read.
bool ExamineAll(PackFile& pack, const EntryIndex& index, const Patch& patch, std::vector<Finding>* findings, bool* fits)
{
    std::vector<unsigned char> block(TRANSFER_BLOCK_BYTES);
    findings->resize(patch.records.size());
    *fits = true;
    for (size_t r = 0; r < patch.records.size(); ++r) {
        const PatchRecord& record = patch.records[r];
        if (record.kind == 'O')
            continue;
        if (!Examine(pack, index, record, block, &(*findings)[r]))
            return false;
        if ((*findings)[r].state == State::Mismatch) {
            *fits = false;
            const std::string& name = record.key.name;
            Message(pack.Path() + ": entry '" + NameToUtf8(name, NameForm::Text) + "' (name_hex " + HexBytes(name) +
                    (record.key.occurrence > 0
                         ? ", the " + std::to_string(record.key.occurrence + 1) + "th of that name"
                         : std::string()) +
                    "): " + (*findings)[r].why);
        }
    }
    return true;
}

void Count(const Patch& patch, const std::vector<Finding>& findings, Application* application)
{
    for (size_t r = 0; r < patch.records.size(); ++r) {
        const char kind = patch.records[r].kind;
        if (kind == 'O')
            continue;
        if (findings[r].state == State::Applied)
            ++application->alreadyApplied;
        else if (kind == 'M')
            ++application->modified;
        else if (kind == 'D')
            ++application->removed;
    }
}

// As diff prints it: the new pack's order, then the removed entries in PACK's.
int PrintChanges(const PackFile& pack, const Patch& patch, const std::vector<Finding>& findings,
                 const Application& application)
{
    const std::vector<StoredEntry>& entries = pack.Entries();
    for (const Slot& slot : application.slots) {
        if (!slot.fromPatch)
            continue;
        const PatchRecord& record = patch.records[slot.index];
        if (record.kind == 'A')
            WriteChange({ChangeKind::Added, record.key.name, std::nullopt, record.newSize}, false);
        else
            WriteChange({ChangeKind::Modified, record.key.name, record.oldSize, record.newSize}, false);
    }
    std::vector<uint32_t> removed;
    for (size_t r = 0; r < patch.records.size(); ++r) {
        if (patch.records[r].kind == 'D' && findings[r].state == State::ToApply)
            removed.push_back(*findings[r].entry);
    }
    std::sort(removed.begin(), removed.end());
    for (const uint32_t i : removed)
        WriteChange({ChangeKind::Removed, entries[i].name, entries[i].size, std::nullopt}, false);
    return ChangesWrittenOrSay("changes") ? EXIT_DONE : EXIT_FATAL;
}

// Whether the new pack would be PACK's entries, as stored, in PACK's order.
bool LeavesAsItIs(const Application& application, size_t entryCount)
{
    if (application.slots.size() != entryCount)
        return false;
    for (size_t i = 0; i < entryCount; ++i) {
        if (application.slots[i].fromPatch || application.slots[i].index != i)
            return false;
    }
    return true;
}

std::string Summary(const Application& application)
{
    std::string text = std::to_string(application.modified) + " changed, " + std::to_string(application.added) +
                       " added, " + std::to_string(application.removed) + " removed";
    if (application.alreadyApplied > 0)
        text += "; " + std::to_string(application.alreadyApplied) + " already applied";
    return text;
}

std::vector<Planned> Layout(const PackFile& pack, const Patch& patch, const Application& application)
{
    std::vector<Planned> layout;
    layout.reserve(application.slots.size());
    for (const Slot& slot : application.slots) {
        if (slot.fromPatch) {
            const PatchRecord& record = patch.records[slot.index];
            layout.push_back({std::string(), record.key.name, record.newSize, {}});
        } else {
            const StoredEntry& entry = pack.Entries()[slot.index];
            layout.push_back({std::string(), entry.name, entry.size, {}});
        }
    }
    return layout;
}

// The data area: PACK's entries that lie one after another go as one run.
bool WriteData(PackFile& pack, InputFile& patchFile, const PatchOptions& options, const Patch& patch,
               const Application& application, PackWriter& writer)
{
    const std::vector<Slot>& slots = application.slots;
    const auto keptAt = [&](size_t k) {
        return slots[k].fromPatch ? std::nullopt : std::optional<uint32_t>(slots[k].index);
    };
    for (size_t i = 0; i < slots.size();) {
        if (!slots[i].fromPatch) {
            if (!writer.CopyKeptRun(pack, i, slots.size(), keptAt, &i))
                return false;
            continue;
        }
        const PatchRecord& record = patch.records[slots[i].index];
        if (!writer.CopyRun(patchFile, options.patch, record.dataPosition, record.newSize))
            return false;
        writer.EntriesDone(1);
        ++i;
    }
    return true;
}

// Writes the new pack beside the destination and puts it in place, as
// update does: PACK and the destination stay as they were unless the whole
// new pack is there.
int WriteNewPack(PackToRewrite& rewritten, InputFile& patchFile, const PatchOptions& options, const Patch& patch,
                 const Application& application)
{
    PackFile& pack = rewritten.pack;
    const std::string& destination = options.output.empty() ? options.pack : options.output;
    if (!NamesAFileOrSay(destination, "; nothing written"))
        return EXIT_FATAL;
    PackTarget target;
    if (!OpenTarget(rewritten, options.output, options.force, &target))
        return EXIT_FATAL;
    const std::vector<Planned> layout = Layout(pack, patch, application);
    if (!CheckOffsets(layout)) {
        Message("nothing written");
        return EXIT_FATAL;
    }
    WriterWords words = ReplacingWords(destination);
    words.appeared = "cannot put the new pack in place of " + destination + ": it appeared meanwhile; it is as it was";
    PackWriter writer(target, std::move(words));
    if (!writer.Start(layout, options.quiet) || !writer.TakePermissionsOf(pack.File(), options.pack))
        return EXIT_FATAL;
    const bool written = WriteData(pack, patchFile, options, patch, application, writer);
    return writer.Finish(written, false, &rewritten);
}

} // namespace

int RunPatch(const PatchOptions& options)
{
    InputFile patchFile;
    Patch patch;
    std::string why;
    if (!ReadPatch(options.patch, &patchFile, &patch, &why)) {
        Message(options.patch + ": " + why + "; nothing written");
        return EXIT_FATAL;
    }
    // The pack is locked against update and other patch runs from here to
    // its replacement, so that neither loses the other's changes.
    PackToRewrite rewritten;
    if (!OpenPackToRewrite(options.pack, options.dryRun, &rewritten))
        return EXIT_FATAL;
    PackFile& pack = rewritten.pack;
    InstallInterruptHandler();
    const EntryIndex index(pack.Entries());
    std::vector<Finding> findings;
    bool fits = true;
    if (!ExamineAll(pack, index, patch, &findings, &fits))
        return Interrupted() ? InterruptExitCode() : EXIT_FATAL;
    if (!fits) {
        Message(options.pack + ": the patch was made for another pack; nothing written");
        return EXIT_FATAL;
    }
    Application application;
    Arrange(pack.Entries(), index, patch, findings, &application);
    Count(patch, findings, &application);
    const bool sameOrder = LeavesAsItIs(application, pack.Entries().size());
    if (options.dryRun) {
        const int printed = PrintChanges(pack, patch, findings, application);
        if (printed == EXIT_DONE && !options.quiet)
            Message(options.pack + ": " + (sameOrder ? std::string("already applied") : Summary(application)) +
                    " (dry run; nothing written)");
        return printed;
    }
    if (sameOrder) {
        Message(options.pack + ": already applied; nothing written");
        return EXIT_DONE;
    }
    // Entries kept as they are stored are copied whole: none may lie past
    // the end of the file.
    if (!EntriesInsideOrSay(pack)) {
        Message("nothing written");
        return EXIT_FATAL;
    }
    const int code = WriteNewPack(rewritten, patchFile, options, patch, application);
    if (code == EXIT_DONE && !options.quiet)
        Message((options.output.empty() ? options.pack : options.output) + ": " + Summary(application));
    return code;
}

} // namespace cli
