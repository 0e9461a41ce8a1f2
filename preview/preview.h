// Preview: entries copied into the preview folder "$PAKTEMP" in the user's
// temporary folder and opened by the shell; the folder is removed with
// everything in it when the program ends. The shell picks the entries; this
// takes them one at a time. UI thread only.
#ifndef QUORVEL_PREVIEW_PREVIEW_H
#define QUORVEL_PREVIEW_PREVIEW_H

#include <windows.h>

#include "support/text.h"

struct PackEntry;

// Where the copies of one preview go and the zone they are marked with.
struct PreviewPlace {
    char folder[PATH_BUFFER_BYTES]; // the preview folder, with its trailing separator
    int zone;                       // the open pack's download zone
};

// Makes (or enters) the preview folder and reads the open pack's download
// mark. False, after saying why, when no copy may be made.
bool PreparePreview(PreviewPlace* place);

// Copies entry into the folder and hands the copy to the shell. The entry
// is read only before the copy's first message box: the pack it belongs to
// must stay open until this returns.
void PreviewEntry(const PreviewPlace* place, const PackEntry* entry);

void RemovePreviewFolder();
// Removes folder and everything in it; 0 when it is gone, 1 when stopped.
int DeleteTree(const char* folder);

#endif
