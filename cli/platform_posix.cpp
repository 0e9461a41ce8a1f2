// quorvel-cli on Linux and other POSIX systems.
#include "cli/platform.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace cli {

namespace {

bool WriteAll(int fd, const char* data, size_t length, SystemError* error)
{
    while (length > 0) {
        const ssize_t written = ::write(fd, data, length);
        if (written < 0) {
            if (errno == EINTR && !Interrupted())
                continue;
            *error = LastSystemError();
            return false;
        }
        data += written;
        length -= size_t(written);
    }
    return true;
}

// The number of the signal that interrupted the run, 0 before one came:
// written by the signal handler, read by the work loops.
volatile std::sig_atomic_t g_interrupted = 0;

void OnSignal(int signal)
{
    if (g_interrupted == 0)
        g_interrupted = signal;
}

NodeKind KindOf(const struct stat& info)
{
    if (S_ISLNK(info.st_mode))
        return NodeKind::Link;
    if (S_ISDIR(info.st_mode))
        return NodeKind::Folder;
    if (S_ISREG(info.st_mode))
        return NodeKind::File;
    return NodeKind::Other;
}

std::atomic<unsigned> g_tempCounter{0};

std::string NextTemporaryName()
{
    return TemporaryName(uint64_t(::getpid()), g_tempCounter.fetch_add(1));
}

} // namespace

SystemError LastSystemError()
{
    return {uint32_t(errno)};
}

std::string SystemError::Text() const
{
    return std::strerror(int(code));
}

static bool IdentityOfDescriptor(int fd, FileIdentity* identity, SystemError* error)
{
    struct stat info;
    if (::fstat(fd, &info) != 0) {
        *error = LastSystemError();
        return false;
    }
    *identity = {uint64_t(info.st_dev), uint64_t(info.st_ino)};
    return true;
}

// ---- InputFile

InputFile::~InputFile()
{
    Close();
}

bool InputFile::Open(const std::string& path, SystemError* error)
{
    Close();
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *error = LastSystemError();
        return false;
    }
    struct stat info;
    const bool known = ::fstat(fd, &info) == 0;
    if (!known || S_ISDIR(info.st_mode)) {
        *error = known ? SystemError{EISDIR} : LastSystemError();
        ::close(fd);
        return false;
    }
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    handle_ = fd;
    return true;
}

NodeKind InputFile::OpenUnfollowed(const std::string& path, SystemError* error)
{
    Close();
    // O_NONBLOCK: a FIFO put under the name is not waited on.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *error = LastSystemError();
        return error->code == ELOOP ? NodeKind::Link : NodeKind::Failed;
    }
    struct stat info;
    if (::fstat(fd, &info) != 0) {
        *error = LastSystemError();
        ::close(fd);
        return NodeKind::Failed;
    }
    if (!S_ISREG(info.st_mode)) {
        ::close(fd);
        return KindOf(info);
    }
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    handle_ = fd;
    return NodeKind::File;
}

InputFile::LockResult InputFile::Lock(bool wait, SystemError* error)
{
    for (;;) {
        if (::flock(int(handle_), LOCK_EX | (wait ? 0 : LOCK_NB)) == 0)
            return LockResult::Locked;
        if (errno == EINTR && !Interrupted())
            continue;
        if (errno == EWOULDBLOCK && !wait)
            return LockResult::Busy;
        *error = LastSystemError();
        return LockResult::Failed;
    }
}

int64_t InputFile::ReadAt(uint64_t position, void* buffer, size_t count, SystemError* error)
{
    for (;;) {
        const ssize_t got = ::pread(int(handle_), buffer, count, off_t(position));
        if (got < 0 && errno == EINTR && !Interrupted())
            continue;
        if (got < 0)
            *error = LastSystemError();
        return got;
    }
}

