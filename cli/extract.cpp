// extract: entries into a folder, never outside it and never through a link.
#include "cli/commands.h"
#include "cli/entry_files.h"
#include "cli/names.h"
#include "cli/pack_file.h"

#include <unordered_map>

namespace cli {

namespace {

enum class Outcome { Written, Refused, Skipped, Failed, Interrupted };

struct IdentityHash {
    size_t operator()(const FileIdentity& identity) const
    {
        return std::hash<uint64_t>()(identity.file ^ (identity.volume * 0x9E3779B97F4A7C15ull));
    }
};

// The folders of the last entry, open, so that the entries of one folder
// check and open its path once.
struct FolderCache {
    std::vector<std::string> parts;
    std::vector<Folder> folders; // folders[i] is parts[0..i]
    size_t firstMade = SIZE_MAX; // folders[firstMade..] were made for the current entry
};

struct ExtractRun {
    PackFile* pack;
    Folder* root;
    Overwrite policy;
    Progress* progress;
    FolderCache cache;
    std::vector<unsigned char> block;
    uint64_t bytesDone = 0;
    uint64_t entriesDone = 0;
    // The files this run has written, with the entry written to each, by
    // name (FileKey) and by identity: a later entry naming the same file
    // never replaces it, whatever name leads there (a short 8.3 alias,
    // another letter case on a volume that ignores it).
    std::unordered_map<std::string, uint32_t> written;
    std::unordered_map<FileIdentity, uint32_t, IdentityHash> writtenFiles;
    uint64_t skippedExisting = 0; // entries not written because their file exists
};

std::string SameFileAs(uint32_t earlier)
{
    return "refused: same file as entry " + std::to_string(earlier) + ", written before it";
}

// One entry's messages. The entry is described (its name converted) only
// when something is said about it.
struct EntryVoice {
    uint32_t index;
    const StoredEntry& entry;

