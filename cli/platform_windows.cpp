// quorvel-cli on Windows: the wide-character calls throughout, so that
// names work whatever the system's ANSI code page is.
#include "cli/platform.h"

#include <windows.h>

#include <atomic>

namespace cli {

namespace {

// Raised by the console control handler (its own thread), read by the work loops.
std::atomic<bool> g_interrupted{false};
// Manual-reset event, set once by the main thread at the end of the run
// (RunEnded) and waited for by the console control handler; made before
// the handler is installed and never closed.
HANDLE g_runEnded = nullptr;
std::atomic<unsigned> g_tempCounter{0};

std::wstring Wide(const std::string& utf8)
{
    if (utf8.empty())
        return std::wstring();
    const int length = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), nullptr, 0);
    std::wstring wide(size_t(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), wide.data(), length);
    return wide;
}

std::string Narrow(const wchar_t* wide, int count)
{
    if (count == 0)
        return std::string();
    const int length = WideCharToMultiByte(CP_UTF8, 0, wide, count, nullptr, 0, nullptr, nullptr);
    std::string utf8(size_t(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide, count, utf8.data(), length, nullptr, nullptr);
    return utf8;
}

bool IsConsole(DWORD which)
{
    DWORD mode;
    return GetConsoleMode(GetStdHandle(which), &mode) != FALSE;
}

bool WriteAll(HANDLE handle, const char* data, size_t length, SystemError* error)
{
    while (length > 0) {
        const DWORD chunk = length > 0x40000000 ? 0x40000000 : DWORD(length);
        DWORD written = 0;
        if (!WriteFile(handle, data, chunk, &written, nullptr)) {
            *error = LastSystemError();
            return false;
        }
        data += written;
        length -= written;
    }
    return true;
}

// Text on a console goes as UTF-16, so that it shows whatever the console's
// code page is; redirected it stays UTF-8.
bool WriteText(DWORD which, const char* text, size_t length, SystemError* error)
{
    const HANDLE handle = GetStdHandle(which);
    if (!IsConsole(which))
        return WriteAll(handle, text, length, error);
    const std::wstring wide = Wide(std::string(text, length));
    DWORD written = 0;
    if (!WriteConsoleW(handle, wide.data(), DWORD(wide.size()), &written, nullptr)) {
        *error = LastSystemError();
        return false;
    }
    return true;
}

BOOL WINAPI OnConsoleControl(DWORD)
{
    g_interrupted = true;
    // The main thread removes its temporary file and ends the process; a
    // closing console ends it as soon as this returns, so wait for that.
    WaitForSingleObject(g_runEnded, INFINITE);
    return TRUE;
}

NodeKind KindOf(DWORD attributes)
{
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
        return NodeKind::Link; // symbolic links and junctions alike
    if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        return NodeKind::Folder;
    if (attributes & FILE_ATTRIBUTE_DEVICE)
        return NodeKind::Other;
    return NodeKind::File;
}

NodeKind KindAt(const std::wstring& path, SystemError* error = nullptr)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD code = GetLastError();
        if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND)
            return NodeKind::Missing;
        if (error != nullptr)
            *error = {uint32_t(code)};
        return NodeKind::Failed;
    }
    return KindOf(attributes);
}

bool IdentityOfHandle(HANDLE handle, FileIdentity* identity, SystemError* error, DWORD* attributes = nullptr)
{
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle, &info)) {
        *error = LastSystemError();
        return false;
    }
    *identity = {info.dwVolumeSerialNumber, (uint64_t(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
    if (attributes != nullptr)
        *attributes = info.dwFileAttributes;
    return true;
}

// The identity of whatever is under path: the reparse point itself, never
// its target, opened for no access, so that a file another program holds
// open is still answered for.
bool IdentityAt(const std::wstring& path, FileIdentity* identity, SystemError* error)
{
    const HANDLE node = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (node == INVALID_HANDLE_VALUE) {
        *error = LastSystemError();
        return false;
    }
    const bool known = IdentityOfHandle(node, identity, error);
    CloseHandle(node);
    return known;
}

std::string NextTemporaryName()
{
    return TemporaryName(GetCurrentProcessId(), g_tempCounter.fetch_add(1));
}

} // namespace

SystemError LastSystemError()
{
    return {uint32_t(GetLastError())};
}

std::string SystemError::Text() const
{
    const DWORD error = code;
    wchar_t* text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
        MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string result;
    if (length > 0 && text != nullptr) {
        result = Narrow(text, int(length));
        while (!result.empty() && (result.back() == '\n' || result.back() == '\r' || result.back() == '.'))
            result.pop_back();
    } else {
        result = "system error " + std::to_string(error);
    }
    if (text != nullptr)
        LocalFree(text);
    return result;
}

// ---- InputFile

InputFile::~InputFile()
{
    Close();
}

bool InputFile::Open(const std::string& path, SystemError* error)
{
    Close();
    const HANDLE file = CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        *error = LastSystemError();
        return false;
    }
    handle_ = reinterpret_cast<intptr_t>(file);
    return true;
}

