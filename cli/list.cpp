// list and cat: the directory and one entry's bytes on standard output.
#include "cli/commands.h"
#include "cli/names.h"
#include "cli/pack_file.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>

namespace cli {

namespace {

bool OpenChecked(const std::string& path, PackFile* pack, uint32_t* count)
{
    std::string error;
    if (!pack->Open(path, &error)) {
        Message(error);
        return false;
    }
    // A damaged directory is refused whole, before any line is printed, so
    // that a script never reads part of a directory as if it were all of it.
    DirectoryDamage damage;
    uint32_t records = 0;
    if (!pack->WalkDirectory([&records](uint32_t, const DirectoryRecord&) { return ++records, true; }, &damage)) {
        Message(path + ": " + DamageText(damage));
        return false;
    }
    *count = records;
    return true;
}

} // namespace

int RunList(const ListOptions& options)
{
    PackFile pack;
    uint32_t count = 0;
    if (!OpenChecked(options.pack, &pack, &count))
        return EXIT_FATAL;
    DirectoryDamage damage;
    std::string line;
    // One object for every line: its keys are found again, not made again.
    nlohmann::ordered_json object;
    const bool walked = pack.WalkDirectory(
        [&](uint32_t index, const DirectoryRecord& record) {
            const std::string_view stored(record.name, record.nameLength);
            if (options.json) {
                object["index"] = index;
                object["name"] = NameToUtf8(stored, NameForm::Json);
                object["name_hex"] = HexBytes(stored);
                object["size"] = record.size;
                object["offset"] = record.offset;
                line = object.dump();
            } else if (options.longForm) {
                char numbers[40];
                std::snprintf(numbers, sizeof numbers, "%10u  0x%08X  ", record.size, record.offset);
                line = numbers;
                line += NameToUtf8(stored, NameForm::Text);
            } else {
                line = NameToUtf8(stored, NameForm::Text);
            }
            line.push_back('\n');
            WriteStdoutText(line.data(), line.size());
            return true;
        },
        &damage);
    if (!walked) {
        // The file changed between the two walks.
        FlushStdout();
        Message(options.pack + ": " + DamageText(damage));
        return EXIT_FATAL;
    }
    if (!FlushStdout()) {
        Message("cannot write the list: " + LastErrorText());
        return EXIT_FATAL;
    }
    return EXIT_DONE;
}

int RunCat(const std::string& packPath, const std::string& name)
{
    std::string wanted = name;
    for (char& c : wanted) {
        if (c == '\\')
            c = '/';
    }
    PackFile pack;
    std::string error;
    if (!pack.Open(packPath, &error)) {
        Message(error);
        return EXIT_FATAL;
    }
    bool found = false;
    PackEntry entry;
    DirectoryDamage damage;
    const bool walked = pack.WalkDirectory(
        [&](uint32_t, const DirectoryRecord& record) {
            if (!found) {
                const std::string_view stored(record.name, record.nameLength);
                // "\" as "/" on both sides: "\xNN" escapes match as typed.
                std::string shown = NameToUtf8(stored, NameForm::Text);
                std::replace(shown.begin(), shown.end(), '\\', '/');
                if (shown == wanted) {
                    found = true;
                    entry = {std::string(stored), record.size, record.offset};
                }
            }
            return true;
        },
        &damage);
    if (!walked) {
        Message(packPath + ": " + DamageText(damage));
        return EXIT_FATAL;
    }
    if (!found) {
        Message(packPath + ": no entry named '" + name + "'");
        return EXIT_FATAL;
    }
    std::vector<unsigned char> block;
    bool writeFailed = false;
    const bool copied = CopyEntry(
        pack, entry, block,
        [&writeFailed](const unsigned char* data, size_t count) {
            writeFailed = !WriteStdoutBytes(data, count);
            return !writeFailed;
        },
        &error);
    if (!copied) {
        Message(writeFailed ? "cannot write the entry: " + LastErrorText() : name + ": " + error);
        return Interrupted() ? EXIT_INTERRUPTED : EXIT_FATAL;
    }
    return EXIT_DONE;
}

} // namespace cli
