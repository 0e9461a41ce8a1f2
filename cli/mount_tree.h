// The folders and files that `mount` shows: built once from the pack's
// directory when mounting, read-only afterwards. A node's inode number is
// its index + 1, so the root (index 0) is FUSE's root inode 1 and every
// number stays the same for as long as the pack is mounted.
#ifndef QUORVEL_CLI_MOUNT_TREE_H
#define QUORVEL_CLI_MOUNT_TREE_H

#include "cli/pack_file.h"

#include <cstdint>
#include <cstdlib>
#include <memory>
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

// Written only by MountTreeBuilder, before the file system serves
// anything; from then on every thread reads it without a lock.
struct MountTree {
    struct FreeSlots {
        void operator()(uint64_t* slots) const { std::free(slots); }
    };

    std::vector<MountNode> nodes;   // [0] is the root
    std::vector<uint32_t> children; // each folder's children, together, in directory order
    // Open-addressed table of (parent, name), a power of two long: the
    // key's hash in the high half, so that most probes never touch a node,
    // node index + 1 in the low half; 0 is an empty slot. From calloc, so
    // that a large table costs only the pages that entries land on.
    std::unique_ptr<uint64_t[], FreeSlots> slots;
    size_t slotCount = 0;
    std::string names;
    uint64_t totalBytes = 0;  // of the files shown
    uint64_t hashKey[2] = {}; // random, drawn for each tree

    std::string_view Name(const MountNode& node) const { return {names.data() + node.nameStart, node.nameLength}; }
    uint32_t Child(uint32_t folder, std::string_view name) const; // NO_NODE when absent
    uint32_t HashOf(uint32_t folder, std::string_view name) const;
    // The slot holding (folder, name), or the empty one where it belongs.
    size_t SlotOf(uint32_t folder, std::string_view name, uint32_t hash) const;
};

// Builds the tree of a pack's entries from its directory records as the
// pack is read, so that no copy of the directory is kept beside it. An
// entry that extract would refuse, or whose path an earlier entry already
// took, is left out, with one line in *leftOut.
class MountTreeBuilder : public RecordReceiver {
public:
    MountTreeBuilder(MountTree* tree, std::vector<std::string>* leftOut);
    void Expect(uint32_t declared) override;
    void Take(const DirectoryRecord& record) override;
    // Once every record is taken: each folder's children laid out.
    void Finish();

private:
    // A file waiting to be placed while the slot it will search is
    // fetched from memory: with a million entries nearly every search
    // misses the processor's caches, and a few searches under way at once
    // wait for memory together rather than one after the other.
    struct Waiting {
        uint32_t folder, hash, entry, size, offset;
        std::string name;   // UTF-8
        std::string stored; // for a message
    };
    static constexpr size_t WAITING = 8;

    bool AllocateSlots(size_t count);
    void Grow();
    // The node of (folder, name), or NO_NODE with *slot where it belongs.
    uint32_t Find(uint32_t folder, std::string_view name, uint32_t hash, size_t* slot);
    uint32_t Add(uint32_t parent, std::string_view name, size_t slot, uint32_t hash, bool isFolder, uint32_t entry,
                 uint32_t size, uint32_t offset);
    // Places the count oldest waiting files, in directory order.
    void PlaceWaiting(size_t count);
    void LeaveOut(uint32_t entry, std::string_view stored, const std::string& why);
    void LayOutChildren();

    MountTree* tree_;
    std::vector<std::string>* leftOut_;
    uint32_t index_ = 0; // of the next record
    size_t used_ = 0;    // occupied slots
    std::vector<std::string> parts_;
    Waiting waiting_[WAITING];
    size_t firstWaiting_ = 0, waitingCount_ = 0;
};

} // namespace cli

#endif