NodeKind InputFile::OpenUnfollowed(const std::string& path, SystemError* error)
{
    Close();
    const HANDLE file = CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        *error = LastSystemError();
        return NodeKind::Failed;
    }
    FileIdentity ignored;
    DWORD attributes = 0;
    if (!IdentityOfHandle(file, &ignored, error, &attributes)) {
        CloseHandle(file);
        return NodeKind::Failed;
    }
    const NodeKind kind = KindOf(attributes);
    if (kind != NodeKind::File || GetFileType(file) != FILE_TYPE_DISK) {
        CloseHandle(file);
        return kind == NodeKind::File ? NodeKind::Other : kind;
    }
    handle_ = reinterpret_cast<intptr_t>(file);
    return NodeKind::File;
}

InputFile::LockResult InputFile::Lock(bool wait, SystemError* error)
{
    // One byte far past any end: Windows locks are mandatory for the bytes
    // they cover, and readers of the pack must not be kept out.
    OVERLAPPED where = {};
    where.Offset = 0xFFFFFFFE;
    where.OffsetHigh = 0x7FFFFFFF;
    const DWORD flags = LOCKFILE_EXCLUSIVE_LOCK | (wait ? 0 : LOCKFILE_FAIL_IMMEDIATELY);
    if (LockFileEx(reinterpret_cast<HANDLE>(handle_), flags, 0, 1, 0, &where))
        return LockResult::Locked;
    *error = LastSystemError();
    return !wait && error->code == ERROR_LOCK_VIOLATION ? LockResult::Busy : LockResult::Failed;
}

int64_t InputFile::ReadAt(uint64_t position, void* buffer, size_t count, SystemError* error)
{
    OVERLAPPED where = {};
    where.Offset = DWORD(position);
    where.OffsetHigh = DWORD(position >> 32);
    DWORD got = 0;
    const DWORD want = count > 0x40000000 ? 0x40000000 : DWORD(count);
    if (!ReadFile(reinterpret_cast<HANDLE>(handle_), buffer, want, &got, &where)) {
        if (GetLastError() == ERROR_HANDLE_EOF)
            return 0;
        *error = LastSystemError();
        return -1;
    }
    return got;
}

bool InputFile::Size(uint64_t* size, SystemError* error)
{
    LARGE_INTEGER value;
    if (!GetFileSizeEx(reinterpret_cast<HANDLE>(handle_), &value)) {
        *error = LastSystemError();
        return false;
    }
    *size = uint64_t(value.QuadPart);
    return true;
}

bool InputFile::Identity(FileIdentity* identity, SystemError* error) const
{
    return IdentityOfHandle(reinterpret_cast<HANDLE>(handle_), identity, error);
}

void InputFile::Close()
{
    if (handle_ != -1)
        CloseHandle(reinterpret_cast<HANDLE>(handle_));
    handle_ = -1;
}

// ---- Standard streams

bool StdinIsTerminal()
{
    return IsConsole(STD_INPUT_HANDLE);
}

bool StdoutIsTerminal()
{
    return IsConsole(STD_OUTPUT_HANDLE);
}

bool StderrIsTerminal()
{
    return IsConsole(STD_ERROR_HANDLE);
}

