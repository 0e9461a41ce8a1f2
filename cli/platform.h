// What quorvel-cli needs from the operating system, behind one interface
// with a POSIX and a Windows implementation. Paths and texts are UTF-8 here;
// the Windows side converts to UTF-16 at each call so that every name works
// whatever the system's code page is.
#ifndef QUORVEL_CLI_PLATFORM_H
#define QUORVEL_CLI_PLATFORM_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace cli {

// A failed call's error number (errno, or GetLastError() on Windows),
// taken by the call that failed and carried with its failure, so that
// nothing done meanwhile (a message written, a file removed) replaces it.
struct SystemError {
    uint32_t code = 0;
    // The error as an English sentence.
    std::string Text() const;
};

// The error number as the last call left it: only right behind that call.
SystemError LastSystemError();

// What makes a file itself, whatever names lead to it: the device and inode
// on POSIX, the volume serial number and file index on Windows. Two names
// with one identity (a short 8.3 alias, another letter case on a volume
// that ignores it, a hard link) are one file.
struct FileIdentity {
    uint64_t volume = 0;
    uint64_t file = 0;
    bool operator==(const FileIdentity&) const = default;
};

enum class NodeKind { Missing, File, Folder, Link, Other, Failed };

// ---- Reading a file

class InputFile {
public:
    InputFile() = default;
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;
    ~InputFile();
    bool Open(const std::string& path, SystemError* error);
    // Opens a file that a walk found, never through a link at its name:
    // NodeKind::File when open; Link or Other (nothing opened) when the name
    // now holds that; Failed with *error.
    NodeKind OpenUnfollowed(const std::string& path, SystemError* error);
    // Reads up to count bytes at position; returns how many were read, 0 at
    // the end of the file, -1 on a failure.
    int64_t ReadAt(uint64_t position, void* buffer, size_t count, SystemError* error);
    bool Size(uint64_t* size, SystemError* error);
    bool Identity(FileIdentity* identity, SystemError* error) const;
    // The descriptor (POSIX) or HANDLE (Windows), for a platform's own calls.
    intptr_t Handle() const { return handle_; }
    // An exclusive lock on the file, held until it is closed, that only
    // other runs of quorvel-cli ask for: readers are never kept out. Busy
    // when another run holds it and wait is not set.
    enum class LockResult { Locked, Busy, Failed };
    LockResult Lock(bool wait, SystemError* error);
    void Close();

private:
    friend class TempFile;
    intptr_t handle_ = -1;
};

// ---- Standard streams

bool StdinIsTerminal();
bool StdoutIsTerminal();
bool StderrIsTerminal();
// Text for the user's eyes: UTF-8, shown as Unicode on a Windows console.
void WriteStderrText(const std::string& text);
// One unbuffered write to standard output: text (UTF-8, shown as Unicode
// on a Windows console) or bytes as they are. The buffering above it is
// the same on every platform (standard_output.cpp).
enum class StdoutData { Text, Bytes };
bool WriteStdoutRaw(const char* data, size_t length, StdoutData kind, SystemError* error);
// A line typed at the terminal, without its end; false at the end of input
// or when interrupted.
bool ReadStdinLine(std::string* line);

// ---- Ctrl+C: SIGINT, SIGTERM and SIGHUP, or the console control handler.
// The handler only raises a flag; the work loops poll it, remove their
// temporary file and end.

void InstallInterruptHandler();
bool Interrupted();
// The exit status of an interrupted run: 128 + the signal's number, as a
// shell reports a program the signal ended (130 for Ctrl+C on Windows).
int InterruptExitCode();
// Called by main once the run is over and no partial file is left: a
// Windows console that is being closed ends the process as soon as the
// control handler returns, so the handler waits for this.
void RunEnded();

// ---- Writing inside a folder without following links

