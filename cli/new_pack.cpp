// The writer of a new pack: what create, update and patch share.
#include "cli/new_pack.h"

#include "cli/entry_files.h"
#include "cli/names.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

namespace cli {

namespace {

constexpr uint64_t LARGEST_FIELD = 0xFFFFFFFFull;

// The kernel copies this much between two looks at Ctrl+C and the progress line.
constexpr uint64_t COPY_SLICE_BYTES = 64ull * 1024 * 1024;

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

// The last steps before the new file takes its name: written through to
// the disk when it replaces a file, and a last look at Ctrl+C, which may
// have come during that flush. EXIT_DONE, or the exit code of the run with
// the file discarded and "interrupted; " + tail said.
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

// The identity of the file under path's name, links not followed.
NodeKind NamedIdentity(const std::string& path, FileIdentity* identity, SystemError* error)
{
    std::string parentPath;
    std::string name;
    SplitPath(path, &parentPath, &name);
    Folder parent;
    if (!parent.OpenRoot(parentPath.empty() ? "." : parentPath, error))
        return NodeKind::Failed;
    return parent.IdentityOf(name, identity, error);
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

bool OpenPackFolder(const std::string& parentPath, const std::string& name, const std::string& unwritten,
                    PackFolder* parent, NodeKind* existing)
{
    const std::string shown = parentPath.empty() ? "." : parentPath;
    SystemError error;
    if (!parent->folder.OpenRoot(shown, &error, &parent->made)) {
        Message(shown + ": " + error.Text() + "; " + unwritten);
        return false;
    }
    *existing = parent->folder.Inspect(name, &error);
    if (*existing == NodeKind::Failed) {
        Message(JoinPath(parentPath, name) + ": " + error.Text() + "; " + unwritten);
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

std::string FollowedPack(const std::string& pack)
{
    const std::filesystem::path typed(std::u8string(pack.begin(), pack.end()));
    std::error_code failed;
    if (!std::filesystem::is_symlink(std::filesystem::symlink_status(typed, failed)))
        return pack;
    const auto target = std::filesystem::canonical(typed, failed);
    if (failed)
        return pack;
    const std::u8string text = target.u8string();
    return std::string(text.begin(), text.end());
}

bool OpenLocked(const std::string& path, const std::string& shown, PackFile* pack, FileIdentity* identity)
{
    for (;;) {
        if (!OpenPackOrSay(path, pack, "; nothing written"))
            return false;
        SystemError error;
        InputFile::LockResult locked = pack->File().Lock(false, &error);
        if (locked == InputFile::LockResult::Busy) {
            Message(shown + ": another run is updating it; waiting");
            locked = pack->File().Lock(true, &error);
        }
        if (locked != InputFile::LockResult::Locked) {
            Message("cannot lock " + shown + ": " + error.Text() + "; nothing written");
            return false;
        }
        FileIdentity named;
        if (!pack->File().Identity(identity, &error)) {
            Message(shown + ": " + error.Text() + "; nothing written");
            return false;
        }
        const NodeKind kind = NamedIdentity(path, &named, &error);
        if (kind == NodeKind::Failed) {
            Message(shown + ": " + error.Text() + "; nothing written");
            return false;
        }
        if (kind == NodeKind::Link) {
            Message(shown + ": a link that could not be resolved; name the pack it leads to; nothing written");
            return false;
        }
        if (kind == NodeKind::File && named == *identity)
            return true;
    }
}

bool OpenPackToRewrite(const std::string& typed, bool dryRun, PackToRewrite* rewritten)
{
    rewritten->typed = typed;
    rewritten->path = FollowedPack(typed);
    return dryRun ? OpenPackOrSay(rewritten->path, &rewritten->pack, "; nothing written")
                  : OpenLocked(rewritten->path, typed, &rewritten->pack, &rewritten->identity);
}

bool NamesAFileOrSay(const std::string& path, const std::string& tail)
{
    std::string parentPath;
    std::string fileName;
    SplitPath(path, &parentPath, &fileName);
    if (fileName.empty())
        Message(path + ": not a file name" + tail);
    return !fileName.empty();
}

bool OpenNewTarget(const std::string& path, bool force, const std::string& unwritten, PackTarget* target)
{
    std::string parentPath;
    target->shown = path;
    SplitPath(path, &parentPath, &target->name);
    if (!OpenPackFolder(parentPath, target->name, unwritten, &target->parent, &target->existing))
        return false;
    if (target->existing != NodeKind::Missing && !(target->existing == NodeKind::File && force)) {
        Message(
            path +
            (target->existing == NodeKind::File ? ": exists (--force replaces it); " : ": exists and is not a file; ") +
            unwritten);
        return false;
    }
    return true;
}

bool OpenTarget(const PackToRewrite& rewritten, const std::string& output, bool force, PackTarget* target)
{
    const bool toOut = !output.empty();
    target->shown = toOut ? output : rewritten.typed;
    std::string parentPath;
    SplitPath(toOut ? output : rewritten.path, &parentPath, &target->name);
    if (!OpenPackFolder(parentPath, target->name, "nothing written", &target->parent, &target->existing))
        return false;
    FileIdentity found;
    SystemError error;
    if (target->existing == NodeKind::File &&
        target->parent.folder.IdentityOf(target->name, &found, &error) == NodeKind::File)
        target->replacesPack = found == rewritten.identity;
    if (target->existing == NodeKind::File && !target->replacesPack && !force) {
        Message(target->shown + ": exists (--force replaces it); nothing written");
        return false;
    }
    if (target->existing != NodeKind::Missing && target->existing != NodeKind::File) {
        Message(target->shown +
                (target->existing == NodeKind::Link ? ": a symbolic link (OUT is not followed)"
                                                    : ": exists and is not a file") +
                "; nothing written");
        return false;
    }
    return true;
}

WriterWords ReplacingWords(const std::string& shown)
{
    return {"nothing written; " + shown + " is as it was", shown + " is as it was",
            shown + ": appeared meanwhile (--force replaces it); nothing written",
            "cannot put the new pack in place of " + shown + ": ", "; it is as it was"};
}

PackWriter::PackWriter(PackTarget& target, WriterWords words) : target_(target), words_(std::move(words))
{}

bool PackWriter::Start(const std::vector<Planned>& layout, bool quiet)
{
    progress_.emplace(quiet, layout.size(), DataBytes(layout));
    std::vector<unsigned char> directory;
    if (!EncodeBackToBack(layout, &directory)) {
        Message("cannot encode the directory; nothing written");
        return false;
    }
    SystemError error;
    if (!out_.Create(target_.parent.folder, &error)) {
        Message("cannot create a file beside " + target_.shown + ": " + error.Text());
        return false;
    }
    if (!out_.Write(directory.data(), directory.size(), &error)) {
        Message("cannot write the pack: " + error.Text());
        return false;
    }
    return true;
}

bool PackWriter::StartEmpty(SystemError* error)
{
    return out_.Create(target_.parent.folder, error);
}

bool PackWriter::TakePermissionsOf(InputFile& pack, const std::string& shownPack)
{
    SystemError error;
    if (!out_.TakePermissionsOf(pack, &error)) {
        Message("cannot give the new pack the permissions of " + shownPack + ": " + error.Text());
        return false;
    }
    return true;
}

bool PackWriter::AppendFile(const std::string& path, const Planned& item)
{
    InputFile file;
    SystemError error;
    if (!OpenSourceFile(path, item, &file))
        return false;
    block_.resize(TRANSFER_BLOCK_BYTES);
    const uint64_t expected = item.size;
    uint64_t position = 0;
    for (;;) {
        if (Interrupted())
            return false;
        const int64_t got = file.ReadAt(position, block_.data(), block_.size(), &error);
        if (got < 0) {
            Message(path + ": " + error.Text());
            return false;
        }
        if (got == 0 || position + uint64_t(got) > expected)
            break;
        NegateBytes(block_.data(), uint32_t(got));
        if (!out_.Write(block_.data(), size_t(got), &error)) {
            Message("cannot write the pack: " + error.Text());
            return false;
        }
        position += uint64_t(got);
        bytesDone_ += uint64_t(got);
        progress_->Update(entriesDone_, bytesDone_);
    }
    if (position != expected || file.ReadAt(position, block_.data(), 1, &error) != 0) {
        Message(path + ": changed while it was being read");
        return false;
    }
    return true;
}

bool PackWriter::CopyRun(InputFile& from, const std::string& shown, uint64_t position, uint64_t count)
{
    for (uint64_t done = 0; done < count;) {
        if (Interrupted())
            return false;
        const uint64_t slice = std::min(COPY_SLICE_BYTES, count - done);
        SystemError error;
        const int64_t copied = out_.CopyFrom(from, position + done, slice, &error);
        if (copied < 0) {
            Message("cannot copy from " + shown + " into the new pack: " + error.Text());
            return false;
        }
        if (uint64_t(copied) != slice) {
            Message(shown + ": changed while it was being read");
            return false;
        }
        done += slice;
        bytesDone_ += slice;
        progress_->Update(entriesDone_, bytesDone_);
    }
    return true;
}

bool PackWriter::CopyKeptRun(PackFile& pack, size_t first, size_t slots,
                             const std::function<std::optional<uint32_t>(size_t slot)>& keptAt, size_t* next)
{
    const std::vector<StoredEntry>& entries = pack.Entries();
    const StoredEntry& start = entries[*keptAt(first)];
    uint64_t runEnd = uint64_t(start.offset) + start.size;
    size_t after = first + 1;
    for (std::optional<uint32_t> kept; after < slots && (kept = keptAt(after)) && entries[*kept].offset == runEnd;
         ++after)
        runEnd += entries[*kept].size;
    if (!CopyRun(pack.File(), pack.Path(), pack.DataAreaStart() + start.offset, runEnd - start.offset))
        return false;
    EntriesDone(after - first);
    *next = after;
    return true;
}

int PackWriter::Finish(bool written, bool force, PackToRewrite* rewritten)
{
    if (progress_)
        progress_->Clear();
    if (!written || Interrupted()) {
        out_.Discard();
        if (Interrupted()) {
            Message("interrupted; " + words_.tail);
            return InterruptExitCode();
        }
        Message(words_.unwritten);
        return EXIT_FATAL;
    }
    const bool replacing = target_.existing == NodeKind::File;
    const int ready = ReadyToName(out_, replacing, words_.tail);
    if (ready != EXIT_DONE)
        return ready;
    SystemError error;
    if (rewritten && target_.replacesPack) {
        // Another run locks the pack before it replaces it; any other
        // program that put a file under the name meanwhile keeps it.
        FileIdentity now;
        if (target_.parent.folder.IdentityOf(target_.name, &now, &error) != NodeKind::File ||
            now != rewritten->identity) {
            out_.Discard();
            Message(target_.shown + ": replaced by another program meanwhile; nothing written");
            return EXIT_FATAL;
        }
    }
    // The lock is held through the rename, except where an open file cannot
    // be replaced: a run that takes it then finds the name changed anyway.
    if (rewritten && OPEN_FILES_BLOCK_REPLACE)
        rewritten->pack.File().Close();
    const TempFile::CommitResult result =
        replacing ? out_.CommitReplacing(target_.name, &error) : out_.Commit(target_.name, force, &error);
    switch (result) {
    case TempFile::CommitResult::Done:
        target_.parent.named = true;
        return EXIT_DONE;
    case TempFile::CommitResult::Exists:
        Message(words_.appeared);
        return EXIT_FATAL;
    case TempFile::CommitResult::Failed:
        break;
    }
    Message(words_.cannotName + error.Text() + words_.afterReason);
    return EXIT_FATAL;
}

} // namespace cli