// The buffer above hands over whole texts only, so a console conversion
// never cuts a character in two.
bool WriteStdoutRaw(const char* data, size_t length, StdoutData kind, SystemError* error)
{
    if (kind == StdoutData::Text)
        return WriteText(STD_OUTPUT_HANDLE, data, length, error);
    return WriteAll(GetStdHandle(STD_OUTPUT_HANDLE), data, length, error);
}

void WriteStderrText(const std::string& text)
{
    SystemError ignored; // nowhere left to say it
    WriteText(STD_ERROR_HANDLE, text.data(), text.size(), &ignored);
}

bool ReadStdinLine(std::string* line)
{
    line->clear();
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    if (StdinIsTerminal()) {
        wchar_t buffer[256];
        DWORD got = 0;
        if (!ReadConsoleW(input, buffer, 255, &got, nullptr) || got == 0 || Interrupted())
            return false;
        std::string text = Narrow(buffer, int(got));
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
            text.pop_back();
        *line = text;
        return true;
    }
    for (;;) {
        char c;
        DWORD got = 0;
        if (!ReadFile(input, &c, 1, &got, nullptr) || got == 0)
            return false;
        if (c == '\n')
            return true;
        line->push_back(c);
    }
}

// ---- Interruption

void InstallInterruptHandler()
{
    if (g_runEnded == nullptr)
        g_runEnded = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    // The progress line's "erase to the end" needs the console's VT mode.
    DWORD mode;
    const HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
    if (GetConsoleMode(error, &mode))
        SetConsoleMode(error, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
}

bool Interrupted()
{
    return g_interrupted;
}

int InterruptExitCode()
{
    return 128 + 2; // as a shell reports SIGINT
}

void RunEnded()
{
    if (g_runEnded != nullptr)
        SetEvent(g_runEnded);
}

// ---- Folder

Folder::Folder(Folder&& other) noexcept : path_(std::move(other.path_)), handle_(other.handle_)
{
    other.handle_ = -1;
}

Folder& Folder::operator=(Folder&& other) noexcept
{
    if (this != &other) {
        path_ = std::move(other.path_);
        handle_ = other.handle_;
        other.handle_ = -1;
    }
    return *this;
}

Folder::~Folder() = default;

bool Folder::OpenRoot(const std::string& path, SystemError* error, std::vector<std::string>* made)
{
    std::string target = path.empty() ? "." : path;
    for (char& c : target) {
        if (c == '/')
            c = '\\';
    }
    const std::wstring wide = Wide(target);
    // Make the missing parts from the top down; "C:" and "\\server\share"
    // heads fail to be made and are simply passed.
    for (size_t slash = wide.find(L'\\', 1);; slash = wide.find(L'\\', slash + 1)) {
        const std::wstring part = wide.substr(0, slash);
        if (CreateDirectoryW(part.c_str(), nullptr)) {
            if (made != nullptr)
                made->push_back(Narrow(part.c_str(), int(part.size())));
        } else {
            const SystemError failed = LastSystemError();
            if (failed.code != ERROR_ALREADY_EXISTS && KindAt(part) == NodeKind::Missing &&
                slash == std::wstring::npos) {
                *error = failed;
                return false;
            }
        }
        if (slash == std::wstring::npos)
            break;
    }
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        *error = LastSystemError();
        return false;
    }
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        *error = {ERROR_DIRECTORY};
        return false;
    }
    path_ = target;
    handle_ = 0;
    return true;
}

NodeKind Folder::Inspect(const std::string& name, SystemError* error) const
{
    return KindAt(Wide(path_ + "\\" + name), error);
}

NodeKind Folder::IdentityOf(const std::string& name, FileIdentity* identity, SystemError* error) const
{
    const std::wstring path = Wide(path_ + "\\" + name);
    const NodeKind kind = KindAt(path, error);
    if (kind == NodeKind::Missing || kind == NodeKind::Failed)
        return kind;
    return IdentityAt(path, identity, error) ? kind : NodeKind::Failed;
}

