#include "pack/pack.h"

#include "pack/directory.h"
#include "shell/app_state.h"
#include "support/entry_name.h"
#include "support/scoped_handle.h"
#include "support/text.h"

namespace {

constexpr DWORD TRANSFER_CHUNK_BYTES = 4096;
// Long enough for any destination the folder chooser gives joined with any
// entry name, so an output path that is refused can still be named.
constexpr DWORD CAPTION_BYTES = PATH_BUFFER_BYTES + PACK_PATH_BYTES + 8;

const char* const OUTPUT_UNOPENED_TEXT = "書き込みファイルが開けません。\n原因: 読み取り専用デバイスとか?";

// A block of the private heap released on every way out of its scope.
class OwnedBlock {
public:
    explicit OwnedBlock(DWORD bytes) : block_(static_cast<unsigned char*>(HeapAlloc(g_app.heap, 0, bytes))) {}
    ~OwnedBlock()
    {
        if (block_ != nullptr)
            HeapFree(g_app.heap, 0, block_);
    }
    OwnedBlock(const OwnedBlock&) = delete;
    OwnedBlock& operator=(const OwnedBlock&) = delete;
    unsigned char* Get() const { return block_; }

private:
    unsigned char* block_;
};

void JoinOutputPath(const char* destination, const char* name, char* path)
{
    TextCopy(path, destination);
    AppendSeparator(path);
    TextAppend(path, name);
}

// Copies the entry's bytes from the pack to the output, chunk by chunk.
int CopyEntryBytes(HWND owner, HANDLE pack, HANDLE output, unsigned char* buffer, const PackEntry* entry)
{
    // Formed in 64 bits: an entry at or past 4 GiB is reached, never
    // wrapped onto another entry's bytes; past the end a read comes up short.
    LARGE_INTEGER position;
    position.QuadPart = static_cast<LONGLONG>(g_app.dataAreaStart + entry->offset);
    const bool positioned = SetFilePointerEx(pack, position, nullptr, FILE_BEGIN) != FALSE;

    DWORD remaining = entry->size;
    while (remaining != 0) {
        if (g_app.abandonEntry.load() != 0)
            return EXTRACT_ABANDONED;
        const DWORD chunk = remaining < TRANSFER_CHUNK_BYTES ? remaining : TRANSFER_CHUNK_BYTES;
        DWORD moved = 0;
        if (!positioned || !ReadFile(pack, buffer, chunk, &moved, nullptr) || moved != chunk) {
            MessageBoxA(owner, "読み込み途中とかありえない", "わあ", MB_ICONERROR);
            return EXTRACT_SHORT_READ;
        }
        NegateBytes(buffer, chunk);
        if (!WriteFile(output, buffer, chunk, &moved, nullptr) || moved != chunk) {
            MessageBoxA(owner, "書き込み途中とかありえない", "わあ", MB_ICONERROR);
            return EXTRACT_SHORT_WRITE;
        }
        remaining -= chunk;
    }
    return EXTRACT_DONE;
}

} // namespace

bool BuildOutputPath(const char* destination, const char* name, char* path)
{
    const bool separatorNeeded = *FileNamePart(destination) != 0;
    if (!IsSafeEntryName(name) || !TextsFit(PACK_PATH_BYTES, destination, separatorNeeded ? "\\" : "", name))
        return false;
    JoinOutputPath(destination, name, path);
    return true;
}

int ExtractEntry(HWND owner, const char* destination, const PackEntry* entry, int noPrompt)
{
    const OwnedFile pack(
        CreateFileA(g_app.packPath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!pack.IsOpen()) {
        MessageBoxA(owner,
                    "パックファイルが開けません。\n原因: 他のアプリケーションが開いてる、ファイル移動しちゃったetc.",
                    "ｵﾜﾀ＼(＾o＾)／", MB_ICONERROR);
        return EXTRACT_PACK_UNOPENED;
    }
    const OwnedBlock buffer(TRANSFER_CHUNK_BYTES);
    if (buffer.Get() == nullptr) {
        MessageBoxA(owner, "転送用メモリ確保に失敗(4KB)\n原因: メモリ不足 ねえよｗｗｗｗ", "ｵﾜﾀ＼(＾o＾)／",
                    MB_ICONERROR);
        return EXTRACT_NO_BUFFER;
    }

    // A name that would leave the destination folder, or an output path
    // that would not fit its 256 bytes, is never written: it gets the same
    // warning as an output file that cannot be made, and the run goes on.
    char outputPath[PACK_PATH_BYTES];
    if (!BuildOutputPath(destination, entry->name, outputPath)) {
        char caption[CAPTION_BYTES];
        if (TextsFit(CAPTION_BYTES, destination, "\\", entry->name))
            JoinOutputPath(destination, entry->name, caption);
        else
            TextCopy(caption, entry->name);
        MessageBoxA(owner, OUTPUT_UNOPENED_TEXT, caption, MB_ICONWARNING);
        return EXTRACT_DONE;
    }

    // Existence by attributes: a file that exists but cannot be opened for
    // shared reading would otherwise be replaced without the question. A
    // folder of the entry's name is no file to replace: asking would only
    // lead to the failure below.
    const DWORD attributes = GetFileAttributesA(outputPath);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        MessageBoxA(owner, OUTPUT_UNOPENED_TEXT, outputPath, MB_ICONWARNING);
        return EXTRACT_DONE;
    }
    if (noPrompt == 0 && attributes != INVALID_FILE_ATTRIBUTES &&
        MessageBoxA(owner, "書き込みファイルはすでに存在します。\n上書きしますか?", outputPath,
                    MB_ICONWARNING | MB_YESNO) != IDYES)
        return EXTRACT_DONE;

    int result = EXTRACT_DONE;
    // A run given up while the overwrite question was open must not replace
    // the existing file only to remove the copy at once.
    if (g_app.abandonEntry.load() != 0)
        return EXTRACT_ABANDONED;
    {
        const OwnedFile output(CreateFileA(outputPath, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        if (!output.IsOpen()) {
            MessageBoxA(owner, OUTPUT_UNOPENED_TEXT, outputPath, MB_ICONWARNING);
            return EXTRACT_DONE;
        }
        result = CopyEntryBytes(owner, pack.Get(), output.Get(), buffer.Get(), entry);
    }
    // An abandoned copy must not be left looking like the whole entry; the
    // output is closed by now, so it can be removed.
    if (result == EXTRACT_ABANDONED)
        DeleteFileA(outputPath);
    return result;
}
