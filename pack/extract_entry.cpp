#include "pack/pack.h"

#include "pack/directory.h"
#include "shell/app_state.h"
#include "support/entry_name.h"
#include "support/text.h"

namespace {

constexpr DWORD TRANSFER_CHUNK_BYTES = 4096;
// Long enough for any destination the folder chooser gives joined with any
// entry name, so an output path that is refused can still be named.
constexpr DWORD CAPTION_BYTES = PATH_BUFFER_BYTES + PACK_PATH_BYTES + 8;

const char* const OUTPUT_UNOPENED_TEXT = "書き込みファイルが開けません。\n原因: 読み取り専用デバイスとか?";

void JoinOutputPath(const char* destination, const char* name, char* path)
{
    TextCopy(path, destination);
    AppendSeparator(path);
    TextAppend(path, name);
}

} // namespace

int ExtractEntry(HWND owner, const char* destination, const PackEntry* entry, int noPrompt)
{
    HANDLE pack = CreateFileA(g_app.packPath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (pack == INVALID_HANDLE_VALUE) {
        MessageBoxA(owner,
                    "パックファイルが開けません。\n原因: 他のアプリケーションが開いてる、ファイル移動しちゃったetc.",
                    "ｵﾜﾀ＼(＾o＾)／", MB_ICONERROR);
        return EXTRACT_PACK_UNOPENED;
    }
    auto* buffer = static_cast<unsigned char*>(HeapAlloc(g_app.heap, 0, TRANSFER_CHUNK_BYTES));
    if (buffer == nullptr) {
        MessageBoxA(owner, "転送用メモリ確保に失敗(4KB)\n原因: メモリ不足 ねえよｗｗｗｗ", "ｵﾜﾀ＼(＾o＾)／",
                    MB_ICONERROR);
        CloseHandle(pack);
        return EXTRACT_NO_BUFFER;
    }

    // A name that would leave the destination folder, or an output path
    // that would not fit its 256 bytes, is never written: it gets the same
    // warning as an output file that cannot be made, and the run goes on.
    char outputPath[PACK_PATH_BYTES];
    const bool separatorNeeded = *FileNamePart(destination) != 0;
    if (!IsSafeEntryName(entry->name) ||
        !TextsFit(PACK_PATH_BYTES, destination, separatorNeeded ? "\\" : "", entry->name)) {
        char caption[CAPTION_BYTES];
        if (TextsFit(CAPTION_BYTES, destination, "\\", entry->name))
            JoinOutputPath(destination, entry->name, caption);
        else
            TextCopy(caption, entry->name);
        MessageBoxA(owner, OUTPUT_UNOPENED_TEXT, caption, MB_ICONWARNING);
        HeapFree(g_app.heap, 0, buffer);
        CloseHandle(pack);
        return EXTRACT_DONE;
    }
    JoinOutputPath(destination, entry->name, outputPath);

    // Existence by attributes: a file that exists but cannot be opened for
    // shared reading would otherwise be replaced without the question.
    if (noPrompt == 0 && GetFileAttributesA(outputPath) != INVALID_FILE_ATTRIBUTES &&
        MessageBoxA(owner, "書き込みファイルはすでに存在します。\n上書きしますか?", outputPath,
                    MB_ICONWARNING | MB_YESNO) != IDYES) {
        HeapFree(g_app.heap, 0, buffer);
        CloseHandle(pack);
        return EXTRACT_DONE;
    }

    HANDLE output = CreateFileA(outputPath, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (output == INVALID_HANDLE_VALUE) {
        MessageBoxA(owner, OUTPUT_UNOPENED_TEXT, outputPath, MB_ICONWARNING);
        HeapFree(g_app.heap, 0, buffer);
        CloseHandle(pack);
        return EXTRACT_DONE;
    }

    // Formed in 64 bits: an entry at or past 4 GiB is reached, never
    // wrapped onto another entry's bytes; past the end a read comes up short.
    LARGE_INTEGER position;
    position.QuadPart = static_cast<LONGLONG>(g_app.dataAreaStart + entry->offset);
    bool positioned = SetFilePointerEx(pack, position, nullptr, FILE_BEGIN) != FALSE;

    int result = EXTRACT_DONE;
    DWORD remaining = entry->size;
    while (remaining != 0) {
        if (g_app.abandonEntry.load() != 0) {
            result = EXTRACT_ABANDONED;
            break;
        }
        const DWORD chunk = remaining < TRANSFER_CHUNK_BYTES ? remaining : TRANSFER_CHUNK_BYTES;
        DWORD moved = 0;
        if (!positioned || !ReadFile(pack, buffer, chunk, &moved, nullptr) || moved != chunk) {
            MessageBoxA(owner, "読み込み途中とかありえない", "わあ", MB_ICONERROR);
            result = EXTRACT_SHORT_READ;
            break;
        }
        NegateBytes(buffer, chunk);
        if (!WriteFile(output, buffer, chunk, &moved, nullptr) || moved != chunk) {
            MessageBoxA(owner, "書き込み途中とかありえない", "わあ", MB_ICONERROR);
            result = EXTRACT_SHORT_WRITE;
            break;
        }
        remaining -= chunk;
    }
    CloseHandle(output);
    // An abandoned copy must not be left looking like the whole entry.
    if (result == EXTRACT_ABANDONED)
        DeleteFileA(outputPath);
    HeapFree(g_app.heap, 0, buffer);
    CloseHandle(pack);
    return result;
}
