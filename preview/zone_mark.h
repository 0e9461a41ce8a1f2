// The download mark (the "Zone.Identifier" stream) that a copy takes over
// from the pack it came out of: a program from a downloaded pack asks
// before it runs, one from the user's own pack does not. UI thread only.
#ifndef QUORVEL_PREVIEW_ZONE_MARK_H
#define QUORVEL_PREVIEW_ZONE_MARK_H

#include <windows.h>

// The Internet zone; anything above it is trusted even less.
constexpr int ZONE_INTERNET = 3;

// True when the volume that holds path has named streams, so that a mark
// can be read or written there at all.
bool CarriesStreams(const char* path);

// The zone file's mark gives it: 0, the computer's own, when it has none.
// False when a mark may be there but cannot be read: a copy must then not
// be handed on as if it had come from this computer.
bool ReadZoneMark(const char* file, int* zone);

// Marks the open file copy as coming from zone when that is the Internet
// zone or a less trusted one; writes nothing for a trusted zone. False when
// a mark was due and could not be written.
bool MarkWithZone(HANDLE copy, int zone);

#endif
