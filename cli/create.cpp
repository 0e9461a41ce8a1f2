// create: a pack from a folder, all or nothing.
#include "cli/commands.h"
#include "cli/entry_files.h"
#include "cli/names.h"
#include "cli/pack_file.h"
#include "cli/pack_plan.h"

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

// Puts plan in the list file's order; false (with messages) when the list
// and the folder disagree. A list whose every line is a line of list --json
// gives each entry the stored bytes of its name_hex, so that names with
// more than one code page 932 form come back as they were. Any other list
// is one name per line, as list prints them (a file may be named "{}"): a
// text line gives the one form NameFromUtf8 chooses, and says so where the
// name had a choice.
bool OrderByList(const std::string& listPath, std::vector<Planned>* plan)
{
    std::vector<std::string> lines;
    SystemError error;
    if (!ReadListFile(listPath, &lines, &error)) {
        Message(listPath + ": " + error.Text());
        return false;
    }
    std::vector<std::string> storedNames;
    size_t firstTextLine = 0; // counting from 1; 0 while every line is of list --json
    for (size_t number = 0; number < lines.size() && firstTextLine == 0; ++number) {
        std::string stored;
        if (JsonLineBytes(lines[number], &stored))
            storedNames.push_back(std::move(stored));
        else
            firstTextLine = number + 1;
    }
    const bool json = !lines.empty() && firstTextLine == 0;
    // Why a line that looks like list --json was read as a name.
    const std::string readAsText = firstTextLine > 1 ? " (the list is read as names, one a line: line " +
                                                           std::to_string(firstTextLine) + " is not list --json)"
                                                     : "";
    std::unordered_map<std::string, size_t> byName;
    for (size_t i = 0; i < plan->size(); ++i)
        byName.emplace((*plan)[i].relative, i);
    std::vector<Planned> ordered;
    std::vector<bool> used(plan->size(), false);
    bool ok = true;
    for (size_t number = 0; number < lines.size(); ++number) {
        const std::string& line = lines[number];
        std::string name;
        if (json) {
            std::vector<std::string> parts;
            std::string why;
            if (!EntryFileParts(storedNames[number], &parts, &why)) {
                Message(listPath + ": line " + std::to_string(number + 1) + ": " + why);
                ok = false;
                continue;
            }
            name = JoinedParts(parts);
        } else {
            name = UnescapeListedName(line);
        }
        const auto found = byName.find(name);
        if (found == byName.end()) {
            Message(listPath + ": '" + name + "' is listed but there is no such file" + readAsText);
            ok = false;
        } else if (used[found->second]) {
            Message(listPath + ": '" + name + "' is listed twice");
            ok = false;
        } else {
            used[found->second] = true;
            ordered.push_back((*plan)[found->second]);
            if (json) {
                ordered.back().stored = storedNames[number];
            } else if (HasSeveralCp932Forms(name)) {
                Message(listPath + ": '" + line + "': a character of this name has more than one code page 932 form; " +
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

std::filesystem::path FromUtf8(const std::string& text)
{
    return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

// Where a pack (the one written, or read by update) lies inside the
// source folder, as "create --force x.pak ." asks, its path below the
// folder: a pack is never packed into itself or its successor.
std::string PackInsideSource(const std::string& packPath, const std::string& sourcePath)
{
    std::error_code failed;
    const auto pack = std::filesystem::canonical(FromUtf8(packPath), failed);
    if (failed)
        return {};
    const auto source = std::filesystem::canonical(FromUtf8(sourcePath), failed);
    if (failed)
        return {};
    const auto relative = pack.lexically_relative(source);
    if (relative.empty() || *relative.begin() == "..")
        return {};
    const std::u8string text = relative.generic_u8string();
    return std::string(text.begin(), text.end());
}

} // namespace

bool PlanEntries(const std::string& source, const std::vector<std::string>& packs, std::vector<Planned>* plan)
{
    std::vector<SourceFile> files;
    std::string error;
    if (!WalkFolder(source, &files, &error)) {
        Message(error);
        return false;
    }
    std::vector<std::string> skipped;
    for (const std::string& pack : packs)
        skipped.push_back(PackInsideSource(pack, source));
    bool ok = true;
    for (const SourceFile& file : files) {
        if (std::find(skipped.begin(), skipped.end(), file.relative) != skipped.end())
            continue;
        const std::string shown = JoinPath(source, file.relative);
        if (file.kind == NodeKind::Link) {
            Message(shown + ": refused: a symbolic link (links are not followed)");
            ok = false;
            continue;
        }
        if (file.kind != NodeKind::File) {
            Message(shown + ": refused: not a regular file");
            ok = false;
            continue;
        }
        Planned item{file.relative, {}, file.size, file.identity};
        if (!NameFromUtf8(file.relative, &item.stored)) {
            Message(shown + ": refused: the name has no code page 932 form");
            ok = false;
        } else if (item.stored.size() > LONGEST_NAME_BYTES) {
            Message(shown + ": refused: the name is " + std::to_string(item.stored.size()) +
                    " bytes in code page 932; at most 255 fit");
            ok = false;
        } else if (std::string why; !EntryNameAllowed(item.stored, &why)) {
            Message(shown + ": refused: quorvel would not extract this name: " + why);
            ok = false;
        } else if (file.size > LARGEST_FIELD) {
            Message(shown + ": refused: 4 GiB or more");
            ok = false;
        }
        plan->push_back(std::move(item));
    }
    return ok;
}

bool CheckOffsets(const std::vector<Planned>& plan)
{
    if (plan.size() > uint64_t(INT32_MAX)) {
        Message("too many files for one pack");
        return false;
    }
    uint64_t offset = 0;
    for (const Planned& item : plan) {
        if (offset > LARGEST_FIELD) {
            const std::string shown = item.relative.empty() ? NameToUtf8(item.stored, NameForm::Text) : item.relative;
            Message(shown + ": refused: its offset " + std::to_string(offset) + " does not fit 32 bits");
            return false;
        }
        offset += item.size;
    }
    return true;
}

bool OpenSourceFile(const std::string& path, const Planned& item, InputFile* file)
{
    SystemError error;
    switch (file->OpenUnfollowed(path, &error)) {
    case NodeKind::File:
        break;
    case NodeKind::Link:
        Message(path + ": refused: a symbolic link now, where the folder held a file (links are not followed)");
        return false;
    case NodeKind::Failed:
        Message(path + ": " + error.Text());
        return false;
    default:
        Message(path + ": refused: no longer a regular file");
        return false;
    }
    FileIdentity identity;
    uint64_t size = 0;
    if (!file->Identity(&identity, &error) || !file->Size(&size, &error)) {
        Message(path + ": " + error.Text());
        return false;
    }
    if (identity != item.identity || size != item.size) {
        Message(path + ": refused: " + (identity != item.identity ? "another file" : "another size") +
                " now than when the folder was read");
        return false;
    }
    return true;
}

bool AppendFile(const std::string& path, const Planned& item, TempFile& out, std::vector<unsigned char>& block,
                Progress& progress, uint64_t entriesDone, uint64_t* bytesDone)
{
    InputFile file;
    SystemError error;
    if (!OpenSourceFile(path, item, &file))
        return false;
    const uint64_t expected = item.size;
    uint64_t position = 0;
    for (;;) {
        if (Interrupted())
            return false;
        const int64_t got = file.ReadAt(position, block.data(), block.size(), &error);
        if (got < 0) {
            Message(path + ": " + error.Text());
            return false;
        }
        if (got == 0 || position + uint64_t(got) > expected)
            break;
        NegateBytes(block.data(), uint32_t(got));
        if (!out.Write(block.data(), size_t(got), &error)) {
            Message("cannot write the pack: " + error.Text());
            return false;
        }
        position += uint64_t(got);
        *bytesDone += uint64_t(got);
        progress.Update(entriesDone, *bytesDone);
    }
    if (position != expected || file.ReadAt(position, block.data(), 1, &error) != 0) {
        Message(path + ": changed while it was being read");
        return false;
    }
    return true;
}

int ReadyToName(TempFile& out, bool flush, const std::string& tail)
{
    SystemError error;
    if (flush && !out.Flush(&error)) {
        out.Discard();
        Message("cannot write the pack: " + error.Text() + "; " + tail);
        return EXIT_FATAL;
    }
    if (Interrupted()) {
        out.Discard();
        Message("interrupted; " + tail);
        return InterruptExitCode();
    }
    return EXIT_DONE;
}

namespace {

// The directory as stored for that layout; false when a record cannot be
// encoded (PlanEntries refuses those names).
bool EncodeBackToBack(const std::vector<Planned>& plan, std::vector<unsigned char>* out)
{
    std::vector<DirectoryRecord> records;
    records.reserve(plan.size());
    uint64_t offset = 0;
    for (const Planned& item : plan) {
        records.push_back({item.stored.data(), uint32_t(item.stored.size()), uint32_t(item.size), uint32_t(offset)});
        offset += item.size;
    }
    out->resize(StoredDirectoryBytes(records.data(), uint32_t(records.size())));
    return EncodeDirectory(records.data(), uint32_t(records.size()), out->data());
}

} // namespace

bool LiesInside(const std::string& path, const std::string& folder)
{
    std::error_code failed;
    auto at = std::filesystem::weakly_canonical(FromUtf8(path), failed);
    if (failed)
        return false;
    // Each folder above path that exists is compared with folder by what
    // the system says makes a file itself.
    for (at = at.parent_path();; at = at.parent_path()) {
        if (std::filesystem::equivalent(at, FromUtf8(folder), failed))
            return true;
        if (at == at.parent_path())
            return false;
    }
}

bool OpenPackFolder(const std::string& parentPath, const std::string& name, PackFolder* parent, NodeKind* existing)
{
    const std::string shown = parentPath.empty() ? "." : parentPath;
    SystemError error;
    if (!parent->folder.OpenRoot(shown, &error, &parent->made)) {
        Message(shown + ": " + error.Text());
        return false;
    }
    *existing = parent->folder.Inspect(name, &error);
    if (*existing == NodeKind::Failed) {
        Message(JoinPath(parentPath, name) + ": " + error.Text());
        return false;
    }
    return true;
}

bool StartPackFile(const Folder& parent, const std::vector<Planned>& layout, const std::string& shownPack,
                   TempFile* out)
{
    std::vector<unsigned char> directory;
    if (!EncodeBackToBack(layout, &directory)) {
        Message("cannot encode the directory; nothing written");
        return false;
    }
    SystemError error;
    if (!out->Create(parent, &error)) {
        Message("cannot create a file beside " + shownPack + ": " + error.Text());
        return false;
    }
    if (!out->Write(directory.data(), directory.size(), &error)) {
        Message("cannot write the pack: " + error.Text());
        return false;
    }
    return true;
}

uint64_t DataBytes(const std::vector<Planned>& layout)
{
    uint64_t bytes = 0;
    for (const Planned& item : layout)
        bytes += item.size;
    return bytes;
}

namespace {

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

// The entries' data behind the directory; on a failure or Ctrl+C the file
// is discarded and the exit code says which.
int AppendEntries(const CreateOptions& options, const std::vector<Planned>& plan, TempFile& out,
                  Progress& progress)
{
    std::vector<unsigned char> block(TRANSFER_BLOCK_BYTES);
    uint64_t bytesDone = 0;
    bool written = true;
    for (size_t i = 0; written && i < plan.size(); ++i)
        written = AppendFile(JoinPath(options.source, plan[i].relative), plan[i], out, block, progress, i, &bytesDone);
    progress.Clear();
    if (written && !Interrupted())
        return EXIT_DONE;
    out.Discard();
    if (Interrupted()) {
        Message("interrupted; nothing written");
        return InterruptExitCode();
    }
    Message("nothing written");
    return EXIT_FATAL;
}

// Gives the complete pack its name. A pack that --force replaces may be the
// user's only copy: the new one reaches the disk before it takes the name,
// so a crash leaves one or the other whole, never an empty file under it.
int NamePack(const CreateOptions& options, const std::string& packName, NodeKind existing, TempFile& out)
{
    const int ready = ReadyToName(out, existing == NodeKind::File, "nothing written");
    if (ready != EXIT_DONE)
        return ready;
    SystemError error;
    const TempFile::CommitResult result = existing == NodeKind::File
                                              ? out.CommitReplacing(packName, &error)
                                              : out.Commit(packName, options.force, &error);
    switch (result) {
    case TempFile::CommitResult::Done:
        return EXIT_DONE;
    case TempFile::CommitResult::Exists:
        Message(options.pack + ": appeared meanwhile (--force replaces it); nothing written");
        return EXIT_FATAL;
    case TempFile::CommitResult::Failed:
        break;
    }
    Message("cannot rename the finished pack to " + options.pack + ": " + error.Text());
    return EXIT_FATAL;
}

} // namespace

int RunCreate(const CreateOptions& options)
{
    std::string parentPath;
    std::string packName;
    SplitPath(options.pack, &parentPath, &packName);
    if (packName.empty()) {
        Message(options.pack + ": not a file name");
        return EXIT_FATAL;
    }
    std::vector<Planned> plan;
    if (!PlanPack(options, &plan)) {
        Message("nothing written");
        return EXIT_FATAL;
    }

    // From here on a file may be half-written: Ctrl+C only raises a flag,
    // and the loop removes that file before it ends. (list, cat and verify
    // write nothing and keep the default: they end at once.)
    InstallInterruptHandler();
    PackFolder parent;
    NodeKind existing;
    if (!OpenPackFolder(parentPath, packName, &parent, &existing))
        return EXIT_FATAL;
    if (existing != NodeKind::Missing && !(existing == NodeKind::File && options.force)) {
        Message(options.pack +
                (existing == NodeKind::File ? ": exists (--force replaces it); nothing written"
                                            : ": exists and is not a file; nothing written"));
        return EXIT_FATAL;
    }
    Progress progress(options.quiet, plan.size(), DataBytes(plan));
    TempFile out;
    if (!StartPackFile(parent.folder, plan, options.pack, &out))
        return EXIT_FATAL;
    int code = AppendEntries(options, plan, out, progress);
    if (code == EXIT_DONE)
        code = NamePack(options, packName, existing, out);
    parent.named = code == EXIT_DONE;
    if (code == EXIT_DONE)
        progress.Summary(options.pack, "written");
    return code;
}

} // namespace cli
