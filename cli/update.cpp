// update: a pack with some entries replaced, added or removed, written as
// create writes a pack and put in place of the old one all at once.
#include "cli/changes.h"
#include "cli/commands.h"
#include "cli/entry_files.h"
#include "cli/names.h"
#include "cli/pack_file.h"
#include "cli/new_pack.h"
#include "cli/standard_output.h"

#include <algorithm>
#include <cstring>
#include <unordered_map>

namespace cli {

namespace {

constexpr uint32_t NO_ENTRY = UINT32_MAX;

// One entry of the new pack, in its directory order.
struct Placed {
    uint32_t oldIndex; // the entry of PACK it keeps or replaces; NO_ENTRY when added
    int64_t file;      // index of its file in the source plan; -1 when kept as stored
};

struct UpdatePlan {
    std::vector<Planned> files; // the source folder's files, as create finds them
    std::vector<Placed> placed;
    std::vector<bool> removed; // per entry of PACK
    uint64_t replaced = 0;
    uint64_t added = 0;
};

// Matches each file to the entry extract would write to it; the rest are
// new entries, in create's order behind the existing ones.
bool PlaceFiles(const std::vector<StoredEntry>& entries, UpdatePlan* plan)
{
    // Keyed by the files, which are few where the entries may be many.
    std::unordered_map<std::string, size_t> fileByKey;
    for (size_t f = 0; f < plan->files.size(); ++f)
        fileByKey.emplace(PathKey(plan->files[f].relative, FILE_NAMES_IGNORE_CASE), f);
    std::vector<std::string> parts;
    std::vector<std::vector<uint32_t>> entriesOfFile(plan->files.size());
    std::string why;
    for (uint32_t i = 0; i < entries.size() && !fileByKey.empty(); ++i) {
        if (!EntryFileParts(entries[i].name, &parts, &why))
            continue;
        const auto found = fileByKey.find(FileKey(parts, FILE_NAMES_IGNORE_CASE));
        if (found != fileByKey.end())
            entriesOfFile[found->second].push_back(i);
    }
    std::vector<int64_t> fileOf(entries.size(), -1);
    std::vector<int64_t> added;
    bool ok = true;
    for (size_t f = 0; f < plan->files.size(); ++f) {
        const Planned& file = plan->files[f];
        const std::vector<uint32_t>& matches = entriesOfFile[f];
        if (matches.empty()) {
            added.push_back(int64_t(f));
        } else if (matches.size() > 1) {
            Message(file.relative + ": refused: " + EntryLabel(matches[0], entries[matches[0]].name) + " and " +
                    EntryLabel(matches[1], entries[matches[1]].name) + " are both extracted to this file");
            ok = false;
        } else if (plan->removed[matches[0]]) {
            Message(file.relative + ": refused: it would replace " + EntryLabel(matches[0], entries[matches[0]].name) +
                    ", which --remove removes");
            ok = false;
        } else {
            fileOf[matches[0]] = int64_t(f);
        }
    }
    for (uint32_t i = 0; i < entries.size(); ++i) {
        if (plan->removed[i])
            continue;
        plan->placed.push_back({i, fileOf[i]});
        plan->replaced += fileOf[i] >= 0 ? 1 : 0;
    }
    std::sort(added.begin(), added.end(),
              [&](int64_t a, int64_t b) { return plan->files[size_t(a)].stored < plan->files[size_t(b)].stored; });
    for (const int64_t f : added)
        plan->placed.push_back({NO_ENTRY, f});
    plan->added = added.size();
    return ok;
}

// The new pack's entries as create would lay them out.
std::vector<Planned> Layout(const std::vector<StoredEntry>& entries, const UpdatePlan& plan)
{
    std::vector<Planned> layout;
    layout.reserve(plan.placed.size());
    for (const Placed& placed : plan.placed) {
        if (placed.file < 0) {
            const StoredEntry& entry = entries[placed.oldIndex];
            layout.push_back({std::string(), entry.name, entry.size, {}});
        } else {
            const Planned& file = plan.files[size_t(placed.file)];
            const std::string& stored = placed.oldIndex == NO_ENTRY ? file.stored : entries[placed.oldIndex].name;
            layout.push_back({file.relative, stored, file.size, file.identity});
        }
    }
    return layout;
}

// Entries kept as stored whose bytes another entry of PACK shares: each
// gets a copy of its own in the new pack.
uint64_t CountSharedBytes(const std::vector<StoredEntry>& entries, const UpdatePlan& plan)
{
    std::vector<bool> shares(entries.size(), false);
    SweepByOffset(entries, [&](uint32_t i, uint64_t, std::optional<uint32_t> overlapped) {
        if (overlapped) {
            shares[i] = true;
            shares[*overlapped] = true;
        }
    });
    uint64_t count = 0;
    for (const Placed& placed : plan.placed)
        count += placed.file < 0 && shares[placed.oldIndex] ? 1 : 0;
    return count;
}

// Whether a file holds exactly an entry's bytes (read, transformed and
// compared block by block). Says what failed.
bool FileHoldsEntry(const std::string& path, const Planned& item, PackFile& pack, const StoredEntry& entry, bool* same)
{
    *same = false;
    if (item.size != entry.size)
        return true;
    InputFile file;
    if (!OpenSourceFile(path, item, &file))
        return false;
    const uint64_t fileSize = item.size;
    SystemError systemError;
    std::vector<unsigned char> stored(TRANSFER_BLOCK_BYTES);
    std::vector<unsigned char> plain(TRANSFER_BLOCK_BYTES);
    for (uint64_t done = 0; done < fileSize;) {
        const size_t want = size_t(std::min<uint64_t>(fileSize - done, plain.size()));
        const int64_t got = file.ReadAt(done, plain.data(), want, &systemError);
        if (got <= 0) {
            Message(path + ": " + (got < 0 ? systemError.Text() : "changed while it was being read"));
            return false;
        }
        const EntryRead read =
            ReadEntryBytes(pack, entry.offset, done, stored.data(), size_t(got), EntryBytes::Restored, &systemError);
        if (read != EntryRead::Done) {
            Message(pack.Path() + ": " +
                    (read == EntryRead::Failed ? systemError.Text() : "changed while it was being read"));
            return false;
        }
        if (std::memcmp(stored.data(), plain.data(), size_t(got)) != 0)
            return true;
        done += uint64_t(got);
    }
    *same = true;
    return true;
}

// A file that already holds its entry's bytes leaves that entry as it is
// stored: only what changes counts as replaced.
bool KeepUnchanged(PackFile& pack, const std::string& source, UpdatePlan* plan)
{
    for (Placed& placed : plan->placed) {
        if (placed.file < 0 || placed.oldIndex == NO_ENTRY)
            continue;
        const Planned& file = plan->files[size_t(placed.file)];
        bool same = false;
        if (!FileHoldsEntry(JoinPath(source, file.relative), file, pack, pack.Entries()[placed.oldIndex], &same))
            return false;
        if (same) {
            placed.file = -1;
            --plan->replaced;
        }
    }
    return true;
}

// A name that one entry gives a file and another a folder cannot be
// extracted whole: refused where a new entry brings it; a pack that held
// it already keeps it (verify reports it).
bool CheckFilesAndFolders(const std::vector<StoredEntry>& entries, const UpdatePlan& plan)
{
    std::vector<std::string_view> names;
    names.reserve(plan.placed.size());
    for (const Placed& placed : plan.placed)
        names.push_back(placed.oldIndex == NO_ENTRY ? plan.files[size_t(placed.file)].stored
                                                    : entries[placed.oldIndex].name);
    bool ok = true;
    for (const auto& [file, folder] : FilesWhereFoldersGo(names, FILE_NAMES_IGNORE_CASE)) {
        if (plan.placed[file].oldIndex != NO_ENTRY && plan.placed[folder].oldIndex != NO_ENTRY)
            continue;
        Message("refused: '" + NameToUtf8(names[file], NameForm::Text) + "' would be a file where '" +
                NameToUtf8(names[folder], NameForm::Text) + "' needs a folder of that name");
        ok = false;
    }
    return ok;
}

// What the new pack would change, printed as diff prints it: the new
// pack's order, then the removed entries in PACK's order. Each new file is
// opened first, as the update would open it.
int PrintDryRun(PackFile& pack, const UpdateOptions& options, const UpdatePlan& plan)
{
    for (const Placed& placed : plan.placed) {
        InputFile file;
        if (placed.oldIndex == NO_ENTRY &&
            !OpenSourceFile(JoinPath(options.source, plan.files[size_t(placed.file)].relative),
                            plan.files[size_t(placed.file)], &file)) {
            Message("nothing written");
            return EXIT_FATAL;
        }
    }
    const std::vector<StoredEntry>& entries = pack.Entries();
    for (const Placed& placed : plan.placed) {
        if (placed.file < 0)
            continue;
        const Planned& file = plan.files[size_t(placed.file)];
        if (placed.oldIndex == NO_ENTRY)
            WriteChange({ChangeKind::Added, file.stored, std::nullopt, uint32_t(file.size)}, false);
        else
            WriteChange({ChangeKind::Modified, entries[placed.oldIndex].name, entries[placed.oldIndex].size,
                         uint32_t(file.size)},
                        false);
    }
    for (uint32_t i = 0; i < entries.size(); ++i) {
        if (plan.removed[i])
            WriteChange({ChangeKind::Removed, entries[i].name, entries[i].size, std::nullopt}, false);
    }
    return ChangesWrittenOrSay("changes") ? EXIT_DONE : EXIT_FATAL;
}

// The data area of the new pack. Entries kept as stored that lie one after
// another in PACK go as one run.
bool WriteData(PackFile& pack, PackWriter& writer, const std::string& source, const UpdatePlan& plan)
{
    const std::vector<Placed>& placed = plan.placed;
    const auto keptAt = [&](size_t k) {
        return placed[k].file >= 0 ? std::nullopt : std::optional<uint32_t>(placed[k].oldIndex);
    };
    for (size_t i = 0; i < placed.size();) {
        if (placed[i].file < 0) {
            if (!writer.CopyKeptRun(pack, i, placed.size(), keptAt, &i))
                return false;
            continue;
        }
        const Planned& file = plan.files[size_t(placed[i].file)];
        if (!writer.AppendFile(JoinPath(source, file.relative), file))
            return false;
        writer.EntriesDone(1);
        ++i;
    }
    return true;
}

uint64_t RemovedCount(const UpdatePlan& plan)
{
    return uint64_t(std::count(plan.removed.begin(), plan.removed.end(), true));
}

std::string Summary(const std::vector<StoredEntry>& entries, const UpdatePlan& plan)
{
    const uint64_t removed = RemovedCount(plan);
    const uint64_t kept = entries.size() - removed - plan.replaced;
    std::string text = std::to_string(plan.replaced) + " replaced, " + std::to_string(plan.added) + " added, " +
                       std::to_string(removed) + " removed, " + std::to_string(kept) + " kept";
    const uint64_t shared = CountSharedBytes(entries, plan);
    if (shared > 0)
        text +=
            "; " + std::to_string(shared) + " kept entries shared their bytes with another and now have a copy each";
    return text;
}

// What the new pack holds: PACK's entries, less the removed ones, with
// the source folder's files in place of those they change or behind them.
// False, with the reasons said, when the update cannot be made.
bool PlanUpdate(PackFile& pack, const UpdateOptions& options, const std::string& destination, UpdatePlan* plan,
                std::vector<Planned>* layout)
{
    const std::vector<StoredEntry>& entries = pack.Entries();
    plan->removed.assign(entries.size(), false);
    bool ok = EntriesInsideOrSay(pack);
    if (!options.removals.empty()) {
        std::vector<uint32_t> selected;
        ok = SelectEntries(entries, options.removals, &selected) && ok;
        for (const uint32_t index : selected)
            plan->removed[index] = true;
    }
    if (!options.source.empty())
        ok = PlanEntries(options.source, {options.pack, destination}, &plan->files) && ok;
    ok = ok && PlaceFiles(entries, plan) && CheckFilesAndFolders(entries, *plan) &&
         KeepUnchanged(pack, options.source, plan);
    if (ok)
        *layout = Layout(entries, *plan);
    return ok && CheckOffsets(*layout);
}

// Writes the new pack beside the destination and puts it in place: PACK
// and the destination stay as they were unless the whole new pack is there.
int WriteNewPack(PackToRewrite& rewritten, const UpdateOptions& options, const UpdatePlan& plan,
                 const std::vector<Planned>& layout, PackTarget& target)
{
    PackFile& pack = rewritten.pack;
    PackWriter writer(target, ReplacingWords(target.shown));
    if (!writer.Start(layout, options.quiet) || !writer.TakePermissionsOf(pack.File(), options.pack))
        return EXIT_FATAL;
    const bool written = WriteData(pack, writer, options.source, plan);
    const int code = writer.Finish(written, false, &rewritten);
    if (code == EXIT_DONE && !options.quiet)
        Message(target.shown + ": " + Summary(pack.Entries(), plan));
    return code;
}

// What the options alone rule out, before the pack is opened.
bool OptionsHoldTogether(const UpdateOptions& options, const std::string& destination)
{
    if (options.source.empty() && options.removals.empty()) {
        Message("nothing to update: give SOURCE_DIR, --remove or both");
        return false;
    }
    if (!NamesAFileOrSay(destination, ""))
        return false;
    if (!options.output.empty() && !options.source.empty() && LiesInside(options.output, options.source)) {
        Message(options.output + ": refused: OUT lies inside SOURCE_DIR, which is being packed; nothing written");
        return false;
    }
    return true;
}

} // namespace

int RunUpdate(const UpdateOptions& options)
{
    const std::string& destination = options.output.empty() ? options.pack : options.output;
    if (!OptionsHoldTogether(options, destination))
        return EXIT_FATAL;
    PackToRewrite rewritten;
    if (!OpenPackToRewrite(options.pack, options.dryRun, &rewritten))
        return EXIT_FATAL;
    PackFile& pack = rewritten.pack;

    UpdatePlan plan;
    std::vector<Planned> layout;
    if (!PlanUpdate(pack, options, destination, &plan, &layout)) {
        Message("nothing written");
        return EXIT_FATAL;
    }
    if (options.dryRun)
        return PrintDryRun(pack, options, plan);

    // From here on a file may be half-written: Ctrl+C only raises a flag,
    // and the loop removes that file before it ends; PACK is replaced only
    // by a complete new pack.
    InstallInterruptHandler();
    PackTarget target;
    if (!OpenTarget(rewritten, options.output, options.force, &target))
        return EXIT_FATAL;
    if (target.replacesPack && plan.replaced == 0 && plan.added == 0 && RemovedCount(plan) == 0) {
        Message(target.shown + ": nothing to change, left as it was (" + std::to_string(plan.placed.size()) + " kept)");
        return EXIT_DONE;
    }
    return WriteNewPack(rewritten, options, plan, layout, target);
}

} // namespace cli