bool InputFile::Size(uint64_t* size, SystemError* error)
{
    struct stat info;
    if (::fstat(int(handle_), &info) != 0) {
        *error = LastSystemError();
        return false;
    }
    *size = uint64_t(info.st_size);
    return true;
}

bool InputFile::Identity(FileIdentity* identity, SystemError* error) const
{
    return IdentityOfDescriptor(int(handle_), identity, error);
}

void InputFile::Close()
{
    if (handle_ >= 0)
        ::close(int(handle_));
    handle_ = -1;
}

// ---- Standard streams

bool StdinIsTerminal()
{
    return ::isatty(0) == 1;
}

bool StdoutIsTerminal()
{
    return ::isatty(1) == 1;
}

bool StderrIsTerminal()
{
    return ::isatty(2) == 1;
}

bool WriteStdoutRaw(const char* data, size_t length, StdoutData, SystemError* error)
{
    return WriteAll(1, data, length, error);
}

void WriteStderrText(const std::string& text)
{
    SystemError ignored; // nowhere left to say it
    WriteAll(2, text.data(), text.size(), &ignored);
}

bool ReadStdinLine(std::string* line)
{
    line->clear();
    for (;;) {
        char c;
        const ssize_t got = ::read(0, &c, 1);
        if (got < 0 && errno == EINTR && !Interrupted())
            continue;
        if (got <= 0)
            return false;
        if (c == '\n')
            return true;
        line->push_back(c);
    }
}

// ---- Interruption

void InstallInterruptHandler()
{
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a read waiting at the terminal returns so that the
    // answer prompt notices the interruption.
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGHUP, &action, nullptr);
}

bool Interrupted()
{
    return g_interrupted != 0;
}

int InterruptExitCode()
{
    return 128 + int(g_interrupted);
}

void RunEnded()
{}

// ---- Folder

Folder::Folder(Folder&& other) noexcept : path_(std::move(other.path_)), handle_(other.handle_)
{
    other.handle_ = -1;
}

Folder& Folder::operator=(Folder&& other) noexcept
{
    if (this != &other) {
        if (handle_ >= 0)
            ::close(int(handle_));
        path_ = std::move(other.path_);
        handle_ = other.handle_;
        other.handle_ = -1;
    }
    return *this;
}

Folder::~Folder()
{
    if (handle_ >= 0)
        ::close(int(handle_));
}

bool Folder::OpenRoot(const std::string& path, SystemError* error, std::vector<std::string>* made)
{
    const std::string target = path.empty() ? "." : path;
    // Make the missing parts from the top down.
    for (size_t slash = target.find('/', 1);; slash = target.find('/', slash + 1)) {
        const std::string part = target.substr(0, slash);
        if (::mkdir(part.c_str(), 0777) == 0) {
            if (made != nullptr)
                made->push_back(part);
        } else if (errno != EEXIST) {
            *error = LastSystemError();
            return false;
        }
        if (slash == std::string::npos)
            break;
    }
    const int fd = ::open(target.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        *error = LastSystemError();
        return false;
    }
    if (handle_ >= 0)
        ::close(int(handle_));
    handle_ = fd;
    path_ = target;
    return true;
}

NodeKind Folder::Inspect(const std::string& name, SystemError* error) const
{
    FileIdentity ignored;
    return IdentityOf(name, &ignored, error);
}

NodeKind Folder::IdentityOf(const std::string& name, FileIdentity* identity, SystemError* error) const
{
    struct stat info;
    if (::fstatat(int(handle_), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT)
            return NodeKind::Missing;
        *error = LastSystemError();
        return NodeKind::Failed;
    }
    *identity = {uint64_t(info.st_dev), uint64_t(info.st_ino)};
    return KindOf(info);
}

