// quorvel-cli mount on Linux: the built program mounts packs from the pack
// writer through the machine's real FUSE; the tree is read back with plain
// system calls and compared with what extract writes.
#include "cli/names.h"
#include "pack_writer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <csignal>
#include <dlfcn.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <sstream>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <thread>
#include <utility>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

std::string g_program;    // the quorvel-cli under test
std::string g_fuseAbsent; // why this machine cannot mount, "" when it can

std::string ReadText(const fs::path& path)
{
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

// A Japanese name's stored bytes; extract, the oracle here, converts them
// back with the same converter.
std::string Sjis(const std::string& utf8)
{
    std::string stored;
    cli::NameFromUtf8(utf8, &stored);
    return stored;
}

pakwriter::Bytes B(const std::string& text)
{
    return pakwriter::Bytes(text.begin(), text.end());
}

pakwriter::Bytes Pattern(size_t entry, size_t size)
{
    pakwriter::Bytes bytes(size);
    pakwriter::FillPattern(entry, 0, bytes.data(), size);
    return bytes;
}

// The mountinfo line of the mount on that folder, "" when none.
std::string MountLine(const fs::path& mountpoint)
{
    std::ifstream mounts("/proc/self/mountinfo");
    std::string line;
    while (std::getline(mounts, line)) {
        if (line.find(" " + mountpoint.string() + " ") != std::string::npos)
            return line;
    }
    return "";
}

// Mounting needs /dev/fuse, libfuse3, fusermount3 and the right to mount;
// root's right is tried with the kernel itself, not with the program tested.
std::string WhyFuseIsAbsent()
{
    const int fuse = open("/dev/fuse", O_RDWR | O_CLOEXEC);
    if (fuse < 0)
        return std::string("/dev/fuse cannot be opened: ") + std::strerror(errno);
    std::string why;
    struct stat helper;
    char folder[] = "/tmp/quorvel-fuse-probe-XXXXXX";
    const std::string data = "fd=" + std::to_string(fuse) + ",rootmode=40000,user_id=0,group_id=0";
    if (dlopen("libfuse3.so.3", RTLD_NOW) == nullptr || stat("/usr/bin/fusermount3", &helper) != 0)
        why = "libfuse3.so.3 or fusermount3 is not installed (Debian: fuse3)";
    else if (geteuid() != 0 && !(helper.st_mode & S_ISUID))
        why = "fusermount3 is not set-user-id, so this user cannot mount";
    else if (geteuid() == 0 && mkdtemp(folder) != nullptr) {
        if (mount("probe", folder, "fuse.probe", MS_NOSUID | MS_NODEV | MS_RDONLY, data.c_str()) != 0)
            why = std::string("this process may not mount: ") + std::strerror(errno);
        umount2(folder, MNT_DETACH);
        rmdir(folder);
    }
    close(fuse);
    return why;
}

struct Result {
    int code;
    std::string err;
};

class Mount : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!g_fuseAbsent.empty())
            GTEST_SKIP() << "FUSE cannot be used here: " << g_fuseAbsent;
        char pattern[] = "/tmp/quorvel-mount-test-XXXXXX";
        base_ = mkdtemp(pattern);
        pack_ = base_ / "test.pak";
        mountpoint_ = base_ / "mnt";
        fs::create_directory(mountpoint_);
    }

    void TearDown() override
    {
        if (base_.empty())
            return;
        if (!MountLine(mountpoint_).empty())
            Unmount();
        if (server_ > 0) {
            kill(server_, SIGKILL);
            waitpid(server_, nullptr, 0);
        }
        fs::remove_all(base_);
    }

    // Starts the program with standard error into a file; wrapper (a
    // command and its arguments) runs it in another setting.
    pid_t Start(const std::vector<std::string>& args, const std::vector<std::string>& wrapper = {})
    {
        const pid_t child = fork();
        if (child == 0) {
            dup2(open((base_ / ".stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
            dup2(open("/dev/null", O_RDWR), 1);
            std::vector<std::string> words = wrapper;
            words.push_back(g_program);
            words.insert(words.end(), args.begin(), args.end());
            std::vector<char*> argv;
            for (std::string& word : words)
                argv.push_back(word.data());
            argv.push_back(nullptr);
            execvp(argv[0], argv.data());
            _exit(127);
        }
        return child;
    }

    static int Wait(pid_t child)
    {
        int status = 0;
        waitpid(child, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    Result Run(const std::vector<std::string>& args, const std::vector<std::string>& wrapper = {})
    {
        const int code = Wait(Start(args, wrapper));
        return {code, ReadText(base_ / ".stderr")};
    }

    // mount -f in the background of the test, until the tree is there.
    void MountForeground(const std::vector<std::string>& options = {})
    {
        std::vector<std::string> args = {"mount", "-f"};
        args.insert(args.end(), options.begin(), options.end());
        args.push_back(pack_);
        args.push_back(mountpoint_);
        server_ = Start(args);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (MountLine(mountpoint_).empty()) {
            ASSERT_LT(std::chrono::steady_clock::now(), deadline) << ReadText(base_ / ".stderr");
            ASSERT_EQ(waitpid(server_, nullptr, WNOHANG), 0) << "ended: " << ReadText(base_ / ".stderr");
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }

    void Unmount() { ASSERT_EQ(std::system(("fusermount3 -u " + mountpoint_.string()).c_str()), 0); }

    void WritePack(const std::vector<pakwriter::Entry>& entries)
    {
        ASSERT_TRUE(pakwriter::WriteFile(pack_, pakwriter::BuildPack(entries)));
    }

    fs::path base_;
    fs::path pack_;
    fs::path mountpoint_;
    pid_t server_ = -1;
};

// Relative path -> "folder" or the file's bytes.
std::map<std::string, std::string> Contents(const fs::path& root)
{
    std::map<std::string, std::string> contents;
    for (const auto& item : fs::recursive_directory_iterator(root)) {
        const std::string relative = fs::relative(item.path(), root);
        contents[relative] = item.is_directory() ? "folder" : "file:" + ReadText(item.path());
    }
    return contents;
}

// ---- The tree

TEST_F(Mount, TreeIsWhatExtractWritesAndEveryLeftOutEntryIsReportedOnce)
{
    struct Row {
        std::string name;
        pakwriter::Bytes bytes;
        bool leftOut;
    };
    std::vector<Row> rows = {
        {Sjis("シナリオ/第1章.txt"), B("scenario"), false},
        {Sjis("ソース一覧.txt"), B("0x5C trail byte"), false},
        {Sjis("表紙.bmp"), Pattern(0, 70000), false},
        {"empty.dat", {}, false},
        {"a\\b\\c\\deep.bin", B("deep"), false},
        {"dup.txt", B("first"), false},
        {"dup.txt", B("second"), true},
        {"sub/mixed.txt", B("slash"), false},
        {"sub\\mixed.txt", B("backslash"), true},
        {"\x87\x54.txt", B("NEC row"), false},
        {"\xFA\x4A.txt", B("IBM row, same character"), true},
        {"f", B("file first"), false},
        {"f\\x.txt", B("under a file"), true},
        {"g\\y.txt", B("folder first"), false},
        {"g", B("file over a folder"), true},
        {"..\\escape.txt", B("climbs"), true},
        {"/absolute.txt", B("absolute"), true},
        {"C:\\drive.txt", B("drive"), true},
        {"sub\\nul.txt", B("device"), true},
        {"a\\\\empty-part.txt", B("empty part"), true},
        {"\x81/..\x81/escape.txt", B("separator behind a lead byte"), true},
        {"bad\xA0.txt", B("not cp932"), true},
        {"line\nfeed.txt", B("control"), true},
        {"esc\x1B]0;title\x07.txt", B("control"), true},
        {std::string(100, '\xB1'), B("255 UTF-8 bytes exceeded"), true},
        {std::string(85, '\xB1'), B("255 UTF-8 bytes, the most"), false},
        // More files in one folder than a first guess of its size holds.
        {"many\\1", B("1"), false},
        {"many\\2", B("2"), false},
        {"many\\3", B("3"), false},
        {"many\\4", B("4"), false},
        {"many\\5", B("5"), false},
        {"many\\6", B("6"), false},
        {"many\\7", B("7"), false},
        {"many\\8", B("8"), false},
        {"many\\9", B("9"), false},
        {"many\\10", B("10"), false},
        {"many\\sub\\11", B("11"), false},
    };
    // More files and folders than the slots sized from the declared count
    // hold: the table grows and places every name again.
    for (int k = 0; k < 600; ++k)
        rows.push_back({"grow\\" + std::to_string(k) + "\\f", B(std::to_string(k)), false});
    std::vector<pakwriter::Entry> entries;
    for (const Row& row : rows)
        entries.push_back({row.name, row.bytes});
    WritePack(entries);
    MountForeground();
    const std::string report = ReadText(base_ / ".stderr");

    // extract refuses or skips exactly what the mount leaves out, and keeps
    // the first of two entries for one path.
    const Result extract = Run({"extract", "-q", "--overwrite=never", "-C", base_ / "out", pack_});
    EXPECT_EQ(extract.code, 1) << extract.err;
    EXPECT_EQ(Contents(mountpoint_), Contents(base_ / "out"));

    for (size_t i = 0; i < rows.size(); ++i) {
        const std::string tag = "entry " + std::to_string(i) + " '";
        size_t count = 0;
        for (size_t at = report.find(tag); at != std::string::npos; at = report.find(tag, at + 1))
            ++count;
        EXPECT_EQ(count, rows[i].leftOut ? 1u : 0u) << tag << "\n" << report;
        if (rows[i].leftOut)
            EXPECT_NE(report.find("name_hex " + cli::HexBytes(rows[i].name)), std::string::npos) << i;
    }
    EXPECT_EQ(report.find('\x1B'), std::string::npos) << "a control byte reached the terminal";

    // Read-only, the mounting user's, dated like the pack; inode numbers
    // the same on a second look.
    struct stat pack;
    ASSERT_EQ(stat(pack_.c_str(), &pack), 0);
    std::map<std::string, ino_t> inodes;
    for (int pass = 0; pass < 2; ++pass) {
        for (const auto& item : fs::recursive_directory_iterator(mountpoint_)) {
            struct stat info;
            ASSERT_EQ(lstat(item.path().c_str(), &info), 0);
            EXPECT_EQ(info.st_mode & 07777, S_ISDIR(info.st_mode) ? 0555u : 0444u) << item.path();
            EXPECT_TRUE(info.st_uid == getuid() && info.st_gid == getgid()) << item.path();
            EXPECT_TRUE(info.st_mtim.tv_sec == pack.st_mtim.tv_sec && info.st_mtim.tv_nsec == pack.st_mtim.tv_nsec);
            EXPECT_EQ(inodes.emplace(item.path(), info.st_ino).first->second, info.st_ino) << item.path();
            // du and find -links read these: 2 + sub-folders for a folder,
            // the size in 512-byte blocks for a file.
            nlink_t links = 1;
            if (S_ISDIR(info.st_mode)) {
                links = 2;
                for (const auto& inside : fs::directory_iterator(item.path()))
                    links += inside.is_directory();
            } else {
                EXPECT_EQ(info.st_blocks, (info.st_size + 511) / 512) << item.path();
            }
            EXPECT_EQ(info.st_nlink, links) << item.path();
        }
    }
    struct stat root;
    ASSERT_EQ(stat(mountpoint_.c_str(), &root), 0);
    nlink_t rootLinks = 2;
    for (const auto& inside : fs::directory_iterator(mountpoint_))
        rootLinks += inside.is_directory();
    EXPECT_EQ(root.st_nlink, rootLinks);
}

// ---- Reading

// Names whose hashes, were the hash known to the pack's author, would all
// fall in one run of the tree's slots: the command's processor time, which
// builds the tree, stays far below the minutes that a search along that
// run for each name would take.
TEST_F(Mount, NamesChosenToCollideMountInLinearTime)
{
    // 64-bit FNV-1a folded to 32 bits, in one 64th of a table of 2^17 slots.
    std::vector<pakwriter::Entry> entries;
    for (uint32_t n = 0; entries.size() < 60000; ++n) {
        char name[16];
        std::snprintf(name, sizeof name, "c%08x", n);
        uint64_t hash = 1469598103934665603ull;
        for (const char* c = name; *c != 0; ++c)
            hash = (hash ^ uint8_t(*c)) * 1099511628211ull;
        if (((hash ^ (hash >> 32)) & 0x1FFFF) < 0x800)
            entries.push_back({name, B("x")});
    }
    WritePack(entries);
    const pid_t child = Start({"mount", pack_, mountpoint_});
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    int status = 0;
    struct rusage usage;
    while (wait4(child, &status, WNOHANG, &usage) == 0) {
        if (std::chrono::steady_clock::now() > deadline)
            kill(child, SIGKILL);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_LT(usage.ru_utime.tv_sec, 10) << "seconds of processor time";
    ASSERT_EQ(status, 0) << ReadText(base_ / ".stderr");
    EXPECT_TRUE(fs::exists(mountpoint_ / entries.back().name));
    Unmount();
}

TEST_F(Mount, ReadsAtRandomOffsetsByManyThreadsMatchTheEntry)
{
    const std::vector<size_t> sizes = {0, 1, 4096, (5 << 20) + 7, 3 << 20};
    std::vector<pakwriter::Entry> entries;
    for (size_t i = 0; i < sizes.size(); ++i)
        entries.push_back({"e" + std::to_string(i), Pattern(i, sizes[i])});
    WritePack(entries);
    MountForeground();

    std::atomic<int> mismatches{0};
    auto reader = [&](unsigned readerNumber) {
        std::mt19937_64 draw(readerNumber);
        for (int round = 0; round < 200; ++round) {
            const size_t e = draw() % sizes.size();
            const size_t size = sizes[e];
            // Edges first, then anywhere, up to past the end.
            const uint64_t offset = round < 3 ? size - std::min<size_t>(size, round) : draw() % (size + 100);
            const size_t length = draw() % (3 << 20);
            const int fd = open((mountpoint_ / entries[e].name).c_str(), O_RDONLY);
            std::vector<uint8_t> got(length);
            const ssize_t read = pread(fd, got.data(), length, off_t(offset));
            close(fd);
            const size_t expected = offset >= size ? 0 : std::min<size_t>(length, size - offset);
            if (read != ssize_t(expected) ||
                !std::equal(got.begin(), got.begin() + expected, entries[e].bytes.begin() + offset))
                ++mismatches;
        }
    };
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < 4; ++t)
        threads.emplace_back(reader, t);
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(mismatches.load(), 0);
}

// The pack cut short after mounting: the bytes before the cut are right,
// and the read that meets the cut fails; no other bytes are ever returned.
TEST_F(Mount, ReadPastTheEndOfATruncatedPackFailsWithIoError)
{
    const pakwriter::Bytes bytes = Pattern(0, 3 << 20);
    WritePack({{"big.bin", bytes}, {"after.bin", B("all of it lies after the cut")}});
    MountForeground();
    const uint64_t dataStart = fs::file_size(pack_) - bytes.size() - 28;
    fs::resize_file(pack_, dataStart + (1 << 20) + 100);

    const int fd = open((mountpoint_ / "big.bin").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    std::vector<uint8_t> got(bytes.size());
    size_t done = 0;
    ssize_t read = 0;
    while ((read = ::read(fd, got.data() + done, got.size() - done)) > 0)
        done += size_t(read);
    const int error = errno;
    close(fd);
    EXPECT_EQ(read, -1);
    EXPECT_EQ(error, EIO);
    EXPECT_LE(done, size_t(1 << 20) + 100);
    EXPECT_TRUE(std::equal(got.begin(), got.begin() + done, bytes.begin()));

    std::ifstream after(mountpoint_ / "after.bin", std::ios::binary);
    char c;
    EXPECT_FALSE(after.get(c)) << "bytes beyond the end of the pack";
}

// What the kernel has not cached is read from the file that was mounted:
// once that file holds other bytes, an entry would show another pack's.
TEST_F(Mount, ReadsFailOnceThePackIsRewrittenInPlaceButNotWhenReplaced)
{
    const pakwriter::Bytes other = pakwriter::BuildPack({{"a.txt", B("other pack")}});
    const std::string renamed = pack_.string() + ".new";
    struct Case {
        const char* why;
        std::function<bool()> change;
        std::string read; // "" for EIO
    };
    const std::vector<Case> cases = {
        {"rewritten in place, same size", [&] { return pakwriter::WriteFile(pack_, other); }, ""},
        {"replaced by rename",
         [&] { return pakwriter::WriteFile(renamed, other) && rename(renamed.c_str(), pack_.c_str()) == 0; },
         "first pack"},
        {"removed", [&] { return unlink(pack_.c_str()) == 0; }, "first pack"},
    };
    for (const Case& c : cases) {
        WritePack({{"a.txt", B("first pack")}});
        // Dated long ago: a rewrite within one tick of the file system's
        // clock would otherwise keep its time.
        const struct timespec longAgo[2] = {{1000000000, 0}, {1000000000, 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, pack_.c_str(), longAgo, 0), 0);
        MountForeground();
        ASSERT_TRUE(c.change()) << c.why;
        const int fd = open((mountpoint_ / "a.txt").c_str(), O_RDONLY);
        ASSERT_GE(fd, 0) << c.why;
        char got[64];
        const ssize_t count = ::read(fd, got, sizeof got);
        const int error = errno;
        close(fd);
        if (c.read.empty()) {
            EXPECT_EQ(count, -1) << c.why << ": " << std::string(got, size_t(std::max<ssize_t>(count, 0)));
            EXPECT_EQ(error, EIO) << c.why;
        } else {
            EXPECT_EQ(std::string(got, size_t(std::max<ssize_t>(count, 0))), c.read) << c.why;
        }
        kill(server_, SIGINT);
        EXPECT_EQ(Wait(std::exchange(server_, -1)), 0) << c.why;
    }
}

// ---- Changes

TEST_F(Mount, EveryKindOfChangeIsRefusedAsReadOnly)
{
    WritePack({{"file.txt", B("keep")}, {"dir\\inner.txt", B("keep")}});
    MountForeground();
    const std::string file = mountpoint_ / "file.txt";
    const std::string dir = mountpoint_ / "dir";
    const std::string fresh = mountpoint_ / "new";
    auto openClose = [](const std::string& path, int flags) {
        const int fd = open(path.c_str(), flags, 0644);
        return fd < 0 ? -1 : close(fd);
    };
    const std::vector<std::pair<const char*, std::function<int()>>> changes = {
        {"open for writing", [&] { return openClose(file, O_WRONLY); }},
        {"open with truncation", [&] { return openClose(file, O_RDONLY | O_TRUNC); }},
        {"create", [&] { return openClose(fresh, O_WRONLY | O_CREAT); }},
        {"truncate", [&] { return truncate(file.c_str(), 0); }},
        {"unlink", [&] { return unlink(file.c_str()); }},
        {"rmdir", [&] { return rmdir(dir.c_str()); }},
        {"mkdir", [&] { return mkdir(fresh.c_str(), 0755); }},
        {"rename a file", [&] { return rename(file.c_str(), fresh.c_str()); }},
        {"hard link", [&] { return link(file.c_str(), fresh.c_str()); }},
        {"symbolic link", [&] { return symlink("file.txt", fresh.c_str()); }},
        {"mknod", [&] { return mkfifo(fresh.c_str(), 0644); }},
        {"chmod", [&] { return chmod(file.c_str(), 0666); }},
        {"chown", [&] { return chown(file.c_str(), 1, 1); }},
        {"utimes", [&] { return utimensat(AT_FDCWD, file.c_str(), nullptr, 0); }},
        {"setxattr", [&] { return setxattr(file.c_str(), "user.q", "v", 1, 0); }},
    };
    for (const auto& [what, change] : changes) {
        errno = 0;
        EXPECT_EQ(change(), -1) << what;
        EXPECT_EQ(errno, EROFS) << what << ": " << std::strerror(errno);
    }
    EXPECT_EQ(ReadText(file), "keep");
    EXPECT_EQ(ReadText(mountpoint_ / "dir" / "inner.txt"), "keep");
}

// ---- Mounting and unmounting

TEST_F(Mount, RunsUntilCtrlCOrUnmountAndPassesOptions)
{
    WritePack({{"scripts\\start.txt", B("ready")}});
    struct Case {
        const char* why;
        std::vector<std::string> options;
        int signal;        // 0: fusermount3 -u
        std::string shown; // in the mount's line of /proc/self/mountinfo
    };
    const std::vector<Case> cases = {
        {"Ctrl+C", {}, SIGINT, " ro,"},
        {"SIGTERM", {}, SIGTERM, " ro,"},
        {"fusermount3 -u", {}, 0, " ro,"},
        {"-o twice", {"-o", "noexec", "-o", "fsname=quorvel-options-test"}, 0, " quorvel-options-test "},
    };
    for (const Case& c : cases) {
        MountForeground(c.options);
        EXPECT_NE(MountLine(mountpoint_).find(c.shown), std::string::npos) << c.why << ": " << MountLine(mountpoint_);
        if (c.signal != 0)
            kill(server_, c.signal);
        else
            Unmount();
        EXPECT_EQ(Wait(std::exchange(server_, -1)), 0) << c.why << ": " << ReadText(base_ / ".stderr");
        EXPECT_EQ(MountLine(mountpoint_), "") << c.why;
    }

    // Without -f it returns once the tree is there: a script uses it on its
    // next line. A comma or a backslash in the pack's path stays in the
    // mount's source name (mountinfo writes the backslash as \134).
    const fs::path odd = base_ / "a,b\\c.pak";
    fs::copy_file(pack_, odd);
    const std::pair<fs::path, fs::path> packs[] = {{pack_, pack_}, {odd, base_ / "a,b\\134c.pak"}};
    for (const auto& [pack, source] : packs) {
        const Result background = Run({"mount", pack, mountpoint_});
        ASSERT_EQ(background.code, 0) << background.err;
        EXPECT_EQ(ReadText(mountpoint_ / "scripts" / "start.txt"), "ready");
        EXPECT_NE(MountLine(mountpoint_).find(" " + source.string() + " "), std::string::npos)
            << MountLine(mountpoint_);
        Unmount();
    }

    EXPECT_EQ(Run({"mount", "-o", "no_such_option", pack_, mountpoint_}).code, 2);
    EXPECT_EQ(MountLine(mountpoint_), "");
}

// A relative MOUNTPOINT names a folder in the current one, also when the
// mount ends: the same text from "/" names another mount, which must stay.
TEST_F(Mount, ARelativeMountpointEndsOnlyItsOwnMount)
{
    if (geteuid() != 0 || std::system("unshare -m true 2>/dev/null") != 0)
        GTEST_SKIP() << "a second file system at /mnt needs a private mount namespace (root and unshare)";
    WritePack({{"a.txt", B("abc")}});
    const std::string ours = "\" " + (base_ / "mnt").string() + " \"";
    const std::string prepare =
        "mount -t tmpfs none /mnt && echo kept > /mnt/kept && cd " + base_.string() + " || exit; ";
    const std::string report =
        "; echo \"code=$code kept=$(cat /mnt/kept) mounts=$(grep -c " + ours + " /proc/self/mountinfo)\" >&2";
    struct Case {
        const char* why;
        std::string run; // $0 the program, $1 the pack, $2 the mount point
    };
    const std::vector<Case> cases = {
        // A shell starts a program in the background with Ctrl+C ignored.
        {"Ctrl+C of mount -f", "env --default-signal=INT \"$0\" mount -f \"$1\" \"$2\" & pid=$!; until grep -q " +
                                   ours +
                                   " /proc/self/mountinfo; do kill -0 $pid || break; sleep 0.05; done; "
                                   "kill -INT $pid; wait $pid; code=$?"},
        {"SIGTERM of the daemon", "\"$0\" mount \"$1\" \"$2\"; code=$?; pid=$(pgrep -f \"^$0 mount $1 $2\\$\"); "
                                  "kill -TERM $pid; while kill -0 $pid 2>/dev/null; do sleep 0.05; done"},
    };
    for (const Case& c : cases) {
        const Result result =
            Run({pack_, "mnt"}, {"timeout", "60", "unshare", "-m", "/bin/sh", "-c", prepare + c.run + report});
        EXPECT_NE(result.err.find("code=0 kept=kept mounts=0"), std::string::npos) << c.why << ": " << result.err;
    }
}

TEST_F(Mount, RefusedBeforeAnythingIsMounted)
{
    pakwriter::Layout cut = pakwriter::LayoutFor({{"a.txt", B("abc")}, {"b.txt", B("de")}});
    cut.truncateTo = 20;
    pakwriter::Layout tooLong = pakwriter::LayoutFor({{"a.txt", B("abc")}});
    tooLong.records[0].lengthOverride = 300;
    pakwriter::Layout huge = pakwriter::LayoutFor({});
    huge.countOverride = INT32_MAX;
    std::ofstream(base_ / "plain-file") << "x";
    struct Case {
        const char* why;
        pakwriter::Bytes pack;
        fs::path mountpoint;
        std::string message; // "" for list's own message
        std::vector<std::string> options = {};
        uint64_t sparseSize = 0; // the pack made this long, with a hole
    };
    const pakwriter::Bytes good = pakwriter::BuildPack({{"a.txt", B("abc")}});
    const std::vector<Case> cases = {
        {"directory cut short", pakwriter::Encode(cut), mountpoint_, ""},
        {"record too long", pakwriter::Encode(tooLong), mountpoint_, ""},
        {"count the file could hold, in a hole", pakwriter::Encode(huge), mountpoint_, "", {}, uint64_t(64) << 30},
        {"missing mountpoint", good, base_ / "missing", "No such file or directory"},
        {"mountpoint is a file", good, base_ / "plain-file", "not a folder"},
        {"read-write", good, mountpoint_, "-o rw: ", {"-o", "noexec", "-o", "rw"}},
        {"another read size", good, mountpoint_, "-o max_read=4096: ", {"-o", "noatime,max_read=4096"}},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(pakwriter::WriteFile(pack_, c.pack));
        if (c.sparseSize != 0)
            fs::resize_file(pack_, c.sparseSize);
        std::vector<std::string> args = {"mount"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        args.insert(args.end(), {pack_, c.mountpoint});
        const Result mount = Run(args);
        EXPECT_EQ(mount.code, 2) << c.why;
        EXPECT_EQ(MountLine(c.mountpoint), "") << c.why;
        const std::string expected = c.message.empty() ? Run({"list", pack_}).err : c.message;
        EXPECT_NE(mount.err.find(expected), std::string::npos) << c.why << ": " << mount.err;
        if (!c.message.empty() && c.options.empty())
            EXPECT_NE(mount.err.find(c.mountpoint.string()), std::string::npos) << c.why;
    }
}

// Each piece of FUSE hidden in a private mount namespace: mount names the
// Debian package, and the other commands still run without libfuse3.
TEST_F(Mount, WithoutFuseNamesThePackageToInstall)
{
    if (geteuid() != 0 || std::system("unshare -m true 2>/dev/null") != 0)
        GTEST_SKIP() << "hiding FUSE needs a private mount namespace (root and unshare)";
    Dl_info library;
    void* handle = dlopen("libfuse3.so.3", RTLD_NOW);
    ASSERT_NE(dladdr(dlsym(handle, "fuse_session_new"), &library), 0);
    const std::string libraryFile = fs::canonical(library.dli_fname);
    WritePack({{"a.txt", B("abc")}});
    const std::vector<std::pair<std::string, std::string>> hidden = {
        {"/dev/fuse", "mount -t tmpfs none /dev"},
        {"fusermount3", "mount --bind /dev/null /usr/bin/fusermount3"},
        {"libfuse3", "mount --bind /dev/null " + libraryFile},
    };
    for (const auto& [what, hide] : hidden) {
        const std::vector<std::string> wrapper = {"unshare", "-m", "/bin/sh", "-c", hide + " && exec \"$0\" \"$@\""};
        const Result mount = Run({"mount", pack_, mountpoint_}, wrapper);
        EXPECT_EQ(mount.code, 2) << what << ": " << mount.err;
        EXPECT_NE(mount.err.find("apt install fuse3"), std::string::npos) << what << ": " << mount.err;
        EXPECT_EQ(MountLine(mountpoint_), "") << what;
        const Result list = Run({"list", pack_}, wrapper);
        EXPECT_EQ(list.code, 0) << what << ": " << list.err;
    }
}

} // namespace

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: mount_test PATH_TO_QUORVEL_CLI\n");
        return 2;
    }
    g_program = fs::absolute(argv[1]);
    g_fuseAbsent = WhyFuseIsAbsent();
    const int failed = RUN_ALL_TESTS();
    if (failed == 0 && !g_fuseAbsent.empty()) {
        // CTest then shows the whole program as skipped, not passed.
        std::fprintf(stderr, "mount_test: skipped: FUSE cannot be used here: %s\n", g_fuseAbsent.c_str());
        return 77;
    }
    return failed;
}
