// Which entries a command works on, and which file extract gives each:
// the rules extract follows, asked by every command that maps entries to
// files (update replaces the entry that extract would write to a file).
#ifndef QUORVEL_CLI_ENTRY_FILES_H
#define QUORVEL_CLI_ENTRY_FILES_H

#include "cli/pack_file.h"

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace cli {

// Whether extract takes a stored name, its code page 932 form aside:
// quorvel's entry-name rule, and no control byte (below 0x20, and 0x7F),
// which no file name should hold (a line feed breaks every script that
// reads names a line at a time). False, with *why, when it refuses it.
bool EntryNameAllowed(std::string_view stored, std::string* why);

// The folder parts and file name that extract writes a stored name to,
// below its target folder; false, with *why, when extract refuses the name.
// The one rule for every command that maps entries to files.
bool EntryFileParts(std::string_view stored, std::vector<std::string>* parts, std::string* why);

// Entries that extract would write as a file where another entry needs a
// folder of that name ("a" and "a\b.txt"), which no file system holds
// both of: (the file's entry, the first entry below the folder), in the
// order of the file entries. Names extract refuses take no part.
std::vector<std::pair<uint32_t, uint32_t>> FilesWhereFoldersGo(const std::vector<std::string_view>& names,
                                                               bool foldCase);

// The same parts as one path, "/" between them.
std::string JoinedParts(const std::vector<std::string>& parts);

// The indexes, ascending, of the entries whose shown name matches one of
// patterns (every entry when there is none). False, with a message for
// each, when a pattern matches no entry.
bool SelectEntries(const std::vector<StoredEntry>& entries, const std::vector<std::string>& patterns,
                   std::vector<uint32_t>* selected);

} // namespace cli

#endif