NodeKind Folder::OpenChild(const std::string& name, Folder* child, bool* made, SystemError* error) const
{
    *made = ::mkdirat(int(handle_), name.c_str(), 0777) == 0;
    if (!*made && errno != EEXIST) {
        *error = LastSystemError();
        return NodeKind::Failed;
    }
    // O_NOFOLLOW: a link put there between the check and the open is
    // refused here rather than followed.
    const int fd = ::openat(int(handle_), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        const SystemError openError = LastSystemError();
        SystemError ignored;
        const NodeKind found = Inspect(name, &ignored);
        *error = openError;
        return found == NodeKind::Folder || found == NodeKind::Missing ? NodeKind::Failed : found;
    }
    if (child->handle_ >= 0)
        ::close(int(child->handle_));
    child->handle_ = fd;
    child->path_ = path_ + "/" + name;
    return NodeKind::Folder;
}

void Folder::RemoveEmptyChild(const std::string& name) const
{
    ::unlinkat(int(handle_), name.c_str(), AT_REMOVEDIR);
}

bool FileSystemKeepsName(const std::string&)
{
    return true;
}

const bool FILE_NAMES_IGNORE_CASE = false;

const bool OPEN_FILES_BLOCK_REPLACE = false;

void RemoveMadeFolders(const std::vector<std::string>& made)
{
    for (auto folder = made.rbegin(); folder != made.rend(); ++folder)
        ::rmdir(folder->c_str());
}

// ---- TempFile

