// Preview: selected entries copied into the preview folder "$PAKTEMP" in
// the user's temporary folder and opened by the shell; the folder is
// removed with everything in it when the program ends. UI thread only.
#ifndef QUORVEL_PREVIEW_PREVIEW_H
#define QUORVEL_PREVIEW_PREVIEW_H

#include <windows.h>

void PreviewSelection();
void RemovePreviewFolder();
// Removes folder and everything in it; 0 when it is gone, 1 when stopped.
int DeleteTree(const char* folder);

#endif
