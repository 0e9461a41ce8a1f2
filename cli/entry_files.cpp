#include "cli/entry_files.h"

#include "cli/messages.h"
#include "cli/glob.h"
#include "cli/names.h"
#include "support/entry_name.h"

#include <unordered_map>

namespace cli {

bool EntryNameAllowed(std::string_view stored, std::string* why)
{
    // quorvel's own rule, the same function the desktop program asks. The
    // copy keeps its room: a mount asks for a million names in a row.
    thread_local std::string text;
    text.assign(stored);
    if (!IsSafeEntryName(text.c_str())) {
        *why = "the name would leave the target folder or names a device";
        return false;
    }
    for (const char c : stored) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
            *why = "the name holds a control character";
            return false;
        }
    }
    return true;
}

bool EntryFileParts(std::string_view stored, std::vector<std::string>* parts, std::string* why)
{
    if (!EntryNameAllowed(stored, why))
        return false;
    if (!SplitStoredName(stored, parts)) {
        *why = "the name is not valid code page 932";
        return false;
    }
    return true;
}

std::string JoinedParts(const std::vector<std::string>& parts)
{
    std::string path;
    for (const std::string& part : parts) {
        if (!path.empty())
            path.push_back('/');
        path += part;
    }
    return path;
}

bool SelectEntries(const std::vector<StoredEntry>& entries, const std::vector<std::string>& patterns,
                   std::vector<uint32_t>* selected)
{
    std::vector<bool> patternUsed(patterns.size(), false);
    for (uint32_t index = 0; index < entries.size(); ++index) {
        bool wanted = patterns.empty();
        if (!wanted) {
            const std::string shown = NameToUtf8(entries[index].name, NameForm::Text);
            for (size_t p = 0; p < patterns.size(); ++p) {
                if (GlobMatch(patterns[p], shown)) {
                    patternUsed[p] = true;
                    wanted = true;
                }
            }
        }
        if (wanted)
            selected->push_back(index);
    }
    bool allUsed = true;
    for (size_t p = 0; p < patterns.size(); ++p) {
        if (!patternUsed[p]) {
            Message("pattern '" + patterns[p] + "' matches no entry");
            allUsed = false;
        }
    }
    return allUsed;
}

std::vector<std::pair<uint32_t, uint32_t>> FilesWhereFoldersGo(const std::vector<std::string_view>& names,
                                                               bool foldCase)
{
    std::vector<std::string> keys(names.size());
    std::unordered_map<std::string_view, uint32_t> firstBelow; // folder key -> the first entry inside it
    std::vector<std::string> parts;
    std::string why;
    for (uint32_t i = 0; i < names.size(); ++i) {
        if (!EntryFileParts(names[i], &parts, &why))
            continue;
        keys[i] = FileKey(parts, foldCase);
    }
    for (uint32_t i = 0; i < names.size(); ++i) {
        const std::string_view key = keys[i];
        for (size_t slash = key.find('/'); slash != std::string_view::npos; slash = key.find('/', slash + 1))
            firstBelow.emplace(key.substr(0, slash), i);
    }
    std::vector<std::pair<uint32_t, uint32_t>> clashes;
    for (uint32_t i = 0; i < names.size(); ++i) {
        const auto folder = keys[i].empty() ? firstBelow.end() : firstBelow.find(keys[i]);
        if (folder != firstBelow.end())
            clashes.emplace_back(i, folder->second);
    }
    return clashes;
}

} // namespace cli
