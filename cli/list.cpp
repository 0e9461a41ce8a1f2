// list and cat: the directory and one entry's bytes on standard output.
#include "cli/commands.h"
#include "cli/names.h"
#include "cli/pack_file.h"
#include "cli/standard_output.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>

namespace cli {

int RunList(const ListOptions& options)
{
    // A damaged directory is refused whole, before any line is printed, so
    // that a script never reads part of a directory as if it were all of it.
    PackFile pack;
    if (!OpenPackOrSay(options.pack, &pack))
        return EXIT_FATAL;
    const std::vector<StoredEntry>& entries = pack.Entries();
    std::string line;
    // The index column as wide as the largest index, so that the columns
    // behind it line up.
    const int indexWidth = int(std::to_string(entries.empty() ? 0 : entries.size() - 1).size());
    // One object for every line: its keys are found again, not made again.
    nlohmann::ordered_json object;
    for (uint32_t index = 0; index < entries.size(); ++index) {
        const StoredEntry& entry = entries[index];
        if (options.json) {
            object["index"] = index;
            object["name"] = NameToUtf8(entry.name, NameForm::Json);
            object["name_hex"] = HexBytes(entry.name);
            object["size"] = entry.size;
            object["offset"] = entry.offset;
            line = object.dump();
        } else if (options.longForm) {
            char numbers[64];
            std::snprintf(numbers, sizeof numbers, "%*u  %10u  0x%08X  ", indexWidth, index, entry.size, entry.offset);
            line = numbers;
            line += NameToUtf8(entry.name, NameForm::Text);
        } else {
            line = NameToUtf8(entry.name, NameForm::Text);
        }
        line.push_back('\n');
        WriteStdoutText(line.data(), line.size());
    }
    return EXIT_DONE; // main writes out the rest and answers for a failed write
}

int RunCat(const CatOptions& options)
{
    PackFile pack;
    if (!OpenPackOrSay(options.pack, &pack))
        return EXIT_FATAL;
    const StoredEntry* entry = nullptr;
    std::string what = options.name;
    if (options.byIndex) {
        what = "entry " + std::to_string(options.index);
        if (options.index >= pack.Entries().size()) {
            Message(options.pack + ": no " + what + " (the pack has " + std::to_string(pack.Entries().size()) +
                    " entries)");
            return EXIT_FATAL;
        }
        entry = &pack.Entries()[options.index];
    }
    std::string wanted = options.name;
    std::replace(wanted.begin(), wanted.end(), '\\', '/');
    for (const StoredEntry& candidate : pack.Entries()) {
        if (entry != nullptr)
            break;
        // "\" as "/" on both sides: "\xNN" escapes match as typed.
        std::string shown = NameToUtf8(candidate.name, NameForm::Text);
        std::replace(shown.begin(), shown.end(), '\\', '/');
        if (shown == wanted) {
            entry = &candidate;
            break;
        }
    }
    if (entry == nullptr) {
        Message(options.pack + ": no entry named '" + options.name + "'");
        return EXIT_FATAL;
    }
    std::vector<unsigned char> block;
    SystemError writeError;
    bool writeFailed = false;
    std::string error;
    const bool copied = CopyEntry(
        pack, *entry, block,
        [&](const unsigned char* data, size_t count) {
            writeFailed = !WriteStdoutBytes(data, count, &writeError);
            return !writeFailed;
        },
        &error);
    if (!copied) {
        Message(writeFailed ? "cannot write the entry: " + writeError.Text() : what + ": " + error);
        return Interrupted() ? InterruptExitCode() : EXIT_FATAL;
    }
    return EXIT_DONE;
}

} // namespace cli
