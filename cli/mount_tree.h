// The folders and files that `mount` shows: built once from the pack's
// directory when mounting, read-only afterwards. A node's inode number is
// its index + 1, so the root (index 0) is FUSE's root inode 1 and every
// number stays the same for as long as the pack is mounted.
#ifndef QUORVEL_CLI_MOUNT_TREE_H
#define QUORVEL_CLI_MOUNT_TREE_H

#include "cli/pack_file.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace cli {

constexpr uint32_t NO_NODE = UINT32_MAX;

// 28 bytes a node; its name lives in MountTree::names.
struct MountNode {
    uint32_t parent;    // the folder holding it; the root is its own parent
    uint32_t nameStart; // into MountTree::names (UTF-8, as extract writes it)
    uint32_t entry;     // the directory index that made it (a folder: its first entry)
    uint32_t size;      // file: the entry's size; folder: number of children
    uint32_t offset;    // file: from the start of the data area; folder: first slot in children
    uint32_t folders;   // folder: how many of its children are folders
    uint16_t nameLength;
    uint16_t isFolder;
};

// Written only by BuildMountTree, before the file system serves anything;
// from then on every thread reads it without a lock.
struct MountTree {
    std::vector<MountNode> nodes;   // [0] is the root
    std::vector<uint32_t> children; // each folder's children, together, in directory order
    // Open-addressed table of (parent, name): the key's hash in the high
    // half, so that most probes never touch a node, node index + 1 in the
    // low half; 0 is an empty slot.
    std::vector<uint64_t> slots;
    std::string names;
    uint64_t dataAreaStart = 0;
    uint64_t totalBytes = 0; // of the files shown

    std::string_view Name(const MountNode& node) const { return {names.data() + node.nameStart, node.nameLength}; }
    uint32_t Child(uint32_t folder, std::string_view name) const; // NO_NODE when absent
    // The slot holding (folder, name), or the empty one where it belongs.
    size_t SlotOf(uint32_t folder, std::string_view name, uint32_t hash) const;
};

// The tree of an opened pack's entries. An entry that extract would refuse,
// or whose path an earlier entry already took, is left out, with one line
// in *leftOut.
void BuildMountTree(const PackFile& pack, MountTree* tree, std::vector<std::string>* leftOut);

} // namespace cli

#endif