namespace {

// An unnamed file is given its name through /proc (linkat with
// AT_EMPTY_PATH needs a privilege ordinary users lack); without /proc the
// named temporary file serves.
bool UnnamedFilesUsable()
{
    static const bool usable = ::access("/proc/self/fd", X_OK) == 0;
    return usable;
}

std::string ProcPath(int fd)
{
    return "/proc/self/fd/" + std::to_string(fd);
}

int OpenNamedTemp(int dir, std::string* name)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        *name = NextTemporaryName();
        const int fd = ::openat(dir, name->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

} // namespace

TempFile::~TempFile()
{
    Discard();
}

bool TempFile::Create(const Folder& folder, SystemError* error)
{
    Discard();
    const int dir = int(folder.handle_);
    // Unnamed: nothing to remove if the run is cut short, even by SIGKILL,
    // and one directory insert per entry instead of an insert and a rename.
    int fd = -1;
    if (UnnamedFilesUsable())
        fd = ::openat(dir, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    if (fd < 0) {
        std::string name;
        fd = OpenNamedTemp(dir, &name);
        if (fd < 0) {
            *error = LastSystemError();
            return false;
        }
        tempName_ = std::move(name);
    }
    folder_ = &folder;
    handle_ = fd;
    return true;
}

bool TempFile::Identity(FileIdentity* identity, SystemError* error) const
{
    return IdentityOfDescriptor(int(handle_), identity, error);
}

bool TempFile::Write(const void* data, size_t count, SystemError* error)
{
    return WriteAll(int(handle_), static_cast<const char*>(data), count, error);
}

namespace {

// Gives the unnamed file open as fd a temporary name in dir: 0, or -1
// with errno set.
int LinkTemporaryName(int dir, int fd, std::string* tempName)
{
    int done = -1;
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string temp = NextTemporaryName();
        done = ::linkat(AT_FDCWD, ProcPath(fd).c_str(), dir, temp.c_str(), AT_SYMLINK_FOLLOW);
        if (done == 0) {
            *tempName = std::move(temp);
            break;
        }
        if (errno != EEXIST)
            break;
    }
    return done;
}

// Renames tempName to name in dir, over an existing name only when replace
// is set: 0, or -1 with errno set (EEXIST for a name taken).
int RenameTemporary(int dir, const std::string& tempName, const std::string& name, bool replace)
{
    if (replace)
        return ::renameat(dir, tempName.c_str(), dir, name.c_str());
    int done = ::renameat2(dir, tempName.c_str(), dir, name.c_str(), RENAME_NOREPLACE);
    if (done != 0 && (errno == EINVAL || errno == ENOSYS)) {
        // A file system without the flag: a hard link fails on an
        // existing name just the same.
        done = ::linkat(dir, tempName.c_str(), dir, name.c_str(), 0);
        if (done == 0)
            ::unlinkat(dir, tempName.c_str(), 0);
    }
    return done;
}

} // namespace

TempFile::CommitResult TempFile::Commit(const std::string& name, bool replace, SystemError* error)
{
    const int dir = int(folder_->handle_);
    const int fd = int(handle_);
    int done = 0;
    if (tempName_.empty() && !replace) {
        // linkat never replaces and never follows a link at the target.
        done = ::linkat(AT_FDCWD, ProcPath(fd).c_str(), dir, name.c_str(), AT_SYMLINK_FOLLOW);
    } else {
        // Replacing: a temporary name first, then a rename over the target.
        if (tempName_.empty())
            done = LinkTemporaryName(dir, fd, &tempName_);
        if (done == 0)
            done = RenameTemporary(dir, tempName_, name, replace);
        if (done == 0)
            tempName_.clear();
    }
    const SystemError commitError = LastSystemError();
    const bool closed = ::close(fd) == 0;
    const SystemError closeError = LastSystemError();
    handle_ = -1;
    if (done != 0 || !closed) {
        if (done == 0) {
            // Named but not written back completely: take the name away again.
            ::unlinkat(dir, name.c_str(), 0);
        }
        Discard();
        *error = done != 0 ? commitError : closeError;
        return done != 0 && commitError.code == EEXIST ? CommitResult::Exists : CommitResult::Failed;
    }
    folder_ = nullptr;
    return CommitResult::Done;
}

void TempFile::Discard()
{
    if (handle_ >= 0)
        ::close(int(handle_));
    handle_ = -1;
    if (folder_ != nullptr && !tempName_.empty())
        ::unlinkat(int(folder_->handle_), tempName_.c_str(), 0);
    tempName_.clear();
    folder_ = nullptr;
}

namespace {

constexpr size_t COPY_BLOCK_BYTES = 4 * 1024 * 1024;

// Where the kernel has no in-file copy between these two files.
int64_t CopyByBlocks(int from, uint64_t position, int to, uint64_t count, SystemError* error)
{
    std::vector<char> block(size_t(std::min<uint64_t>(count, COPY_BLOCK_BYTES)));
    uint64_t done = 0;
    while (done < count) {
        const size_t want = size_t(std::min<uint64_t>(count - done, block.size()));
        const ssize_t got = ::pread(from, block.data(), want, off_t(position + done));
        if (got < 0 && errno == EINTR && !Interrupted())
            continue;
        if (got < 0) {
            *error = LastSystemError();
            return -1;
        }
        if (got == 0)
            break;
        if (!WriteAll(to, block.data(), size_t(got), error))
            return -1;
        done += uint64_t(got);
    }
    return int64_t(done);
}

} // namespace

int64_t TempFile::CopyFrom(InputFile& source, uint64_t position, uint64_t count, SystemError* error)
{
    const int from = int(source.handle_);
    const int to = int(handle_);
    uint64_t done = 0;
    while (done < count) {
        loff_t at = loff_t(position + done);
        const ssize_t copied = ::copy_file_range(from, &at, to, nullptr, size_t(count - done), 0);
        if (copied < 0 && errno == EINTR && !Interrupted())
            continue;
        if (copied < 0) {
            // Not offered between these files (another file system, an old
            // kernel): what is left goes by blocks.
            if (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP || errno == EBADF) {
                const int64_t rest = CopyByBlocks(from, position + done, to, count - done, error);
                return rest < 0 ? -1 : int64_t(done) + rest;
            }
            *error = LastSystemError();
            return -1;
        }
        if (copied == 0)
            break;
        done += uint64_t(copied);
    }
    return int64_t(done);
}

bool TempFile::TakePermissionsOf(InputFile& model, SystemError* error)
{
    struct stat info;
    if (::fstat(int(model.handle_), &info) != 0) {
        *error = LastSystemError();
        return false;
    }
    // The owner first: a change of owner clears the set-id bits that the
    // mode then restores. Only a privileged user may give a file away, so a
    // refusal there is no failure.
    if (::fchown(int(handle_), info.st_uid, info.st_gid) != 0 && errno != EPERM) {
        *error = LastSystemError();
        return false;
    }
    if (::fchmod(int(handle_), info.st_mode & 07777) != 0) {
        *error = LastSystemError();
        return false;
    }
    return true;
}

bool TempFile::Flush(SystemError* error)
{
    if (::fsync(int(handle_)) != 0) {
        *error = LastSystemError();
        return false;
    }
    return true;
}

TempFile::CommitResult TempFile::CommitReplacing(const std::string& name, SystemError* error)
{
    const int dir = int(folder_->handle_);
    const CommitResult result = Commit(name, true, error);
    // The new name on the disk too. The file is in place whatever this
    // answers, so a failure here is no failure of the commit.
    if (result == CommitResult::Done)
        ::fsync(dir);
    return result;
}

// ---- Walking

namespace {

std::string WalkedPath(const std::string& root, const std::string& relative)
{
    return relative.empty() ? root : JoinPath(root, relative);
}

bool WalkInto(int parent, const std::string& name, const std::string& root, const std::string& relative,
              std::vector<SourceFile>* files, std::string* error)
{
    // The source folder itself may be a link of the user's; nothing below it is followed.
    const int noFollow = relative.empty() ? 0 : O_NOFOLLOW;
    const int fd = ::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | noFollow | O_CLOEXEC);
    if (fd < 0) {
        const SystemError failed = LastSystemError();
        *error = WalkedPath(root, relative) + ": " + failed.Text();
        return false;
    }
    DIR* dir = ::fdopendir(fd);
    if (dir == nullptr) {
        const SystemError failed = LastSystemError();
        ::close(fd);
        *error = WalkedPath(root, relative) + ": " + failed.Text();
        return false;
    }
    bool ok = true;
    while (ok) {
        errno = 0;
        const struct dirent* item = ::readdir(dir);
        if (item == nullptr) {
            if (errno != 0) {
                const SystemError failed = LastSystemError();
                *error = WalkedPath(root, relative) + ": " + failed.Text();
                ok = false;
            }
            break;
        }
        const std::string child = item->d_name;
        if (child == "." || child == "..")
            continue;
        const std::string childRelative = relative.empty() ? child : relative + "/" + child;
        struct stat info;
        if (::fstatat(::dirfd(dir), child.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
            const SystemError failed = LastSystemError();
            *error = WalkedPath(root, childRelative) + ": " + failed.Text();
            ok = false;
            break;
        }
        const NodeKind kind = KindOf(info);
        if (kind == NodeKind::Folder)
            ok = WalkInto(::dirfd(dir), child, root, childRelative, files, error);
        else
            files->push_back(
                {childRelative, kind, uint64_t(info.st_size), {uint64_t(info.st_dev), uint64_t(info.st_ino)}});
    }
    ::closedir(dir);
    return ok;
}

} // namespace

bool WalkFolder(const std::string& root, std::vector<SourceFile>* files, std::string* error)
{
    return WalkInto(AT_FDCWD, root, root, "", files, error);
}

void SplitPath(const std::string& path, std::string* parent, std::string* name)
{
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        parent->clear();
        *name = path;
    } else {
        *parent = slash == 0 ? "/" : path.substr(0, slash);
        *name = path.substr(slash + 1);
    }
}

std::string JoinPath(const std::string& folder, const std::string& relative)
{
    if (folder.empty())
        return relative;
    return folder.back() == '/' ? folder + relative : folder + "/" + relative;
}

} // namespace cli