NodeKind Folder::OpenChild(const std::string& name, Folder* child, bool* made, SystemError* error) const
{
    const std::string childPath = path_ + "\\" + name;
    const std::wstring wide = Wide(childPath);
    *made = CreateDirectoryW(wide.c_str(), nullptr) != FALSE;
    if (!*made && GetLastError() != ERROR_ALREADY_EXISTS) {
        *error = LastSystemError();
        return NodeKind::Failed;
    }
    const NodeKind kind = KindAt(wide, error);
    if (kind != NodeKind::Folder) {
        if (kind == NodeKind::Missing)
            *error = {ERROR_PATH_NOT_FOUND};
        return kind == NodeKind::Missing ? NodeKind::Failed : kind;
    }
    child->path_ = childPath;
    child->handle_ = 0;
    return NodeKind::Folder;
}

void Folder::RemoveEmptyChild(const std::string& name) const
{
    RemoveDirectoryW(Wide(path_ + "\\" + name).c_str());
}

bool FileSystemKeepsName(const std::string& name)
{
    return name.empty() || (name.back() != '.' && name.back() != ' ');
}

// NTFS and FAT as Windows uses them.
const bool FILE_NAMES_IGNORE_CASE = true;

const bool OPEN_FILES_BLOCK_REPLACE = true;

void RemoveMadeFolders(const std::vector<std::string>& made)
{
    for (auto folder = made.rbegin(); folder != made.rend(); ++folder)
        RemoveDirectoryW(Wide(*folder).c_str());
}

// ---- TempFile

TempFile::~TempFile()
{
    Discard();
}

bool TempFile::Identity(FileIdentity* identity, SystemError* error) const
{
    return IdentityOfHandle(reinterpret_cast<HANDLE>(handle_), identity, error);
}

bool TempFile::Create(const Folder& folder, SystemError* error)
{
    Discard();
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = NextTemporaryName();
        const HANDLE file = CreateFileW(Wide(folder.path_ + "\\" + name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                        FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            folder_ = &folder;
            tempName_ = std::move(name);
            handle_ = reinterpret_cast<intptr_t>(file);
            return true;
        }
        *error = LastSystemError();
        if (error->code != ERROR_FILE_EXISTS)
            return false;
    }
    return false;
}

bool TempFile::Write(const void* data, size_t count, SystemError* error)
{
    return WriteAll(reinterpret_cast<HANDLE>(handle_), static_cast<const char*>(data), count, error);
}

namespace {

// Closes the file written under tempName and renames it to name in the
// folder at folderPath; false with *error (the file still under tempName).
bool CloseAndRename(intptr_t* handle, const std::string& folderPath, const std::string& tempName,
                    const std::string& name, DWORD flags, SystemError* error)
{
    const bool closed = CloseHandle(reinterpret_cast<HANDLE>(*handle)) != FALSE;
    *handle = -1;
    if (!closed) {
        *error = LastSystemError();
        return false;
    }
    const std::wstring from = Wide(folderPath + "\\" + tempName);
    const std::wstring to = Wide(folderPath + "\\" + name);
    if (!MoveFileExW(from.c_str(), to.c_str(), flags)) {
        *error = LastSystemError();
        return false;
    }
    return true;
}

} // namespace

TempFile::CommitResult TempFile::Commit(const std::string& name, bool replace, SystemError* error)
{
    if (!CloseAndRename(&handle_, folder_->path_, tempName_, name, replace ? MOVEFILE_REPLACE_EXISTING : 0, error)) {
        Discard();
        return error->code == ERROR_ALREADY_EXISTS || error->code == ERROR_FILE_EXISTS ? CommitResult::Exists
                                                                                       : CommitResult::Failed;
    }
    tempName_.clear();
    folder_ = nullptr;
    return CommitResult::Done;
}

void TempFile::Discard()
{
    if (handle_ != -1)
        CloseHandle(reinterpret_cast<HANDLE>(handle_));
    handle_ = -1;
    if (folder_ != nullptr && !tempName_.empty())
        DeleteFileW(Wide(folder_->path_ + "\\" + tempName_).c_str());
    tempName_.clear();
    folder_ = nullptr;
}

int64_t TempFile::CopyFrom(InputFile& source, uint64_t position, uint64_t count, SystemError* error)
{
    constexpr size_t COPY_BLOCK_BYTES = 4 * 1024 * 1024;
    std::vector<char> block(size_t(count < COPY_BLOCK_BYTES ? count : COPY_BLOCK_BYTES));
    uint64_t done = 0;
    while (done < count) {
        const size_t want = size_t(count - done < block.size() ? count - done : block.size());
        const int64_t got = source.ReadAt(position + done, block.data(), want, error);
        if (got < 0)
            return -1;
        if (got == 0)
            break;
        if (!Write(block.data(), size_t(got), error))
            return -1;
        done += uint64_t(got);
    }
    return int64_t(done);
}

