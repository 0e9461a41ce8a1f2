#include "pack/pack.h"

#include "pack/directory.h"
#include "resources/texts.h"
#include "shell/app_state.h"
#include "support/entry_name.h"
#include "support/heap_block.h"
#include "support/scoped_handle.h"
#include "support/text.h"

namespace {

constexpr DWORD TRANSFER_CHUNK_BYTES = 4096;
// Long enough for any destination the folder chooser gives joined with any
// entry name, so an output path that is refused can still be named.
constexpr DWORD CAPTION_BYTES = PATH_BUFFER_BYTES + PACK_PATH_BYTES + 8;

// Set while the pack is being closed or the program quits: the copy is then
// given up, and no question or warning keeps the window waiting for an
// answer that would be ignored.
bool Abandoned()
{
    return g_app.abandonEntry.load() != 0;
}

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
        if (Abandoned())
            return EXTRACT_ABANDONED;
        const DWORD chunk = remaining < TRANSFER_CHUNK_BYTES ? remaining : TRANSFER_CHUNK_BYTES;
        DWORD moved = 0;
        if (!positioned || !ReadFile(pack, buffer, chunk, &moved, nullptr) || moved != chunk) {
            if (Abandoned())
                return EXTRACT_ABANDONED;
            MessageBoxA(owner, SHORT_READ_TEXT, COPY_FAILURE_CAPTION, MB_ICONERROR);
            return EXTRACT_SHORT_READ;
        }
        NegateBytes(buffer, chunk);
        if (!WriteFile(output, buffer, chunk, &moved, nullptr) || moved != chunk) {
            if (Abandoned())
                return EXTRACT_ABANDONED;
            MessageBoxA(owner, SHORT_WRITE_TEXT, COPY_FAILURE_CAPTION, MB_ICONERROR);
            return EXTRACT_SHORT_WRITE;
        }
        remaining -= chunk;
    }
    return EXTRACT_DONE;
}

// Warns about an output that cannot be written, unless the copy was given
// up meanwhile; the result ExtractEntry returns either way.
int RefuseOutput(HWND owner, const char* caption)
{
    if (Abandoned())
        return EXTRACT_ABANDONED;
    MessageBoxA(owner, OUTPUT_UNOPENED_TEXT, caption, MB_ICONWARNING);
    return EXTRACT_DONE;
}

// A refused name is named in the caption with its destination when both fit.
int RefuseName(HWND owner, const char* destination, const char* name)
{
    char caption[CAPTION_BYTES];
    if (TextsFit(CAPTION_BYTES, destination, "\\", name))
        JoinOutputPath(destination, name, caption);
    else
        TextCopy(caption, name);
    return RefuseOutput(owner, caption);
}

// An abandoned copy must not be left looking like the whole entry; the
// output is closed by now, so it can be removed. One that cannot be is
// named, whatever the moment.
void RemovePartialOutput(HWND owner, const char* outputPath)
{
    if (!DeleteFileA(outputPath) && GetLastError() != ERROR_FILE_NOT_FOUND)
        MessageBoxA(owner, PARTIAL_FILE_LEFT_TEXT, outputPath, MB_ICONWARNING);
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

int ExtractEntry(HWND owner, const char* destination, const PackEntry* entry, int noPrompt, char* outputPath)
{
    // The path is built before anything can be reported, so that the caller
    // has it whatever happens below.
    const bool pathBuilt = BuildOutputPath(destination, entry->name, outputPath);
    if (!pathBuilt)
        outputPath[0] = 0;
    const OwnedFile pack(
        CreateFileA(g_app.packPath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!pack.IsOpen()) {
        if (Abandoned())
            return EXTRACT_ABANDONED;
        MessageBoxA(owner, PACK_UNOPENED_TEXT, DOOMED_CAPTION, MB_ICONERROR);
        return EXTRACT_PACK_UNOPENED;
    }
    const OwnedHeapBlock buffer(g_app.heap, TRANSFER_CHUNK_BYTES);
    if (buffer.Get() == nullptr) {
        if (Abandoned())
            return EXTRACT_ABANDONED;
        MessageBoxA(owner, NO_TRANSFER_BUFFER_TEXT, DOOMED_CAPTION, MB_ICONERROR);
        return EXTRACT_NO_BUFFER;
    }

    // A name that would leave the destination folder, or an output path
    // that would not fit its 256 bytes, is never written: it gets the same
    // warning as an output file that cannot be made, and the run goes on.
    if (!pathBuilt)
        return RefuseName(owner, destination, entry->name);

    // Existence by attributes: a file that exists but cannot be opened for
    // shared reading would otherwise be replaced without the question. A
    // folder of the entry's name is no file to replace: asking would only
    // lead to the failure below.
    const DWORD attributes = GetFileAttributesA(outputPath);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return RefuseOutput(owner, outputPath);
    if (noPrompt == 0 && attributes != INVALID_FILE_ATTRIBUTES) {
        if (Abandoned())
            return EXTRACT_ABANDONED;
        if (MessageBoxA(owner, OVERWRITE_QUESTION, outputPath, MB_ICONWARNING | MB_YESNO) != IDYES)
            return EXTRACT_DONE;
    }

    // A run given up while the overwrite question was open must not replace
    // the existing file only to remove the copy at once.
    if (Abandoned())
        return EXTRACT_ABANDONED;
    int result = EXTRACT_DONE;
    {
        const OwnedFile output(CreateFileA(outputPath, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        if (!output.IsOpen())
            return RefuseOutput(owner, outputPath);
        result = CopyEntryBytes(owner, pack.Get(), output.Get(), buffer.Get(), entry);
    }
    if (result == EXTRACT_ABANDONED)
        RemovePartialOutput(owner, outputPath);
    return result;
}
