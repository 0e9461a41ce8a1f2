// create: a pack from a folder, all or nothing.
#include "cli/commands.h"
#include "cli/entry_files.h"
#include "cli/names.h"
#include "cli/new_pack.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <system_error>
#include <unordered_map>

namespace cli {

namespace {

constexpr uint64_t LARGEST_FIELD = 0xFFFFFFFFull;

bool ReadListFile(const std::string& path, std::vector<std::string>* lines, SystemError* error)
{
    InputFile file;
    if (!file.Open(path, error))
        return false;
    std::string text;
    std::vector<char> block(TRANSFER_BLOCK_BYTES);
    for (uint64_t position = 0;;) {
        const int64_t got = file.ReadAt(position, block.data(), block.size(), error);
        if (got < 0)
            return false;
        if (got == 0)
            break;
        text.append(block.data(), size_t(got));
        position += uint64_t(got);
    }
    // Many Windows editors begin a UTF-8 file with a byte-order mark.
    size_t start = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (!line.empty())
            lines->push_back(std::move(line));
        start = end + 1;
    }
    return true;
}

// The stored bytes (name_hex) of a line of list --json; false when the
// line is not one.
bool JsonLineBytes(const std::string& line, std::string* stored)
{
    const nlohmann::json object = nlohmann::json::parse(line, nullptr, false);
    return object.is_object() && object.contains("name_hex") && object["name_hex"].is_string() &&
           FromHexBytes(object["name_hex"].get<std::string>(), stored);
}

// A --from-list file as read. A list whose every line is a line of list
// --json gives each entry the stored bytes of its name_hex, so that names
// with more than one code page 932 form come back as they were. Any other
// list is one name per line, as list prints them (a file may be named
// "{}"): a text line gives the one form NameFromUtf8 chooses, and says so
// where the name had a choice.
struct EntryList {
    std::vector<std::string> lines;
    std::vector<std::string> storedNames; // from name_hex, when json
    bool json = false;
    std::string readAsText; // why a line that looks like list --json was read as a name
};

bool ReadEntryList(const std::string& listPath, EntryList* list)
{
    SystemError error;
    if (!ReadListFile(listPath, &list->lines, &error)) {
        Message(listPath + ": " + error.Text());
        return false;
    }
    size_t firstTextLine = 0; // counting from 1; 0 while every line is of list --json
    for (size_t number = 0; number < list->lines.size() && firstTextLine == 0; ++number) {
        std::string stored;
        if (JsonLineBytes(list->lines[number], &stored))
            list->storedNames.push_back(std::move(stored));
        else
            firstTextLine = number + 1;
    }
    list->json = !list->lines.empty() && firstTextLine == 0;
    if (firstTextLine > 1)
        list->readAsText =
            " (the list is read as names, one a line: line " + std::to_string(firstTextLine) + " is not list --json)";
    return true;
}

// The file a line names, relative to the source folder; false (said) when
// a name_hex cannot be a file's name.
bool ListedFile(const EntryList& list, const std::string& listPath, size_t number, std::string* name)
{
    if (!list.json) {
        *name = UnescapeListedName(list.lines[number]);
        return true;
    }
    std::vector<std::string> parts;
    std::string why;
    if (!EntryFileParts(list.storedNames[number], &parts, &why)) {
        Message(listPath + ": line " + std::to_string(number + 1) + ": " + why);
        return false;
    }
    *name = JoinedParts(parts);
    return true;
}

// Puts plan in the list file's order; false (with messages) when the list
// and the folder disagree.
bool OrderByList(const std::string& listPath, std::vector<Planned>* plan)
{
    EntryList list;
    if (!ReadEntryList(listPath, &list))
        return false;
    std::unordered_map<std::string, size_t> byName;
    for (size_t i = 0; i < plan->size(); ++i)
        byName.emplace((*plan)[i].relative, i);
    std::vector<Planned> ordered;
    std::vector<bool> used(plan->size(), false);
    bool ok = true;
    for (size_t number = 0; number < list.lines.size(); ++number) {
        std::string name;
        if (!ListedFile(list, listPath, number, &name)) {
            ok = false;
            continue;
        }
        const auto found = byName.find(name);
        if (found == byName.end()) {
            Message(listPath + ": '" + name + "' is listed but there is no such file" + list.readAsText);
            ok = false;
        } else if (used[found->second]) {
            Message(listPath + ": '" + name + "' is listed twice");
            ok = false;
        } else {
            used[found->second] = true;
            ordered.push_back((*plan)[found->second]);
            if (list.json) {
                ordered.back().stored = list.storedNames[number];
            } else if (HasSeveralCp932Forms(name)) {
                Message(listPath + ": '" + list.lines[number] +
                        "': a character of this name has more than one code page 932 form; " +
                        "it is stored as name_hex " + HexBytes(ordered.back().stored) +
                        " (the lines of list --json keep a pack's own bytes)");
            }
        }
    }
    for (size_t i = 0; i < plan->size(); ++i) {
        if (!used[i]) {
            Message((*plan)[i].relative + ": file missing from the list " + listPath);
            ok = false;
        }
    }
    *plan = std::move(ordered);
    return ok;
}

// The source folder's files in the order create writes them; false, with
// the reasons said, when they cannot make a pack.
bool PlanPack(const CreateOptions& options, std::vector<Planned>* plan)
{
    bool ok = PlanEntries(options.source, {options.pack}, plan);
    if (ok) {
        if (options.fromList.empty()) {
            std::sort(plan->begin(), plan->end(),
                      [](const Planned& a, const Planned& b) { return a.stored < b.stored; });
        } else {
            ok = OrderByList(options.fromList, plan);
        }
    }
    return ok && CheckOffsets(*plan);
}

// The entries' data behind the directory.
bool AppendEntries(const CreateOptions& options, const std::vector<Planned>& plan, PackWriter& writer)
{
    for (const Planned& item : plan) {
        if (!writer.AppendFile(JoinPath(options.source, item.relative), item))
            return false;
        writer.EntriesDone(1);
    }
    return true;
}

} // namespace

int RunCreate(const CreateOptions& options)
{
    if (!NamesAFileOrSay(options.pack, ""))
        return EXIT_FATAL;
    std::vector<Planned> plan;
    if (!PlanPack(options, &plan)) {
        Message("nothing written");
        return EXIT_FATAL;
    }

    // From here on a file may be half-written: Ctrl+C only raises a flag,
    // and the loop removes that file before it ends. (list, cat and verify
    // write nothing and keep the default: they end at once.)
    InstallInterruptHandler();
    PackTarget target;
    if (!OpenNewTarget(options.pack, options.force, "nothing written", &target))
        return EXIT_FATAL;
    const std::string& shown = options.pack;
    PackWriter writer(target, {"nothing written", "nothing written",
                               shown + ": appeared meanwhile (--force replaces it); nothing written",
                               "cannot rename the finished pack to " + shown + ": ", ""});
    if (!writer.Start(plan, options.quiet))
        return EXIT_FATAL;
    const bool written = AppendEntries(options, plan, writer);
    // A pack that --force replaces may be the user's only copy: Finish
    // writes the new one through to the disk before it takes the name.
    const int code = writer.Finish(written, options.force);
    if (code == EXIT_DONE)
        writer.Summary(options.pack, "written");
    return code;
}

} // namespace cli
