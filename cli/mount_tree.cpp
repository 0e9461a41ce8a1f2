#include "cli/mount_tree.h"

#include "cli/entry_files.h"
#include "cli/names.h"

namespace cli {

namespace {

uint32_t HashOf(uint32_t parent, std::string_view name)
{
    uint64_t hash = 1469598103934665603ull ^ parent;
    for (const char c : name)
        hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
    return uint32_t(hash ^ (hash >> 32));
}

struct Builder {
    MountTree* tree;
    std::vector<std::string>* leftOut;
    size_t used = 0; // occupied slots

    // Room for every entry at once: each growth of these tables would copy
    // and fault in tens of megabytes again for a large pack.
    void Reserve(size_t entries)
    {
        // Unused room is never touched, so it costs address space only.
        tree->nodes.reserve(entries + entries / 8 + 16);
        tree->names.reserve(entries * 8);
        size_t slots = 1024;
        while (slots < entries * 2)
            slots *= 2;
        tree->slots.assign(slots, 0);
    }

    // At most half full, so that a search meets an empty slot soon.
    void Grow()
    {
        if ((used + 1) * 2 <= tree->slots.size())
            return;
        std::vector<uint64_t> old = std::move(tree->slots);
        tree->slots.assign(old.empty() ? 1024 : old.size() * 2, 0);
        const size_t mask = tree->slots.size() - 1;
        for (const uint64_t held : old) {
            if (held == 0)
                continue;
            size_t i = (held >> 32) & mask;
            while (tree->slots[i] != 0)
                i = (i + 1) & mask;
            tree->slots[i] = held;
        }
    }

    uint32_t Add(uint32_t parent, const std::string& name, uint32_t entry, bool isFolder, uint32_t size,
                 uint32_t offset)
    {
        Grow();
        MountNode node{};
        node.parent = parent;
        node.nameStart = uint32_t(tree->names.size());
        node.nameLength = uint16_t(name.size());
        node.entry = entry;
        node.isFolder = isFolder ? 1 : 0;
        node.size = size;
        node.offset = offset;
        tree->names += name;
        tree->nodes.push_back(node);
        const uint32_t index = uint32_t(tree->nodes.size() - 1);
        const uint32_t hash = HashOf(parent, name);
        tree->slots[tree->SlotOf(parent, name, hash)] = uint64_t(hash) << 32 | (index + 1);
        ++used;
        return index;
    }

    void LeaveOut(uint32_t index, std::string_view stored, const std::string& why)
    {
        leftOut->push_back("entry " + std::to_string(index) + " '" + NameToUtf8(stored, NameForm::Text) +
                           "' (name_hex " + HexBytes(stored) + "): left out: " + why);
    }

    // Why extract would not write this name, or "" with its parts.
    static std::string Refusal(std::string_view stored, std::vector<std::string>* parts)
    {
        std::string why;
        if (!EntryFileParts(stored, parts, &why))
            return why;
        for (const std::string& part : *parts) {
            // The kernel would never ask for a longer name.
            if (part.size() > LONGEST_PART_BYTES)
                return "a part of the name is longer than 255 bytes in UTF-8";
        }
        return "";
    }

    void AddEntry(uint32_t index, const StoredEntry& entry, std::vector<std::string>& parts)
    {
        const std::string_view stored(entry.name);
        const std::string why = Refusal(stored, &parts);
        if (!why.empty()) {
            LeaveOut(index, stored, why);
            return;
        }
        size_t nameBytes = 0;
        for (const std::string& part : parts)
            nameBytes += part.size();
        if (tree->names.size() + nameBytes > UINT32_MAX) {
            LeaveOut(index, stored, "more names than one mount holds (4 GiB)");
            return;
        }
        uint32_t folder = 0;
        for (size_t i = 0; i + 1 < parts.size(); ++i) {
            uint32_t next = tree->Child(folder, parts[i]);
            if (next == NO_NODE) {
                next = Add(folder, parts[i], index, true, 0, 0);
            } else if (!tree->nodes[next].isFolder) {
                LeaveOut(index, stored,
                         "folder part '" + parts[i] + "' is the file of entry " +
                             std::to_string(tree->nodes[next].entry));
                return;
            }
            folder = next;
        }
        const uint32_t taken = tree->Child(folder, parts.back());
        if (taken != NO_NODE) {
            const MountNode& node = tree->nodes[taken];
            LeaveOut(index, stored,
                     std::string(node.isFolder ? "the path is a folder of entry " : "same path as entry ") +
                         std::to_string(node.entry));
            return;
        }
        Add(folder, parts.back(), index, false, entry.size, entry.offset);
        tree->totalBytes += entry.size;
    }

    // Each folder's children side by side in the order they were made,
    // which is directory order: a counting sort by parent.
    void LayOutChildren()
    {
        std::vector<MountNode>& nodes = tree->nodes;
        for (size_t i = 1; i < nodes.size(); ++i) {
            MountNode& parent = nodes[nodes[i].parent];
            ++parent.size;
            if (nodes[i].isFolder)
                ++parent.folders;
        }
        uint32_t next = 0;
        for (MountNode& node : nodes) {
            if (node.isFolder) {
                node.offset = next;
                next += node.size;
                node.size = 0; // counts again while filled
            }
        }
        tree->children.assign(next, 0);
        for (uint32_t i = 1; i < nodes.size(); ++i) {
            MountNode& parent = nodes[nodes[i].parent];
            tree->children[parent.offset + parent.size++] = i;
        }
    }
};

} // namespace

size_t MountTree::SlotOf(uint32_t folder, std::string_view name, uint32_t hash) const
{
    const size_t mask = slots.size() - 1;
    for (size_t i = hash & mask;; i = (i + 1) & mask) {
        const uint64_t held = slots[i];
        if (held == 0)
            return i;
        if (uint32_t(held >> 32) != hash)
            continue;
        const MountNode& node = nodes[uint32_t(held) - 1];
        if (node.parent == folder && Name(node) == name)
            return i;
    }
}

uint32_t MountTree::Child(uint32_t folder, std::string_view name) const
{
    if (slots.empty())
        return NO_NODE;
    const uint64_t held = slots[SlotOf(folder, name, HashOf(folder, name))];
    return held == 0 ? NO_NODE : uint32_t(held) - 1;
}

void BuildMountTree(const PackFile& pack, MountTree* tree, std::vector<std::string>* leftOut)
{
    *tree = MountTree();
    Builder builder{tree, leftOut};
    const std::vector<StoredEntry>& entries = pack.Entries();
    builder.Reserve(entries.size());
    MountNode root{};
    root.isFolder = 1;
    // The root is found by its inode number, never by a name: not in slots.
    tree->nodes.push_back(root);
    std::vector<std::string> parts;
    for (uint32_t index = 0; index < entries.size(); ++index)
        builder.AddEntry(index, entries[index], parts);
    builder.LayOutChildren();
    tree->dataAreaStart = pack.DataAreaStart();
}

} // namespace cli