    void Say(const std::string& text) const { Message(EntryLabelWithBytes(index, entry.name) + ": " + text); }
};

// Opens (making them) the folder parts of a name below the root. Returns
// the innermost folder, or nullptr with *why set.
const Folder* EnterFolders(ExtractRun& run, const std::vector<std::string>& parts, std::string* why, Outcome* outcome)
{
    FolderCache& cache = run.cache;
    const size_t depth = parts.size() - 1;
    size_t common = 0;
    while (common < depth && common < cache.parts.size() && cache.parts[common] == parts[common])
        ++common;
    cache.parts.resize(common);
    cache.folders.resize(common);
    for (size_t i = common; i < depth; ++i) {
        const Folder& parent = i == 0 ? *run.root : cache.folders[i - 1];
        Folder child;
        SystemError error;
        bool made = false;
        const NodeKind kind = parent.OpenChild(parts[i], &child, &made, &error);
        if (made && cache.firstMade == SIZE_MAX)
            cache.firstMade = i;
        if (kind != NodeKind::Folder) {
            const std::string where = "folder part '" + parts[i] + "'";
            if (kind == NodeKind::Link) {
                *why = where + " is a symbolic link; links are not followed";
                *outcome = Outcome::Refused;
            } else if (kind == NodeKind::Failed) {
                *why = "cannot make " + where + ": " + error.Text();
                *outcome = Outcome::Failed;
            } else {
                *why = where + " exists and is not a folder";
                *outcome = Outcome::Refused;
            }
            return nullptr;
        }
        cache.parts.push_back(parts[i]);
        cache.folders.push_back(std::move(child));
    }
    return depth == 0 ? run.root : &cache.folders[depth - 1];
}

// Takes away the folders made for an entry that was not written, deepest
// first, where they stayed empty.
void RemoveMadeFolders(FolderCache& cache, const Folder& root)
{
    if (cache.firstMade == SIZE_MAX)
        return;
    for (size_t i = cache.folders.size(); i-- > cache.firstMade;) {
        const Folder& parent = i == 0 ? root : cache.folders[i - 1];
        parent.RemoveEmptyChild(cache.parts[i]);
    }
    cache.parts.resize(cache.firstMade);
    cache.folders.resize(cache.firstMade);
    cache.firstMade = SIZE_MAX;
}

// Asks at the terminal. "A" and "N" answer for the rest of the run.
bool AskReplace(ExtractRun& run, const std::string& shownName)
{
    for (;;) {
        Prompt("replace '" + shownName + "'? [y]es, [n]o, [A]ll, [N]one: ");
        std::string answer;
        if (!ReadStdinLine(&answer)) {
            run.policy = Overwrite::Never;
            return false;
        }
        if (!answer.empty() && answer.back() == '\r')
            answer.pop_back();
        if (answer == "y" || answer == "yes")
            return true;
        if (answer == "n" || answer == "no" || answer.empty())
            return false;
        if (answer == "A" || answer == "all") {
            run.policy = Overwrite::Always;
            return true;
        }
        if (answer == "N" || answer == "none") {
            run.policy = Overwrite::Never;
            return false;
        }
    }
}

// The entry's file below the root: its parts and its key (FileKey). False,
// with *outcome, when the name is refused.
bool ChooseFile(const ExtractRun& run, const EntryVoice& voice, std::vector<std::string>* parts, std::string* file,
                Outcome* outcome)
{
    *outcome = Outcome::Refused;
    std::string why;
    if (!EntryFileParts(voice.entry.name, parts, &why)) {
        voice.Say("refused: " + why);
        return false;
    }
    for (const std::string& part : *parts) {
        if (!FileSystemKeepsName(part)) {
            voice.Say("refused: '" + part + "' ends in a dot or a space, which Windows would drop");
            return false;
        }
    }
    *file = FileKey(*parts, FILE_NAMES_IGNORE_CASE);
    const auto earlier = run.written.find(*file);
    if (earlier != run.written.end()) {
        voice.Say(SameFileAs(earlier->second));
        return false;
    }
    return true;
}

// Whether leaf may be written in folder: nothing there, or a file that the
// policy (or the user's answer) says to replace (*replace). False, with
// *outcome, when it is not written.
bool MayWrite(ExtractRun& run, const EntryVoice& voice, const Folder& folder, const std::string& leaf, bool* replace,
              Outcome* outcome)
{
    *replace = false;
    SystemError error;
    FileIdentity identity;
    switch (folder.IdentityOf(leaf, &identity, &error)) {
    case NodeKind::Missing:
        return true;
    case NodeKind::Link:
        voice.Say("refused: the target is a symbolic link; links are not followed");
        *outcome = Outcome::Refused;
        return false;
    case NodeKind::Folder:
    case NodeKind::Other:
        voice.Say("refused: the target exists and is not a file");
        *outcome = Outcome::Refused;
        return false;
    case NodeKind::Failed:
        voice.Say(error.Text());
        *outcome = Outcome::Failed;
        return false;
    case NodeKind::File:
        break;
    }
    const auto earlier = run.writtenFiles.find(identity);
    if (earlier != run.writtenFiles.end()) {
        voice.Say(SameFileAs(earlier->second));
        *outcome = Outcome::Refused;
        return false;
    }
    if (run.policy == Overwrite::Ask)
        *replace = AskReplace(run, NameToUtf8(voice.entry.name, NameForm::Text));
    else
        *replace = run.policy == Overwrite::Always;
    if (Interrupted()) {
        *outcome = Outcome::Interrupted;
        return false;
    }
    if (!*replace) {
        voice.Say("skipped: the file exists");
        ++run.skippedExisting;
        *outcome = Outcome::Skipped;
        return false;
    }
    return true;
}

// Keeps the identity of the file just written under leaf. Taken from the
// name, not from the temporary file: where the file index is the place of
// the directory entry (FAT on Windows), the rename changed it.
Outcome RememberFile(ExtractRun& run, const EntryVoice& voice, const Folder& folder, const std::string& leaf)
{
    FileIdentity identity;
    SystemError error;
    const NodeKind kind = folder.IdentityOf(leaf, &identity, &error);
    if (kind != NodeKind::File) {
        voice.Say("written, then " + (kind == NodeKind::Failed ? "not found again: " + error.Text()
                                                               : std::string("replaced by something else")));
        return Outcome::Failed;
    }
    run.writtenFiles.emplace(identity, voice.index);
    return Outcome::Written;
}

// The entry's bytes written to a temporary file in folder, which then takes
// the name leaf (replacing a file there only when replace is set).
Outcome CopyToFile(ExtractRun& run, const EntryVoice& voice, const Folder& folder, const std::string& leaf,
                   bool replace)
{
    TempFile temp;
    SystemError error;
    if (!temp.Create(folder, &error)) {
        voice.Say("cannot create a file in '" + folder.Path() + "': " + error.Text());
        return Outcome::Failed;
    }
    std::string copyError;
    bool writeFailed = false;
    const bool copied = CopyEntry(
        *run.pack, voice.entry, run.block,
        [&](const unsigned char* data, size_t count) {
            if (!temp.Write(data, count, &error)) {
                writeFailed = true;
                return false;
            }
            run.bytesDone += count;
            run.progress->Update(run.entriesDone, run.bytesDone);
            return true;
        },
        &copyError);
    if (!copied) {
        if (writeFailed)
            copyError = "write failed: " + error.Text();
        temp.Discard();
        if (Interrupted())
            return Outcome::Interrupted;
        voice.Say(copyError);
        return Outcome::Failed;
    }
    if (Interrupted())
        return Outcome::Interrupted;
    switch (temp.Commit(leaf, replace, &error)) {
    case TempFile::CommitResult::Done:
        return RememberFile(run, voice, folder, leaf);
    case TempFile::CommitResult::Exists:
        voice.Say("skipped: the file appeared meanwhile");
        return Outcome::Skipped;
    case TempFile::CommitResult::Failed:
        break;
    }
    voice.Say("cannot rename the finished file: " + error.Text());
    return Outcome::Failed;
}

Outcome WriteEntry(ExtractRun& run, uint32_t index, const StoredEntry& entry)
{
    const EntryVoice voice{index, entry};
    std::vector<std::string> parts;
    std::string file;
    Outcome outcome = Outcome::Failed;
    if (!ChooseFile(run, voice, &parts, &file, &outcome))
        return outcome;
    std::string why;
    const Folder* folder = EnterFolders(run, parts, &why, &outcome);
    if (folder == nullptr) {
        voice.Say((outcome == Outcome::Refused ? "refused: " : "") + why);
        return outcome;
    }
    bool replace = false;
    if (!MayWrite(run, voice, *folder, parts.back(), &replace, &outcome))
        return outcome;
    outcome = CopyToFile(run, voice, *folder, parts.back(), replace);
    if (outcome == Outcome::Written)
        run.written.emplace(file, index);
    return outcome;
}

Outcome ExtractOne(ExtractRun& run, uint32_t index, const StoredEntry& entry)
{
    run.cache.firstMade = SIZE_MAX;
    const Outcome outcome = WriteEntry(run, index, entry);
    if (outcome != Outcome::Written)
        RemoveMadeFolders(run.cache, *run.root);
    return outcome;
}

// Extracts the selected entries in turn, counting those not written;
// false once Ctrl+C ends the run.
bool ExtractSelected(ExtractRun& run, const std::vector<uint32_t>& selected, uint64_t* troubles)
{
    const std::vector<StoredEntry>& entries = run.pack->Entries();
    for (const uint32_t index : selected) {
        const Outcome outcome = ExtractOne(run, index, entries[index]);
        if (outcome == Outcome::Interrupted || Interrupted())
            return false;
        if (outcome != Outcome::Written)
            ++*troubles;
        ++run.entriesDone;
        run.progress->Update(run.entriesDone, run.bytesDone);
    }
    return true;
}

} // namespace

int RunExtract(const ExtractOptions& options)
{
    PackFile pack;
    if (!OpenPackOrSay(options.pack, &pack, "; nothing extracted"))
        return EXIT_FATAL;
    const std::vector<StoredEntry>& entries = pack.Entries();

    std::vector<uint32_t> selected;
    if (!SelectEntries(entries, options.patterns, &selected))
        return EXIT_FATAL;
    uint64_t totalBytes = 0;
    for (const uint32_t index : selected)
        totalBytes += entries[index].size;

    // From here on a file may be half-written: Ctrl+C only raises a flag,
    // and the loop removes that file before it ends. (list, cat and verify
    // write nothing and keep the default: they end at once.)
    InstallInterruptHandler();
    Folder root;
    SystemError error;
    if (!root.OpenRoot(options.folder, &error)) {
        Message(options.folder + ": " + error.Text());
        return EXIT_FATAL;
    }
    Overwrite policy = options.overwrite;
    if (policy == Overwrite::Default)
        policy = StdinIsTerminal() && StderrIsTerminal() ? Overwrite::Ask : Overwrite::Never;

    Progress progress(options.quiet, selected.size(), totalBytes);
    ExtractRun run{&pack, &root, policy, &progress, {}, {}, 0, 0, {}, {}, 0};
    uint64_t troubles = 0;
    if (!ExtractSelected(run, selected, &troubles)) {
        progress.Clear();
        Message("interrupted; the entry being written was removed");
        return InterruptExitCode();
    }
    progress.Clear();
    if (troubles > 0) {
        Message(std::to_string(selected.size() - troubles) + " of " + std::to_string(selected.size()) +
                " entries extracted; " + std::to_string(troubles) + " refused, skipped or failed");
        // Without a terminal nobody was asked: say once how to replace.
        if (run.skippedExisting > 0 && options.overwrite == Overwrite::Default && policy == Overwrite::Never)
            Message(std::to_string(run.skippedExisting) +
                    " skipped because the file exists; --overwrite=always overwrites such files");
        return EXIT_SOME_FAILED;
    }
    progress.Summary(options.folder, "extracted");
    return EXIT_DONE;
}

} // namespace cli
