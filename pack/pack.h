// The open pack: its entry list, opening and closing, and copying one
// entry out of it.
#ifndef QUORVEL_PACK_PACK_H
#define QUORVEL_PACK_PACK_H

#include "pack/directory.h"

#include <windows.h>

// One directory record of the open pack. Owned by the entry list from
// OpenPack until ClosePack; list rows, jobs and previews hold plain
// references that are valid only while the pack stays open.
struct PackEntry {
    char* name; // heap copy, at most 255 bytes and the terminator
    DWORD size;
    DWORD offset; // from the data area start
    PackEntry* next;
};

// The pack at path opened in place of the open one, which is closed first,
// also when path then cannot be opened: 0 when it is open, 1 when it was
// refused (reported). Like ClosePack, only once no worker runs.
int OpenPack(const char* path);
// The directory of the open file read into a new entry list on the private
// heap, as OpenPack reads it before it shows anything; the list is released
// with FreeEntryList. A damaged directory gives no list at all.
DirectoryResult ReadEntryList(HANDLE file, PackEntry** head, DWORD* count, ULONGLONG* dataAreaStart);
// Releases the open pack's entries and shows that none is open. Only once
// the worker has let go of them: StopExtractionAndWait comes first.
void ClosePack();
void FreeEntryList(PackEntry* first);

enum ExtractResult {
    EXTRACT_DONE = 0, // copied, declined to overwrite, or the output could not be made (reported)
    EXTRACT_PACK_UNOPENED = 1,
    EXTRACT_NO_BUFFER = 2,
    EXTRACT_SHORT_READ = 3,
    EXTRACT_SHORT_WRITE = 4,
    EXTRACT_ABANDONED = 5, // given up for a pack close or quitting; the partial output was removed (or named)
};

// The one rule for where an entry may be written: destination, a separator
// and name joined into path (PACK_PATH_BYTES). False, with path unusable,
// when the name would leave the destination or the whole would not fit.
bool BuildOutputPath(const char* destination, const char* name, char* path);

// Copies entry into destination\name, decoding it. noPrompt 0 asks before
// replacing an existing file. Reports every failure itself, owned by owner,
// unless the copy is being abandoned: then it asks and warns nothing more.
// outputPath (PACK_PATH_BYTES) receives the path it wrote to, or "" when the
// name was refused. A message box may run a message loop: callers must not
// rely on anything the UI thread may release meanwhile.
int ExtractEntry(HWND owner, const char* destination, const PackEntry* entry, int noPrompt, char* outputPath);

#endif