bool TempFile::TakePermissionsOf(InputFile&, SystemError*)
{
    // The new file has the folder's inherited access rules, as a file any
    // editor saves there would.
    return true;
}

bool TempFile::Flush(SystemError* error)
{
    if (!FlushFileBuffers(reinterpret_cast<HANDLE>(handle_))) {
        *error = LastSystemError();
        return false;
    }
    return true;
}

TempFile::CommitResult TempFile::CommitReplacing(const std::string& name, SystemError* error)
{
    // Write-through: the call returns once the new name is on the disk.
    if (!CloseAndRename(&handle_, folder_->path_, tempName_, name, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH,
                        error)) {
        Discard();
        return CommitResult::Failed;
    }
    tempName_.clear();
    folder_ = nullptr;
    return CommitResult::Done;
}

// ---- Walking

namespace {

std::string WalkedPath(const std::string& root, const std::string& relative)
{
    return relative.empty() ? root : JoinPath(root, relative);
}

bool WalkInto(const std::wstring& folder, const std::string& root, const std::string& relative,
              std::vector<SourceFile>* files, std::string* error)
{
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        const SystemError failed = LastSystemError();
        if (failed.code == ERROR_FILE_NOT_FOUND)
            return true;
        *error = WalkedPath(root, relative) + ": " + failed.Text();
        return false;
    }
    bool ok = true;
    do {
        const std::wstring child = found.cFileName;
        if (child == L"." || child == L"..")
            continue;
        const std::string childName = Narrow(child.c_str(), int(child.size()));
        const std::string childRelative = relative.empty() ? childName : relative + "/" + childName;
        const NodeKind kind = KindOf(found.dwFileAttributes);
        if (kind == NodeKind::Folder) {
            ok = WalkInto(folder + L"\\" + child, root, childRelative, files, error);
        } else {
            // The listing carries no file index: each node is asked for it.
            const uint64_t size = uint64_t(found.nFileSizeHigh) << 32 | found.nFileSizeLow;
            FileIdentity identity;
            SystemError failed;
            if (!IdentityAt(folder + L"\\" + child, &identity, &failed)) {
                *error = WalkedPath(root, childRelative) + ": " + failed.Text();
                ok = false;
                break;
            }
            files->push_back({childRelative, kind, size, identity});
        }
    } while (ok && FindNextFileW(search, &found));
    const SystemError ended = LastSystemError();
    if (ok && ended.code != ERROR_NO_MORE_FILES) {
        *error = WalkedPath(root, relative) + ": " + ended.Text();
        ok = false;
    }
    FindClose(search);
    return ok;
}

} // namespace

bool WalkFolder(const std::string& root, std::vector<SourceFile>* files, std::string* error)
{
    std::string path = root;
    for (char& c : path) {
        if (c == '/')
            c = '\\';
    }
    while (path.size() > 1 && path.back() == '\\')
        path.pop_back();
    const std::wstring wide = Wide(path);
    if (KindAt(wide) != NodeKind::Folder && KindAt(wide) != NodeKind::Link) {
        *error = root + ": not a folder";
        return false;
    }
    return WalkInto(wide, root, "", files, error);
}

void SplitPath(const std::string& path, std::string* parent, std::string* name)
{
    const size_t slash = path.find_last_of("/\\");
    if (slash == std::string::npos) {
        const size_t colon = path.find(':');
        *parent = colon == std::string::npos ? "" : path.substr(0, colon + 1);
        *name = colon == std::string::npos ? path : path.substr(colon + 1);
    } else {
        *parent = slash == 0 ? path.substr(0, 1) : path.substr(0, slash);
        *name = path.substr(slash + 1);
    }
}

std::string JoinPath(const std::string& folder, const std::string& relative)
{
    if (folder.empty())
        return relative;
    const char last = folder.back();
    return last == '/' || last == '\\' ? folder + relative : folder + "/" + relative;
}

} // namespace cli