// An open folder into which entries are written. On POSIX it is a
// descriptor, so that a folder swapped for a link after it was checked is
// never followed; on Windows it is the folder's path.
class Folder {
public:
    Folder() = default;
    Folder(const Folder&) = delete;
    Folder& operator=(const Folder&) = delete;
    Folder(Folder&& other) noexcept;
    Folder& operator=(Folder&& other) noexcept;
    ~Folder();
    // The folder an extraction or a new pack goes into; made (with its
    // parents) when missing, the folders made listed in *made from the top
    // down. Links in this path are the user's own choice.
    bool OpenRoot(const std::string& path, SystemError* error, std::vector<std::string>* made = nullptr);
    // A sub-folder of this one, made when missing (*made says so). Refuses
    // (returns the kind found) a link or anything but a folder under that name.
    NodeKind OpenChild(const std::string& name, Folder* child, bool* made, SystemError* error) const;
    // Removes the sub-folder name when it is empty; nothing otherwise.
    void RemoveEmptyChild(const std::string& name) const;
    // What is under name; *error is set when that is NodeKind::Failed.
    NodeKind Inspect(const std::string& name, SystemError* error) const;
    // The identity of the file or folder under name, links not followed;
    // NodeKind::Missing when there is none.
    NodeKind IdentityOf(const std::string& name, FileIdentity* identity, SystemError* error) const;
    const std::string& Path() const { return path_; }

private:
    friend class TempFile;
    std::string path_;
    intptr_t handle_ = -1;
};

// A file that gets its final name only when complete, so that no
// half-written file ever carries it: on Linux an unnamed file in the folder
// (O_TMPFILE) linked under the name, elsewhere a temporary name renamed.
class TempFile {
public:
    TempFile() = default;
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    ~TempFile(); // discards an uncommitted file
    bool Create(const Folder& folder, SystemError* error);
    bool Write(const void* data, size_t count, SystemError* error);
    enum class CommitResult { Done, Exists, Failed };
    // Renames to name; an existing file is replaced only when replace is set.
    CommitResult Commit(const std::string& name, bool replace, SystemError* error);
    void Discard();
    // The identity of the file being written, which it keeps once named.
    bool Identity(FileIdentity* identity, SystemError* error) const;

    // Appends count bytes of source from position, as they are: the
    // kernel's in-file copy where the system offers it, large blocks
    // elsewhere. Returns the bytes copied (fewer only at the source's end),
    // or -1 on a failure.
    int64_t CopyFrom(InputFile& source, uint64_t position, uint64_t count, SystemError* error);
    // The permissions of model (and its owner, where that is allowed), so
    // that a file written again keeps what the user had set on it.
    bool TakePermissionsOf(InputFile& model, SystemError* error);
    // Writes the file through to the disk, before CommitReplacing.
    bool Flush(SystemError* error);
    // Renames the flushed file over name and makes the rename itself
    // durable: after a crash name is the old file or the whole new one,
    // never a part.
    CommitResult CommitReplacing(const std::string& name, SystemError* error);

private:
    const Folder* folder_ = nullptr;
    std::string tempName_; // empty while the file is unnamed
    intptr_t handle_ = -1;
};

// Whether a file or folder made under this name keeps it exactly: Windows
// drops a trailing dot or space, so that "a." would be written as "a".
bool FileSystemKeepsName(const std::string& name);
// Whether two names that differ only in letter case give one file.
extern const bool FILE_NAMES_IGNORE_CASE;
// Whether a file that is open (the pack being updated) keeps another from
// being renamed over it (Windows).
extern const bool OPEN_FILES_BLOCK_REPLACE;

// Removes the folders OpenRoot made (listed from the top down), deepest
// first, each only while it is empty.
void RemoveMadeFolders(const std::vector<std::string>& made);

// The name of a temporary file beside a pack or an entry: the one form
// that a leftover of a killed run is recognised by.
inline std::string TemporaryName(uint64_t processId, unsigned number)
{
    return ".quorvel-" + std::to_string(processId) + "-" + std::to_string(number) + ".part";
}

// ---- Walking a source folder

struct SourceFile {
    std::string relative; // UTF-8, parts joined with '/'
    NodeKind kind;        // File, Link or Other
    uint64_t size;
    FileIdentity identity; // of the file found, so that the copy can tell it is the same
};

// Every node under root, folders descended into (never through a link); an
// error names the path with root.
bool WalkFolder(const std::string& root, std::vector<SourceFile>* files, std::string* error);

// Parent folder and last part of a path ("" parent for a bare name).
void SplitPath(const std::string& path, std::string* parent, std::string* name);
std::string JoinPath(const std::string& folder, const std::string& relative);

} // namespace cli

#endif
