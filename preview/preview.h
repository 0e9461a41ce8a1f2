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

// The zone that file's mark (its Zone.Identifier stream) gives it: 0, the
// computer's own, when it has none. Only for a volume with named streams.
int ZoneOfMark(const char* file);
// Marks file as coming from zone when that is the Internet zone (3) or a
// less trusted one; writes nothing for a trusted zone. Only for a volume
// with named streams.
void MarkWithZone(const char* file, int zone);

#endif
