// diff: what changed between two packs, entry by entry.
#include "cli/changes.h"
#include "cli/patch_making.h"
#include "cli/commands.h"
#include "cli/names.h"
#include "cli/pack_file.h"
#include "cli/standard_output.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <unordered_map>

namespace cli {

namespace {

// Compares the stored bytes of two entries of equal size: the transform
// maps each byte to one byte, so nothing needs restoring. False with
// *error when a pack cannot give them.
bool SameBytes(PackFile& oldPack, const StoredEntry& oldEntry, PackFile& newPack, const StoredEntry& newEntry,
               std::vector<unsigned char>& oldBlock, std::vector<unsigned char>& newBlock, bool* same,
               std::string* error)
{
    struct Side {
        PackFile& pack;
        const StoredEntry& entry;
        std::vector<unsigned char>& block;
    };
    Side sides[2] = {{oldPack, oldEntry, oldBlock}, {newPack, newEntry, newBlock}};
    const uint64_t size = oldEntry.size;
    for (uint64_t done = 0; done < size;) {
        const size_t want = size_t(std::min<uint64_t>(size - done, oldBlock.size()));
        for (Side& side : sides) {
            SystemError readError;
            const EntryRead read = ReadEntryBytes(side.pack, side.entry.offset, done, side.block.data(), want,
                                                  EntryBytes::Stored, &readError);
            if (read != EntryRead::Done) {
                *error =
                    side.pack.Path() + ": entry '" + NameToUtf8(side.entry.name, NameForm::Text) + "': " +
                    (read == EntryRead::Failed ? "read failed: " + readError.Text() : "runs past the end of the pack");
                return false;
            }
        }
        if (std::memcmp(oldBlock.data(), newBlock.data(), want) != 0) {
            *same = false;
            return true;
        }
        done += want;
    }
    *same = true;
    return true;
}

// Pairs the entries and prints each difference as it is found. False, with
// the message said, when a pack cannot give an entry's bytes.
bool CompareAndPrint(PackFile& oldPack, PackFile& newPack, bool json, Pairing* pairing, bool* differ)
{
    const std::vector<StoredEntry>& oldEntries = oldPack.Entries();
    const std::vector<StoredEntry>& newEntries = newPack.Entries();
    std::unordered_map<std::string_view, std::vector<uint32_t>> oldByName;
    oldByName.reserve(oldEntries.size());
    for (uint32_t i = 0; i < oldEntries.size(); ++i)
        oldByName[oldEntries[i].name].push_back(i);
    std::unordered_map<std::string_view, uint32_t> seenSoFar;
    pairing->paired.assign(oldEntries.size(), false);
    pairing->oldOfNew.assign(newEntries.size(), -1);
    pairing->occurrence.assign(newEntries.size(), 0);
    pairing->modified.assign(newEntries.size(), false);

    std::vector<unsigned char> oldBlock(TRANSFER_BLOCK_BYTES);
    std::vector<unsigned char> newBlock(TRANSFER_BLOCK_BYTES);
    *differ = false;
    for (uint32_t n = 0; n < newEntries.size(); ++n) {
        const StoredEntry& entry = newEntries[n];
        const auto found = oldByName.find(entry.name);
        const uint32_t taken = seenSoFar[entry.name]++;
        pairing->occurrence[n] = taken;
        if (found == oldByName.end() || taken >= found->second.size()) {
            WriteChange({ChangeKind::Added, entry.name, std::nullopt, entry.size}, json);
            *differ = true;
            continue;
        }
        const uint32_t oldIndex = found->second[taken];
        pairing->paired[oldIndex] = true;
        pairing->oldOfNew[n] = oldIndex;
        const StoredEntry& old = oldEntries[oldIndex];
        bool same = false;
        if (old.size == entry.size) {
            std::string error;
            if (!SameBytes(oldPack, old, newPack, entry, oldBlock, newBlock, &same, &error)) {
                FlushStdout(nullptr);
                Message(error);
                return false;
            }
        }
        if (!same) {
            WriteChange({ChangeKind::Modified, entry.name, old.size, entry.size}, json);
            pairing->modified[n] = true;
            *differ = true;
        }
    }
    for (uint32_t i = 0; i < oldEntries.size(); ++i) {
        if (!pairing->paired[i]) {
            WriteChange({ChangeKind::Removed, oldEntries[i].name, oldEntries[i].size, std::nullopt}, json);
            *differ = true;
        }
    }
    return true;
}

} // namespace

int RunDiff(const DiffOptions& options)
{
    PackFile oldPack;
    PackFile newPack;
    if (!OpenPackOrSay(options.oldPack, &oldPack) || !OpenPackOrSay(options.newPack, &newPack))
        return EXIT_FATAL;
    if (!options.patch.empty())
        InstallInterruptHandler();
    Pairing pairing;
    bool differ = false;
    if (!CompareAndPrint(oldPack, newPack, options.json, &pairing, &differ))
        return EXIT_FATAL;
    if (!ChangesWrittenOrSay("differences"))
        return EXIT_FATAL;
    if (!options.patch.empty()) {
        const int written = WritePatchFile(oldPack, newPack, pairing, options.patch, options.force);
        if (written != EXIT_DONE)
            return written;
    }
    return differ ? EXIT_SOME_FAILED : EXIT_DONE;
}

} // namespace cli
