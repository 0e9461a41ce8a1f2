// verify: whether quorvel can read the pack, and what is odd in it.
#include "cli/commands.h"
#include "cli/entry_files.h"
#include "cli/names.h"
#include "cli/pack_file.h"
#include "cli/standard_output.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <unordered_map>

namespace cli {

namespace {

using Json = nlohmann::ordered_json;

struct Report {
    Json json = Json::object();
    std::vector<std::string> lines;
    uint64_t findings = 0;

    void Add(const char* kind, Json item, std::string line)
    {
        json[kind].push_back(std::move(item));
        lines.push_back(std::move(line));
        ++findings;
    }
};

Json NamedEntry(uint32_t index, const StoredEntry& entry)
{
    Json item;
    item["index"] = index;
    item["name"] = NameToUtf8(entry.name, NameForm::Json);
    item["name_hex"] = HexBytes(entry.name);
    return item;
}

// A stretch of the file after the directory that no entry covers; note
// follows the line.
void AddGap(uint64_t position, uint64_t bytes, const char* note, Report* report)
{
    Json item;
    item["position"] = position;
    item["bytes"] = bytes;
    report->Add("gaps", item,
                "gap of " + std::to_string(bytes) + " bytes at file position " + std::to_string(position) + note);
}

void CheckPlacement(const PackFile& pack, const std::vector<StoredEntry>& entries, Report* report)
{
    const uint64_t start = pack.DataAreaStart();
    const uint64_t fileSize = pack.FileSize();
    FindPastEnd(pack, [&](uint32_t i, uint64_t end) {
        Json item = NamedEntry(i, entries[i]);
        item["end"] = end;
        item["file_size"] = fileSize;
        report->Add("past_end", item, EntryLabel(i, entries[i].name) + ": " + PastEndText(end, fileSize));
    });
    // The entry reaching furthest so far is the one a later entry
    // overlaps; a stretch nobody covers is a gap.
    uint64_t covered = start;
    SweepByOffset(entries, [&](uint32_t i, uint64_t reach, std::optional<uint32_t> overlapped) {
        const uint64_t begin = start + entries[i].offset;
        const uint64_t end = begin + entries[i].size;
        const uint64_t before = start + reach;
        if (overlapped) {
            Json item;
            item["index"] = i;
            item["other"] = *overlapped;
            item["position"] = begin;
            item["bytes"] = std::min(before, end) - begin;
            report->Add("overlaps", item,
                        EntryLabel(i, entries[i].name) + " overlaps " +
                            EntryLabel(*overlapped, entries[*overlapped].name) + " at file position " +
                            std::to_string(begin));
        } else if (begin > before && before < fileSize) {
            AddGap(before, std::min(begin, fileSize) - before, "", report);
        }
        covered = std::max(covered, end);
    });
    if (covered < fileSize)
        AddGap(covered, fileSize - covered, " (no entry after it)", report);
}

void CheckNames(const std::vector<StoredEntry>& entries, Report* report)
{
    std::unordered_map<std::string_view, uint32_t> firstByName;
    firstByName.reserve(entries.size());
    for (uint32_t i = 0; i < entries.size(); ++i) {
        const auto [first, inserted] = firstByName.emplace(entries[i].name, i);
        if (!inserted) {
            Json item = NamedEntry(i, entries[i]);
            item["first"] = first->second;
            report->Add("duplicates", item,
                        EntryLabel(i, entries[i].name) + ": same name as entry " + std::to_string(first->second));
        }
        std::string why;
        if (!EntryNameAllowed(entries[i].name, &why)) {
            report->Add("refused_names", NamedEntry(i, entries[i]),
                        EntryLabelWithBytes(i, entries[i].name) + ": refused (" + why + "); extraction skips it");
        }
        bool valid = true;
        NameToUtf8(entries[i].name, NameForm::Text, &valid);
        if (!valid) {
            report->Add("invalid_names", NamedEntry(i, entries[i]),
                        EntryLabelWithBytes(i, entries[i].name) + ": not valid code page 932");
        }
    }
}

// Names that extraction writes but that land on one file, or on none.
void CheckFiles(const std::vector<StoredEntry>& entries, Report* report)
{
    // Keyed with letter case folded: quorvel.exe extracts on Windows.
    std::unordered_map<std::string, uint32_t> firstByFile;
    std::unordered_map<std::string_view, uint32_t> firstByName;
    std::vector<std::string> parts;
    std::string why;
    for (uint32_t i = 0; i < entries.size(); ++i) {
        const StoredEntry& entry = entries[i];
        const bool repeated = !firstByName.emplace(entry.name, i).second;
        if (!EntryFileParts(entry.name, &parts, &why))
            continue;
        size_t longest = 0;
        for (const std::string& part : parts)
            longest = std::max(longest, part.size());
        if (longest > LONGEST_PART_BYTES) {
            Json item = NamedEntry(i, entry);
            item["part_bytes"] = longest;
            report->Add("long_parts", item,
                        EntryLabel(i, entry.name) + ": a part of its name is " + std::to_string(longest) +
                            " bytes in UTF-8; Linux takes at most 255");
        }
        const auto [first, inserted] = firstByFile.emplace(FileKey(parts, true), i);
        if (inserted || repeated)
            continue; // a repeated name is reported as a duplicate
        std::vector<std::string> firstParts;
        SplitStoredName(entries[first->second].name, &firstParts);
        const bool caseOnly = FileKey(firstParts, false) != FileKey(parts, false);
        Json item = NamedEntry(i, entry);
        item["first"] = first->second;
        item["case_only"] = caseOnly;
        report->Add("same_file", item,
                    EntryLabel(i, entry.name) + ": same file as entry " + std::to_string(first->second) +
                        (caseOnly ? " where letter case is ignored (Windows)" : ""));
    }
}

// A file where another entry needs a folder: extraction writes one of them.
void CheckFilesAndFolders(const std::vector<StoredEntry>& entries, Report* report)
{
    std::vector<std::string_view> names;
    names.reserve(entries.size());
    for (const StoredEntry& entry : entries)
        names.push_back(entry.name);
    // Letter case folded: quorvel.exe extracts on Windows.
    for (const auto& [file, folder] : FilesWhereFoldersGo(names, true)) {
        Json item = NamedEntry(file, entries[file]);
        item["other"] = folder;
        report->Add("file_and_folder", item,
                    EntryLabel(file, entries[file].name) + ": a file where " +
                        EntryLabel(folder, entries[folder].name) +
                        " needs a folder of that name; extraction writes only one of them");
    }
}

// A directory quorvel refuses: where, and why. The summary's tail.
std::string ReportDamage(const PackFile& pack, Report* report)
{
    const DirectoryDamage& damage = pack.Damage();
    Json where;
    where["reason"] = DirectoryResultText(damage.result);
    where["record"] = damage.inHeader ? Json(nullptr) : Json(damage.record);
    where["position"] = damage.position;
    report->json["damage"] = where;
    report->lines.push_back(DamageText(damage));
    return ": damaged, quorvel refuses it (" + std::to_string(pack.Entries().size()) +
           " records read before the damage)";
}

// Every check of a directory quorvel reads. The summary's tail.
std::string CheckAll(const PackFile& pack, Report* report)
{
    const std::vector<StoredEntry>& entries = pack.Entries();
    report->json["damage"] = nullptr;
    for (const char* kind : {"past_end", "overlaps", "gaps", "duplicates", "refused_names", "invalid_names",
                             "same_file", "long_parts", "file_and_folder"})
        report->json[kind] = Json::array();
    CheckPlacement(pack, entries, report);
    CheckNames(entries, report);
    CheckFiles(entries, report);
    CheckFilesAndFolders(entries, report);
    uint64_t dataBytes = 0;
    for (const StoredEntry& entry : entries)
        dataBytes += entry.size;
    report->json["entries"] = entries.size();
    report->json["data_bytes"] = dataBytes;
    const uint64_t findings = report->findings;
    return ": " + std::to_string(entries.size()) + " entries, " + std::to_string(dataBytes) + " bytes of data, " +
           (findings == 0 ? std::string("no findings")
                          : std::to_string(findings) + " finding" + (findings == 1 ? "" : "s"));
}

} // namespace

int RunVerify(const VerifyOptions& options)
{
    const std::string& path = options.pack;
    const bool json = options.json;
    PackFile pack;
    const PackFile::Status status = pack.Open(path);
    if (status == PackFile::Status::Unreadable) {
        Message(pack.Problem());
        return EXIT_FATAL;
    }
    Report report;
    report.json["pack"] = ValidUtf8(path);
    report.json["pack_hex"] = HexBytes(path);
    const bool readable = status == PackFile::Status::Read;
    const std::string summary = readable ? CheckAll(pack, &report) : ReportDamage(pack, &report);
    report.json["findings"] = report.findings;
    // The path as it is in text, as valid UTF-8 in JSON (pack_hex keeps it).
    report.json["summary"] = ValidUtf8(path) + summary;
    std::string out;
    if (json) {
        out = report.json.dump() + "\n";
    } else {
        for (const std::string& line : report.lines)
            out += line + "\n";
        out += EscapeControls(path) + summary + "\n";
    }
    WriteStdoutText(out.data(), out.size());
    if (!readable)
        return EXIT_FATAL;
    return report.findings == 0 ? EXIT_DONE : EXIT_SOME_FAILED;
}

} // namespace cli
