// The rule that keeps a pack's entry names inside the folder they are
// extracted to. Pack files come from anywhere; a name is data, not a path
// the pack's author may aim wherever they like.
#ifndef QUORVEL_SUPPORT_ENTRY_NAME_H
#define QUORVEL_SUPPORT_ENTRY_NAME_H

// True when name, joined behind a folder and a separator, names a file
// inside that folder (possibly in a sub-folder of it). False for empty
// names, absolute or drive-qualified names, names with ":" (streams), any
// "." or ".." component or empty component, and device names.
bool IsSafeEntryName(const char* name);

#endif
