// diff: what changed between two packs, entry by entry.
#include "cli/changes.h"
#include "cli/commands.h"
#include "cli/names.h"
#include "cli/pack_file.h"
#include "cli/standard_output.h"

#include <nlohmann/json.hpp>

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
            const uint64_t start = side.pack.DataAreaStart() + side.entry.offset + done;
            for (size_t got = 0; got < want;) {
                SystemError readError;
                const int64_t n = side.pack.File().ReadAt(start + got, side.block.data() + got, want - got, &readError);
                if (n <= 0) {
                    *error = side.pack.Path() + ": entry '" + NameToUtf8(side.entry.name, NameForm::Text) + "': " +
                             (n < 0 ? "read failed: " + readError.Text() : "runs past the end of the pack");
                    return false;
                }
                got += size_t(n);
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

} // namespace

void WriteChange(const Change& change, bool json)
{
    std::string line;
    if (json) {
        static const char* const statuses[] = {"added", "removed", "modified"};
        nlohmann::ordered_json object;
        object["status"] = statuses[int(change.kind)];
        object["name"] = NameToUtf8(change.name, NameForm::Json);
        object["name_hex"] = HexBytes(change.name);
        object["old_size"] = change.oldSize ? nlohmann::ordered_json(*change.oldSize) : nullptr;
        object["new_size"] = change.newSize ? nlohmann::ordered_json(*change.newSize) : nullptr;
        line = object.dump();
    } else {
        static const char letters[] = {'A', 'D', 'M'};
        line = std::string(1, letters[int(change.kind)]) + " " + NameToUtf8(change.name, NameForm::Text);
    }
    line.push_back('\n');
    WriteStdoutText(line.data(), line.size());
}

int RunDiff(const std::string& oldPath, const std::string& newPath, bool json)
{
    PackFile oldPack;
    PackFile newPack;
    if (!OpenPackOrSay(oldPath, &oldPack) || !OpenPackOrSay(newPath, &newPack))
        return EXIT_FATAL;
    const std::vector<StoredEntry>& oldEntries = oldPack.Entries();
    const std::vector<StoredEntry>& newEntries = newPack.Entries();

    // An entry is its stored name. A name held twice pairs in order: the
    // second in NEW with the second in OLD.
    std::unordered_map<std::string_view, std::vector<uint32_t>> oldByName;
    oldByName.reserve(oldEntries.size());
    for (uint32_t i = 0; i < oldEntries.size(); ++i)
        oldByName[oldEntries[i].name].push_back(i);
    std::unordered_map<std::string_view, size_t> pairedSoFar;
    std::vector<bool> paired(oldEntries.size(), false);

    std::vector<unsigned char> oldBlock(TRANSFER_BLOCK_BYTES);
    std::vector<unsigned char> newBlock(TRANSFER_BLOCK_BYTES);
    bool differ = false;
    for (const StoredEntry& entry : newEntries) {
        const auto found = oldByName.find(entry.name);
        size_t& taken = pairedSoFar[entry.name];
        if (found == oldByName.end() || taken == found->second.size()) {
            WriteChange({ChangeKind::Added, entry.name, std::nullopt, entry.size}, json);
            differ = true;
            continue;
        }
        const uint32_t oldIndex = found->second[taken++];
        paired[oldIndex] = true;
        const StoredEntry& old = oldEntries[oldIndex];
        bool same = false;
        if (old.size == entry.size) {
            std::string error;
            if (!SameBytes(oldPack, old, newPack, entry, oldBlock, newBlock, &same, &error)) {
                FlushStdout(nullptr);
                Message(error);
                return EXIT_FATAL;
            }
        }
        if (!same) {
            WriteChange({ChangeKind::Modified, entry.name, old.size, entry.size}, json);
            differ = true;
        }
    }
    for (uint32_t i = 0; i < oldEntries.size(); ++i) {
        if (!paired[i]) {
            WriteChange({ChangeKind::Removed, oldEntries[i].name, oldEntries[i].size, std::nullopt}, json);
            differ = true;
        }
    }
    SystemError error;
    if (!FlushStdout(&error)) {
        Message("cannot write the differences: " + error.Text());
        return EXIT_FATAL;
    }
    return differ ? EXIT_SOME_FAILED : EXIT_DONE;
}

} // namespace cli
