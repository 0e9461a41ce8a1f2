// mount: the pack as a read-only folder, served through FUSE's low-level
// interface by several threads.
#include "cli/commands.h"
#include "cli/fuse_library.h"
#include "cli/mount_tree.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace cli {

namespace {

// The kernel asks for at most this much in one read, and reads ahead as
// far as it allows up to this.
constexpr unsigned READ_BYTES = 1024 * 1024;
// The tree never changes while mounted: the kernel may keep what it was
// told for as long as it likes.
constexpr double CACHE_SECONDS = 86400;
// Threads kept waiting for requests; more are started while all are busy.
constexpr unsigned IDLE_THREADS = 10;
constexpr const char* FUSE_PACKAGE_HINT = "FUSE is needed (Debian: apt install fuse3)";

// Filled before the session starts; read-only for every thread after.
FuseLibrary g_fuse;

// What every request reads. The tree is immutable once built and the pack
// is only read with positioned reads, so the session's threads need no lock.
struct MountState {
    MountTree tree;
    mutable PackFile pack; // only positioned reads, which share no file position
    uid_t owner;
    gid_t group;
    // The pack file as it was when mounted (fstat of the open pack).
    struct stat atMount;
    // Set by OnInit, which the kernel has answered before it sends any
    // other request: the kernel opens files and folders itself, keeping
    // their page cache, and the open requests stop.
    bool kernelOpens = false;
    // Without -f: the end of a pipe that the waiting parent reads, written
    // and closed by OnInit, which runs once before any other request.
    int readyPipe = -1;
};

const MountState& StateOf(fuse_req_t request)
{
    return *static_cast<const MountState*>(g_fuse.requestData(request));
}

// NO_NODE for a number the tree never gave.
uint32_t NodeOf(const MountState& state, fuse_ino_t inode)
{
    return inode >= 1 && inode <= state.tree.nodes.size() ? uint32_t(inode - 1) : NO_NODE;
}

void FillAttributes(const MountState& state, uint32_t index, struct stat* out)
{
    const MountNode& node = state.tree.nodes[index];
    std::memset(out, 0, sizeof *out);
    out->st_ino = index + 1;
    out->st_uid = state.owner;
    out->st_gid = state.group;
    out->st_atim = state.atMount.st_atim;
    out->st_mtim = state.atMount.st_mtim;
    out->st_ctim = state.atMount.st_ctim;
    if (node.isFolder) {
        out->st_mode = S_IFDIR | 0555;
        // find and others count on it: 2 + the number of sub-folders.
        out->st_nlink = 2 + node.folders;
    } else {
        out->st_mode = S_IFREG | 0444;
        out->st_nlink = 1;
        out->st_size = off_t(node.size);
        out->st_blocks = blkcnt_t((uint64_t(node.size) + 511) / 512);
    }
}

// ---- Requests

void OnInit(void* data, struct fuse_conn_info* connection)
{
    MountState& state = *static_cast<MountState*>(data);
    // Two requests fewer for every file read (open, release) and folder
    // listed: for many small files they are most of the work.
    const unsigned noOpen = FUSE_CAP_NO_OPEN_SUPPORT | FUSE_CAP_NO_OPENDIR_SUPPORT;
    if ((connection->capable & noOpen) == noOpen) {
        connection->want |= noOpen;
        state.kernelOpens = true;
    }
    connection->max_read = READ_BYTES;
    // The kernel keeps the smaller of this and its mount's read-ahead, which
    // RaiseReadAhead may have raised after the kernel made its offer.
    connection->max_readahead = READ_BYTES;
    if (connection->capable & FUSE_CAP_PARALLEL_DIROPS)
        connection->want |= FUSE_CAP_PARALLEL_DIROPS;
    if (state.readyPipe >= 0) {
        const char ready = 1;
        (void)!::write(state.readyPipe, &ready, 1);
        ::close(state.readyPipe);
        state.readyPipe = -1;
    }
}

void OnLookup(fuse_req_t request, fuse_ino_t parent, const char* name)
{
    const MountState& state = StateOf(request);
    const uint32_t folder = NodeOf(state, parent);
    struct fuse_entry_param entry;
    std::memset(&entry, 0, sizeof entry);
    entry.attr_timeout = CACHE_SECONDS;
    entry.entry_timeout = CACHE_SECONDS;
    if (folder == NO_NODE || !state.tree.nodes[folder].isFolder) {
        g_fuse.replyError(request, ENOTDIR);
        return;
    }
    const uint32_t found = state.tree.Child(folder, name);
    // A name that is not there is answered with inode 0 and a timeout: the
    // kernel then remembers that it is missing too.
    if (found != NO_NODE) {
        entry.ino = found + 1;
        FillAttributes(state, found, &entry.attr);
    }
    g_fuse.replyEntry(request, &entry);
}

void OnGetAttributes(fuse_req_t request, fuse_ino_t inode, struct fuse_file_info*)
{
    const MountState& state = StateOf(request);
    const uint32_t index = NodeOf(state, inode);
    if (index == NO_NODE) {
        g_fuse.replyError(request, ENOENT);
        return;
    }
    struct stat attributes;
    FillAttributes(state, index, &attributes);
    g_fuse.replyAttributes(request, &attributes, CACHE_SECONDS);
}

void OnOpenFolder(fuse_req_t request, fuse_ino_t inode, struct fuse_file_info* info)
{
    const MountState& state = StateOf(request);
    const uint32_t index = NodeOf(state, inode);
    if (index == NO_NODE || !state.tree.nodes[index].isFolder) {
        g_fuse.replyError(request, ENOTDIR);
        return;
    }
    // The kernel then opens every folder itself, its listing kept cached.
    if (state.kernelOpens) {
        g_fuse.replyError(request, ENOSYS);
        return;
    }
    info->cache_readdir = 1;
    info->keep_cache = 1;
    g_fuse.replyOpen(request, info);
}

// Offsets: 0 ".", 1 "..", 2 + k the folder's k-th child. No "plus" form
// with attributes: it would make the kernel build an inode for every name
// listed (about a kilobyte each), slowing `find` and filling memory for a
// large folder only to spare a lookup per name that is opened.
void OnReadFolder(fuse_req_t request, fuse_ino_t inode, size_t size, off_t offset, struct fuse_file_info*)
{
    const MountState& state = StateOf(request);
    const uint32_t index = NodeOf(state, inode);
    if (index == NO_NODE || !state.tree.nodes[index].isFolder) {
        g_fuse.replyError(request, ENOTDIR);
        return;
    }
    const MountNode& folder = state.tree.nodes[index];
    std::vector<char> buffer(size);
    size_t used = 0;
    struct stat attributes;
    std::memset(&attributes, 0, sizeof attributes);
    for (uint64_t position = uint64_t(std::max<off_t>(offset, 0)); position < 2 + uint64_t(folder.size); ++position) {
        uint32_t shown = index;
        std::string_view name = ".";
        if (position == 1) {
            shown = folder.parent;
            name = "..";
        } else if (position >= 2) {
            shown = state.tree.children[folder.offset + position - 2];
            name = state.tree.Name(state.tree.nodes[shown]);
        }
        const std::string text(name);
        attributes.st_ino = shown + 1;
        attributes.st_mode = state.tree.nodes[shown].isFolder ? S_IFDIR : S_IFREG;
        const size_t needed = g_fuse.addDirectoryEntry(request, buffer.data() + used, size - used, text.c_str(),
                                                       &attributes, off_t(position + 1));
        if (needed > size - used)
            break;
        used += needed;
    }
    g_fuse.replyBuffer(request, buffer.data(), used);
}

void OnOpen(fuse_req_t request, fuse_ino_t inode, struct fuse_file_info* info)
{
    const MountState& state = StateOf(request);
    const uint32_t index = NodeOf(state, inode);
    if (index == NO_NODE) {
        g_fuse.replyError(request, ENOENT);
        return;
    }
    if (state.tree.nodes[index].isFolder) {
        g_fuse.replyError(request, EISDIR);
        return;
    }
    if ((info->flags & O_ACCMODE) != O_RDONLY || (info->flags & O_TRUNC) != 0) {
        g_fuse.replyError(request, EROFS);
        return;
    }
    // The kernel then opens every file itself and keeps its page cache.
    if (state.kernelOpens) {
        g_fuse.replyError(request, ENOSYS);
        return;
    }
    // The pack does not change under a mount: what the kernel cached from
    // an earlier open is still right.
    info->keep_cache = 1;
    g_fuse.replyOpen(request, info);
}

bool SameTime(const struct timespec& a, const struct timespec& b)
{
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// A pack rewritten in place (cp over it, a program saving into it) would
// hand out another pack's bytes as these entries: it shows as another size
// or modification time, or another change time with the same links (a
// change time restored by hand). Replacing the pack by rename, as update
// does, or removing it, changes only the mounted file's links and change
// time: its bytes are still the ones mounted.
bool PackChanged(const MountState& state)
{
    struct stat now;
    if (::fstat(int(state.pack.File().Handle()), &now) != 0)
        return true;
    const struct stat& then = state.atMount;
    return now.st_size != then.st_size || !SameTime(now.st_mtim, then.st_mtim) ||
           (!SameTime(now.st_ctim, then.st_ctim) && now.st_nlink == then.st_nlink);
}

void OnRead(fuse_req_t request, fuse_ino_t inode, size_t size, off_t offset, struct fuse_file_info*)
{
    const MountState& state = StateOf(request);
    const uint32_t index = NodeOf(state, inode);
    if (index == NO_NODE || state.tree.nodes[index].isFolder) {
        g_fuse.replyError(request, EISDIR);
        return;
    }
    const MountNode& node = state.tree.nodes[index];
    if (offset < 0 || uint64_t(offset) >= node.size) {
        g_fuse.replyBuffer(request, nullptr, 0);
        return;
    }
    const size_t count = size_t(std::min<uint64_t>(size, node.size - uint64_t(offset)));
    // One block per thread of the session, as large as its largest read.
    thread_local std::vector<unsigned char> block;
    if (block.size() < count)
        block.resize(count);
    // A pack that ends before the entry does (it was cut short after it was
    // mounted, or was already) never hands out other bytes; the change
    // check comes after the read, so that a rewrite during it is caught too.
    SystemError error;
    if (ReadEntryBytes(state.pack, node.offset, uint64_t(offset), block.data(), count, EntryBytes::Restored, &error) !=
            EntryRead::Done ||
        PackChanged(state)) {
        g_fuse.replyError(request, EIO);
        return;
    }
    g_fuse.replyBuffer(request, reinterpret_cast<const char*>(block.data()), count);
}

void OnStatfs(fuse_req_t request, fuse_ino_t)
{
    const MountState& state = StateOf(request);
    struct statvfs info;
    std::memset(&info, 0, sizeof info);
    info.f_bsize = 4096;
    info.f_frsize = 4096;
    info.f_blocks = (state.tree.totalBytes + 4095) / 4096;
    info.f_files = state.tree.nodes.size();
    info.f_namemax = 255;
    info.f_flag = ST_RDONLY;
    g_fuse.replyStatfs(request, &info);
}

// ---- Every change is refused

void RefuseSetAttributes(fuse_req_t request, fuse_ino_t, struct stat*, int, struct fuse_file_info*)
{
    g_fuse.replyError(request, EROFS);
}
void RefuseMakeNode(fuse_req_t request, fuse_ino_t, const char*, mode_t, dev_t)
{
    g_fuse.replyError(request, EROFS);
}
void RefuseMakeFolder(fuse_req_t request, fuse_ino_t, const char*, mode_t)
{
    g_fuse.replyError(request, EROFS);
}
void RefuseRemove(fuse_req_t request, fuse_ino_t, const char*)
{
    g_fuse.replyError(request, EROFS);
}
void RefuseSymlink(fuse_req_t request, const char*, fuse_ino_t, const char*)
{
    g_fuse.replyError(request, EROFS);
}
void RefuseRename(fuse_req_t request, fuse_ino_t, const char*, fuse_ino_t, const char*, unsigned int)
{
    g_fuse.replyError(request, EROFS);
}
void RefuseLink(fuse_req_t request, fuse_ino_t, fuse_ino_t, const char*)
{
    g_fuse.replyError(request, EROFS);
}
void RefuseWrite(fuse_req_t request, fuse_ino_t, const char*, size_t, off_t, struct fuse_file_info*)
{
    g_fuse.replyError(request, EROFS);
}
void RefuseCreate(fuse_req_t request, fuse_ino_t, const char*, mode_t, struct fuse_file_info*)
{
    g_fuse.replyError(request, EROFS);
}
void RefuseSetAttribute(fuse_req_t request, fuse_ino_t, const char*, const char*, size_t, int)
{
    g_fuse.replyError(request, EROFS);
}
void RefuseAllocate(fuse_req_t request, fuse_ino_t, int, off_t, off_t, struct fuse_file_info*)
{
    g_fuse.replyError(request, EROFS);
}

struct fuse_lowlevel_ops Operations()
{
    struct fuse_lowlevel_ops operations;
    std::memset(&operations, 0, sizeof operations);
    operations.init = OnInit;
    operations.lookup = OnLookup;
    operations.getattr = OnGetAttributes;
    operations.opendir = OnOpenFolder;
    operations.readdir = OnReadFolder;
    operations.open = OnOpen;
    operations.read = OnRead;
    operations.statfs = OnStatfs;
    operations.setattr = RefuseSetAttributes;
    operations.mknod = RefuseMakeNode;
    operations.mkdir = RefuseMakeFolder;
    operations.unlink = RefuseRemove;
    operations.rmdir = RefuseRemove;
    operations.removexattr = RefuseRemove;
    operations.symlink = RefuseSymlink;
    operations.rename = RefuseRename;
    operations.link = RefuseLink;
    operations.write = RefuseWrite;
    operations.create = RefuseCreate;
    operations.setxattr = RefuseSetAttribute;
    operations.fallocate = RefuseAllocate;
    return operations;
}

// ---- Mounting

bool IsExecutable(const std::string& path)
{
    struct stat info;
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

// Where libfuse looks for its mount helper: its own folder, then the PATH.
bool HasMountHelper()
{
    if (IsExecutable("/usr/bin/fusermount3") || IsExecutable("/bin/fusermount3"))
        return true;
    const char* path = std::getenv("PATH");
    std::string folders = path != nullptr ? path : "";
    size_t start = 0;
    while (start <= folders.size()) {
        const size_t end = std::min(folders.find(':', start), folders.size());
        const std::string folder = folders.substr(start, end - start);
        if (!folder.empty() && IsExecutable(folder + "/fusermount3"))
            return true;
        start = end + 1;
    }
    return false;
}

bool LoadFuse(std::string* why)
{
    if (::access("/dev/fuse", F_OK) != 0) {
        *why = "/dev/fuse is missing";
        return false;
    }
    if (!HasMountHelper()) {
        *why = "fusermount3 is missing";
        return false;
    }
    return LoadFuseLibrary(&g_fuse, why);
}

// A comma or a backslash in an option's value is escaped for FUSE's
// option parser.
std::string EscapeOption(const std::string& value)
{
    std::string escaped;
    for (const char c : value) {
        if (c == ',' || c == '\\')
            escaped.push_back('\\');
        escaped.push_back(c);
    }
    return escaped;
}

// A mount point as /proc/self/mountinfo writes it: space, tab, line feed
// and backslash as octal escapes.
std::string MountinfoPath(const std::string& path)
{
    std::string escaped;
    for (const char c : path) {
        if (c == ' ' || c == '\t' || c == '\n' || c == '\\') {
            char octal[5];
            std::snprintf(octal, sizeof octal, "\\%03o", static_cast<unsigned char>(c));
            escaped += octal;
        } else {
            escaped.push_back(c);
        }
    }
    return escaped;
}

// The kernel reads a FUSE file ahead 128 KiB at a time and so asks for
// 256 KiB at most in one request, whatever max_read allows; at that size
// the reader and this process spend much of a long read waiting for each
// other. The read-ahead of this mount alone (its own backing device,
// gone when it is unmounted) is raised to max_read where this process may
// write that setting, which takes root; elsewhere it stays as it is.
// The mount's device number comes from mountinfo, for its real path:
// asking the mount itself (stat) would wait for the session loop.
void RaiseReadAhead(const std::string& realMountpoint)
{
    const std::string wanted = MountinfoPath(realMountpoint);
    // Fields: id, parent id, major:minor, root, mount point, ...; the last
    // line for a mount point is the mount on top.
    std::ifstream mounts("/proc/self/mountinfo");
    std::string line, device;
    while (std::getline(mounts, line)) {
        std::istringstream fields(line);
        std::string id, parent, number, root, point;
        if (fields >> id >> parent >> number >> root >> point && point == wanted &&
            line.find(" - fuse.quorvel ") != std::string::npos)
            device = number;
    }
    if (device.empty())
        return;
    std::ofstream setting("/sys/class/bdi/" + device + "/read_ahead_kb");
    setting << READ_BYTES / 1024 << std::flush;
}

// Options of the user's that would break what mount promises: a
// read-only tree, and reads as large as the kernel was told at INIT (the
// kernel refuses a session that answers with another max_read).
std::string ConflictingOption(const std::vector<std::string>& fuseOptions)
{
    for (const std::string& given : fuseOptions) {
        // Split at commas as FUSE's option parser does, a backslash
        // escaping the next character.
        std::string option;
        for (size_t i = 0; i <= given.size(); ++i) {
            if (i == given.size() || given[i] == ',') {
                const std::string name = option.substr(0, option.find('='));
                if (name == "rw")
                    return "-o rw: the pack is always mounted read-only";
                if (name == "max_read")
                    return "-o " + option + ": mount sets the read size itself";
                option.clear();
            } else if (given[i] == '\\' && i + 1 < given.size()) {
                option.push_back(given[++i]);
            } else {
                option.push_back(given[i]);
            }
        }
    }
    return "";
}

// Without -f: a child serves the tree; the parent returns once the kernel
// has taken the file system, so that a script may use the folder on its
// next line. The child says when its INIT has run; a stat of the mount,
// which the child answers, shows that the kernel accepted the answer.
// Returns -1 in the child, 2 when no child could be started. The parent
// of a child ends here with the command's exit status: the mount is the
// child's, and the parent's copy of the session is left as it is.
int ServeInBackground(MountState& state, const std::string& mountpoint, dev_t folderDevice)
{
    int ready[2];
    if (::pipe2(ready, O_CLOEXEC) != 0) {
        Message("cannot mount: " + LastSystemError().Text());
        return EXIT_FATAL;
    }
    const pid_t child = ::fork();
    if (child < 0) {
        Message("cannot mount: " + LastSystemError().Text());
        ::close(ready[0]);
        ::close(ready[1]);
        return EXIT_FATAL;
    }
    if (child == 0) {
        ::close(ready[0]);
        state.readyPipe = ready[1];
        ::setsid();
        // Holds no folder busy; every path it uses is absolute.
        (void)!::chdir("/");
        const int null = ::open("/dev/null", O_RDWR);
        if (null >= 0) {
            ::dup2(null, 0);
            ::dup2(null, 1);
            ::dup2(null, 2);
            if (null > 2)
                ::close(null);
        }
        return -1;
    }
    ::close(ready[1]);
    char byte = 0;
    ssize_t got;
    do
        got = ::read(ready[0], &byte, 1);
    while (got < 0 && errno == EINTR);
    ::close(ready[0]);
    struct stat served;
    if (got == 1 && ::stat(mountpoint.c_str(), &served) == 0 && served.st_dev != folderDevice)
        ::_exit(EXIT_DONE);
    // The child unmounts what it mounted as it ends.
    Message("cannot mount on '" + mountpoint + "': the file system did not start");
    std::fflush(stderr);
    ::_exit(EXIT_FATAL);
}

// Mounts at mountpoint (a full path: the unmount, after the daemon has
// left its folder, must name this mount and no other), serves until
// unmounted or interrupted, unmounts.
int Serve(MountState& state, const MountOptions& options, const std::string& mountpoint, dev_t folderDevice)
{
    char* absolute = ::realpath(options.pack.c_str(), nullptr);
    const std::string source = absolute != nullptr ? absolute : options.pack;
    std::free(absolute);
    std::vector<std::string> words = {"quorvel-cli", "-o",
                                      "ro,default_permissions,subtype=quorvel,max_read=" + std::to_string(READ_BYTES) +
                                          ",fsname=" + EscapeOption(source)};
    for (const std::string& option : options.fuseOptions) {
        words.push_back("-o");
        words.push_back(option);
    }
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    struct fuse_args arguments = FUSE_ARGS_INIT(int(words.size()), argv.data());
    const struct fuse_lowlevel_ops operations = Operations();
    struct fuse_session* session = g_fuse.sessionNew(&arguments, &operations, sizeof operations, &state);
    if (session == nullptr) {
        // libfuse has said which option it did not take.
        Message("cannot mount: FUSE refused the options");
        g_fuse.freeArguments(&arguments);
        return EXIT_FATAL;
    }
    int code = EXIT_FATAL;
    if (g_fuse.setSignalHandlers(session) != 0) {
        Message("cannot mount: the signal handlers could not be set");
    } else {
        if (g_fuse.sessionMount(session, mountpoint.c_str()) != 0) {
            Message("cannot mount on '" + mountpoint + "'");
        } else {
            RaiseReadAhead(mountpoint);
            code = options.foreground ? -1 : ServeInBackground(state, mountpoint, folderDevice);
            if (code < 0) {
                struct fuse_loop_config loop;
                std::memset(&loop, 0, sizeof loop);
                loop.max_idle_threads = IDLE_THREADS;
                const int result = g_fuse.sessionLoopMultithreaded(session, &loop);
                // A positive result is the signal that ended the loop: Ctrl+C
                // or SIGTERM, the ordinary way to unmount, which exits 0.
                if (result < 0)
                    Message("the file system stopped: " + std::string(std::strerror(-result)));
                code = result < 0 ? EXIT_FATAL : EXIT_DONE;
            }
            // Also when no child could be started to serve it.
            g_fuse.sessionUnmount(session);
        }
        g_fuse.removeSignalHandlers(session);
    }
    g_fuse.sessionDestroy(session);
    g_fuse.freeArguments(&arguments);
    return code;
}

} // namespace

int RunMount(const MountOptions& options)
{
    const std::string conflict = ConflictingOption(options.fuseOptions);
    if (!conflict.empty()) {
        Message(conflict);
        return EXIT_FATAL;
    }
    struct stat folder;
    if (::stat(options.mountpoint.c_str(), &folder) != 0) {
        Message(options.mountpoint + ": " + LastSystemError().Text());
        return EXIT_FATAL;
    }
    if (!S_ISDIR(folder.st_mode)) {
        Message(options.mountpoint + ": not a folder; the pack is mounted on an existing folder");
        return EXIT_FATAL;
    }
    // Resolved once, before mounting: afterwards the folder is the mount's
    // own, which answers nothing until the session runs.
    char* resolved = ::realpath(options.mountpoint.c_str(), nullptr);
    if (resolved == nullptr) {
        Message(options.mountpoint + ": " + LastSystemError().Text());
        return EXIT_FATAL;
    }
    const std::string mountpoint = resolved;
    std::free(resolved);
    std::string why;
    if (!LoadFuse(&why)) {
        Message("cannot mount: " + why + "; " + FUSE_PACKAGE_HINT);
        return EXIT_FATAL;
    }

    MountState state;
    std::vector<std::string> leftOut;
    MountTreeBuilder builder(&state.tree, &leftOut);
    if (!OpenPackOrSay(options.pack, &state.pack, "", &builder))
        return EXIT_FATAL;
    builder.Finish();
    for (const std::string& line : leftOut)
        Message(line);
    leftOut = std::vector<std::string>();

    if (::fstat(int(state.pack.File().Handle()), &state.atMount) != 0) {
        Message(options.pack + ": " + LastSystemError().Text());
        return EXIT_FATAL;
    }
    if (uint64_t(state.atMount.st_size) != state.pack.FileSize()) {
        Message(options.pack + ": the pack changed while it was read");
        return EXIT_FATAL;
    }
    state.owner = ::getuid();
    state.group = ::getgid();
    return Serve(state, options, mountpoint, folder.st_dev);
}

} // namespace cli
