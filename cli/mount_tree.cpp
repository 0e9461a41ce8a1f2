#include "cli/mount_tree.h"

#include "cli/entry_files.h"
#include "cli/names.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <random>
#include <sys/mman.h>

namespace cli {

namespace {

constexpr size_t FEWEST_SLOTS = 1024;
// The most entries that tables are sized for before any record is read.
// A count is checked only against the file's size, and a file with a hole
// may declare two thousand million entries it does not hold: a larger
// pack's tables grow as its records arrive.
constexpr uint32_t MOST_EXPECTED = 1u << 21;

uint64_t Rotate(uint64_t x, int bits)
{
    return (x << bits) | (x >> (64 - bits));
}

void SipRound(uint64_t* v)
{
    v[0] += v[1];
    v[1] = Rotate(v[1], 13) ^ v[0];
    v[0] = Rotate(v[0], 32);
    v[2] += v[3];
    v[3] = Rotate(v[3], 16) ^ v[2];
    v[0] += v[3];
    v[3] = Rotate(v[3], 21) ^ v[0];
    v[2] += v[1];
    v[1] = Rotate(v[1], 17) ^ v[2];
    v[2] = Rotate(v[2], 32);
}

// SipHash-1-3: without the key, no one can choose names that collide.
uint64_t KeyedHash(const uint64_t key[2], const unsigned char* bytes, size_t length)
{
    uint64_t v[4] = {0x736f6d6570736575ull ^ key[0], 0x646f72616e646f6dull ^ key[1], 0x6c7967656e657261ull ^ key[0],
                     0x7465646279746573ull ^ key[1]};
    const size_t whole = length & ~size_t(7);
    for (size_t i = 0; i < whole; i += 8) {
        uint64_t word = 0;
        for (size_t k = 0; k < 8; ++k)
            word |= uint64_t(bytes[i + k]) << (8 * k);
        v[3] ^= word;
        SipRound(v);
        v[0] ^= word;
    }
    uint64_t last = uint64_t(length) << 56;
    for (size_t i = whole; i < length; ++i)
        last |= uint64_t(bytes[i]) << (8 * (i - whole));
    v[3] ^= last;
    SipRound(v);
    v[0] ^= last;
    v[2] ^= 0xff;
    SipRound(v);
    SipRound(v);
    SipRound(v);
    return v[0] ^ v[1] ^ v[2] ^ v[3];
}

// Why extract would not write this name, or "" with its parts.
std::string Refusal(std::string_view stored, std::vector<std::string>* parts)
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

// Large tables on 2 MiB pages where the system gives them on request:
// a million entries would otherwise fault in some 15,000 small pages.
void PreferLargePages(const void* start, size_t bytes)
{
    constexpr uintptr_t LARGE = 2 * 1024 * 1024;
    const uintptr_t begin = (reinterpret_cast<uintptr_t>(start) + LARGE - 1) & ~(LARGE - 1);
    const uintptr_t end = (reinterpret_cast<uintptr_t>(start) + bytes) & ~(LARGE - 1);
    if (end > begin)
        ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

} // namespace

// Names of the pack are chosen by its author: with a hash anyone can
// compute, names that all land in one run of slots would make every
// search walk that run, and mounting take hours.
uint32_t MountTree::HashOf(uint32_t folder, std::string_view name) const
{
    unsigned char key[4 + LONGEST_PART_BYTES];
    const size_t length = std::min(name.size(), LONGEST_PART_BYTES);
    for (size_t k = 0; k < 4; ++k)
        key[k] = static_cast<unsigned char>(folder >> (8 * k));
    std::memcpy(key + 4, name.data(), length);
    const uint64_t hash = KeyedHash(hashKey, key, 4 + length);
    return uint32_t(hash ^ (hash >> 32));
}

size_t MountTree::SlotOf(uint32_t folder, std::string_view name, uint32_t hash) const
{
    const size_t mask = slotCount - 1;
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
    if (slotCount == 0)
        return NO_NODE;
    const uint64_t held = slots[SlotOf(folder, name, HashOf(folder, name))];
    return held == 0 ? NO_NODE : uint32_t(held) - 1;
}

MountTreeBuilder::MountTreeBuilder(MountTree* tree, std::vector<std::string>* leftOut) : tree_(tree), leftOut_(leftOut)
{
    *tree_ = MountTree();
    std::random_device random;
    for (uint64_t& word : tree_->hashKey)
        word = uint64_t(random()) << 32 | random();
    if (!AllocateSlots(FEWEST_SLOTS))
        throw std::bad_alloc();
    MountNode root{};
    root.isFolder = 1;
    // The root is found by its inode number, never by a name: not in slots.
    tree_->nodes.push_back(root);
}

void MountTreeBuilder::Expect(uint32_t declared)
{
    declared = std::min(declared, MOST_EXPECTED);
    // Room for every entry at once: each growth of these tables would copy
    // and fault in tens of megabytes again, and each growth of the slots
    // would place every entry again. The count is only a hint until the
    // directory has been read whole (a damaged pack is then refused):
    // room never used costs address space only, and room that cannot be
    // had is not taken.
    try {
        tree_->nodes.reserve(size_t(declared) + declared / 8 + 16);
        tree_->names.reserve(size_t(declared) * 8);
    } catch (const std::bad_alloc&) {}
    PreferLargePages(tree_->nodes.data(), tree_->nodes.capacity() * sizeof(MountNode));
    PreferLargePages(tree_->names.data(), tree_->names.capacity());
    size_t count = FEWEST_SLOTS;
    while (count < size_t(declared) * 2)
        count *= 2;
    if (used_ == 0 && count > tree_->slotCount)
        AllocateSlots(count);
}

bool MountTreeBuilder::AllocateSlots(size_t count)
{
    auto* slots = static_cast<uint64_t*>(std::calloc(count, sizeof(uint64_t)));
    if (slots == nullptr)
        return false;
    PreferLargePages(slots, count * sizeof(uint64_t));
    tree_->slots.reset(slots);
    tree_->slotCount = count;
    return true;
}

// At most half full, so that a search meets an empty slot soon.
void MountTreeBuilder::Grow()
{
    if ((used_ + 1) * 2 <= tree_->slotCount)
        return;
    std::unique_ptr<uint64_t[], MountTree::FreeSlots> old = std::move(tree_->slots);
    const size_t oldCount = tree_->slotCount;
    if (!AllocateSlots(oldCount * 2))
        throw std::bad_alloc();
    const size_t mask = tree_->slotCount - 1;
    for (size_t k = 0; k < oldCount; ++k) {
        const uint64_t held = old[k];
        if (held == 0)
            continue;
        size_t i = (held >> 32) & mask;
        while (tree_->slots[i] != 0)
            i = (i + 1) & mask;
        tree_->slots[i] = held;
    }
}

uint32_t MountTreeBuilder::Find(uint32_t folder, std::string_view name, uint32_t hash, size_t* slot)
{
    Grow();
    *slot = tree_->SlotOf(folder, name, hash);
    const uint64_t held = tree_->slots[*slot];
    return held == 0 ? NO_NODE : uint32_t(held) - 1;
}

uint32_t MountTreeBuilder::Add(uint32_t parent, std::string_view name, size_t slot, uint32_t hash, bool isFolder,
                               uint32_t entry, uint32_t size, uint32_t offset)
{
    MountNode node{};
    node.parent = parent;
    node.nameStart = uint32_t(tree_->names.size());
    node.nameLength = uint16_t(name.size());
    node.entry = entry;
    node.isFolder = isFolder ? 1 : 0;
    node.size = size;
    node.offset = offset;
    tree_->names += name;
    tree_->nodes.push_back(node);
    const uint32_t index = uint32_t(tree_->nodes.size() - 1);
    tree_->slots[slot] = uint64_t(hash) << 32 | (index + 1);
    ++used_;
    return index;
}

void MountTreeBuilder::LeaveOut(uint32_t entry, std::string_view stored, const std::string& why)
{
    leftOut_->push_back(EntryLabelWithBytes(entry, stored) + ": left out: " + why);
}

void MountTreeBuilder::PlaceWaiting(size_t count)
{
    for (; count > 0; --count) {
        const Waiting& file = waiting_[firstWaiting_];
        firstWaiting_ = (firstWaiting_ + 1) % WAITING;
        --waitingCount_;
        size_t slot = 0;
        const uint32_t taken = Find(file.folder, file.name, file.hash, &slot);
        if (taken == NO_NODE) {
            Add(file.folder, file.name, slot, file.hash, false, file.entry, file.size, file.offset);
            tree_->totalBytes += file.size;
        } else {
            const MountNode& node = tree_->nodes[taken];
            LeaveOut(file.entry, file.stored,
                     std::string(node.isFolder ? "the path is a folder of entry " : "same path as entry ") +
                         std::to_string(node.entry));
        }
    }
}

void MountTreeBuilder::Take(const DirectoryRecord& record)
{
    const uint32_t entry = index_++;
    const std::string_view stored(record.name, record.nameLength);
    std::string why = Refusal(stored, &parts_);
    if (why.empty()) {
        size_t nameBytes = 0;
        for (const std::string& part : parts_)
            nameBytes += part.size();
        if (tree_->names.size() + nameBytes > UINT32_MAX)
            why = "more names than one mount holds (4 GiB)";
    }
    if (!why.empty()) {
        // The waiting files first: the report stays in directory order.
        PlaceWaiting(waitingCount_);
        LeaveOut(entry, stored, why);
        return;
    }
    uint32_t folder = 0;
    for (size_t i = 0; i + 1 < parts_.size(); ++i) {
        const uint32_t hash = tree_->HashOf(folder, parts_[i]);
        size_t slot = 0;
        uint32_t found = Find(folder, parts_[i], hash, &slot);
        if (found == NO_NODE && waitingCount_ > 0) {
            // A waiting file may have this name, and its entry comes first.
            PlaceWaiting(waitingCount_);
            found = Find(folder, parts_[i], hash, &slot);
        }
        if (found == NO_NODE) {
            found = Add(folder, parts_[i], slot, hash, true, entry, 0, 0);
        } else if (!tree_->nodes[found].isFolder) {
            PlaceWaiting(waitingCount_);
            LeaveOut(entry, stored,
                     "folder part '" + parts_[i] + "' is the file of entry " +
                         std::to_string(tree_->nodes[found].entry));
            return;
        }
        folder = found;
    }
    if (waitingCount_ == WAITING)
        PlaceWaiting(1);
    Waiting& file = waiting_[(firstWaiting_ + waitingCount_) % WAITING];
    ++waitingCount_;
    file.folder = folder;
    file.hash = tree_->HashOf(folder, parts_.back());
    file.entry = entry;
    file.size = record.size;
    file.offset = record.offset;
    file.name.assign(parts_.back());
    file.stored.assign(stored);
    __builtin_prefetch(&tree_->slots[file.hash & (tree_->slotCount - 1)]);
}

void MountTreeBuilder::Finish()
{
    PlaceWaiting(waitingCount_);
    LayOutChildren();
}

// Each folder's children side by side in the order they were made, which
// is directory order: a counting sort by parent.
void MountTreeBuilder::LayOutChildren()
{
    std::vector<MountNode>& nodes = tree_->nodes;
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
    tree_->children.assign(next, 0);
    for (uint32_t i = 1; i < nodes.size(); ++i) {
        MountNode& parent = nodes[nodes[i].parent];
        tree_->children[parent.offset + parent.size++] = i;
    }
}

} // namespace cli
