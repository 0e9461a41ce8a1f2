// Checks the compiled help file quorvel.chm that the program opens from its
// Help menu: the file's directory must hold every topic page, the table of
// contents and the index, the help file must open at the introduction in
// Japanese, and its directory must hang together. Damaged and foreign files
// must be refused by the reader, so that a broken build cannot pass.
//
// The help file is named by the first command-line argument left over after
// GoogleTest's own flags, or else by the environment variable QUORVEL_CHM.
//
// The reader covers only the container's directory: the ITSF file header,
// the ITSP directory header and the PMGL listing chunks. Pages stored in the
// compressed content section are checked by their directory entries alone
// (no decompression); entries of the uncompressed section are read.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

// Set by main from the command line or QUORVEL_CHM.
std::string g_chmPath;

// ---------------------------------------------------------------------------
// Directory reader

constexpr std::uint64_t ITSF_V2_HEADER_BYTES = 0x58;
constexpr std::uint64_t ITSF_V3_HEADER_BYTES = 0x60;
constexpr std::uint64_t ITSP_MIN_HEADER_BYTES = 0x54;
constexpr std::uint64_t PMGL_HEADER_BYTES = 0x14;
constexpr std::uint64_t NO_CHUNK = 0xFFFFFFFF;

struct ChmEntry {
    std::string name;
    std::uint64_t section = 0; // 0: stored as is, 1: compressed
    std::uint64_t offset = 0;  // within its content section
    std::uint64_t length = 0;  // bytes of the entry, uncompressed
};

struct ChmFile {
    Bytes bytes;
    std::uint32_t languageId = 0;           // from the ITSF header
    std::uint64_t contentSection0Start = 0; // file position of section 0
    std::vector<ChmEntry> entries;          // in directory order
};

// Reads little-endian numbers at given positions; any read beyond the end
// only sets the failed flag, so that callers test once after a group.
class ByteView {
public:
    explicit ByteView(const Bytes& bytes) : bytes_(bytes) {}

    bool Has(std::uint64_t pos, std::uint64_t count) const
    {
        return pos <= bytes_.size() && count <= bytes_.size() - pos;
    }
    std::uint64_t Number(std::uint64_t pos, int width)
    {
        if (!Has(pos, static_cast<std::uint64_t>(width))) {
            failed_ = true;
            return 0;
        }
        std::uint64_t value = 0;
        for (int i = width - 1; i >= 0; --i)
            value = (value << 8) | bytes_[pos + i];
        return value;
    }
    std::uint32_t U32(std::uint64_t pos) { return static_cast<std::uint32_t>(Number(pos, 4)); }
    std::uint64_t U64(std::uint64_t pos) { return Number(pos, 8); }
    bool Tag(std::uint64_t pos, const char (&tag)[5]) const
    {
        if (!Has(pos, 4))
            return false;
        for (int i = 0; i < 4; ++i)
            if (bytes_[pos + i] != static_cast<std::uint8_t>(tag[i]))
                return false;
        return true;
    }
    bool Failed() const { return failed_; }

private:
    const Bytes& bytes_;
    bool failed_ = false;
};

// ENCINT: 7 bits per byte, most significant group first, the high bit set on
// every byte but the last. Reads from pos up to (not including) end.
bool ReadEncInt(const Bytes& bytes, std::uint64_t& pos, std::uint64_t end, std::uint64_t& value)
{
    value = 0;
    while (pos < end && pos < bytes.size()) {
        std::uint8_t b = bytes[pos++];
        if (value > (UINT64_MAX >> 7))
            return false;
        value = (value << 7) | (b & 0x7F);
        if ((b & 0x80) == 0)
            return true;
    }
    return false;
}

bool Fail(std::string& error, std::string reason)
{
    error = std::move(reason);
    return false;
}

// Where the directory lies, from the file header.
struct DirectoryPlace {
    std::uint64_t start = 0;
    std::uint64_t bytes = 0;
};

// The file header: its version, the file's own length and where the
// directory and the first content section lie.
bool ReadFileHeader(ChmFile& file, ByteView& view, DirectoryPlace& dir, std::string& error)
{
    const std::uint64_t fileBytes = file.bytes.size();
    if (!view.Tag(0, "ITSF"))
        return Fail(error, "no ITSF signature");
    std::uint32_t version = view.U32(4);
    std::uint64_t headerBytes = view.U32(8);
    if (view.Failed())
        return Fail(error, "file header cut short");
    if (version != 2 && version != 3)
        return Fail(error, "unknown ITSF version " + std::to_string(version));
    const std::uint64_t neededHeaderBytes = version == 3 ? ITSF_V3_HEADER_BYTES : ITSF_V2_HEADER_BYTES;
    if (headerBytes < neededHeaderBytes || !view.Has(0, headerBytes))
        return Fail(error, "file header cut short");
    file.languageId = view.U32(0x14);
    std::uint64_t sizeInfoStart = view.U64(0x38);
    std::uint64_t sizeInfoBytes = view.U64(0x40);
    dir.start = view.U64(0x48);
    dir.bytes = view.U64(0x50);
    file.contentSection0Start = version == 3 ? view.U64(0x58) : dir.start + dir.bytes;
    if (view.Failed())
        return Fail(error, "file header cut short");

    // The first header section records the file's own length: a file cut
    // anywhere, even in its last content byte, no longer matches it.
    if (sizeInfoBytes >= 16) {
        if (!view.Has(sizeInfoStart, 16))
            return Fail(error, "size record outside the file");
        if (view.U64(sizeInfoStart + 8) != fileBytes)
            return Fail(error, "file length differs from the length in its header");
    }
    return true;
}

// The entries of one listing chunk, from pos up to (not including) end.
bool ReadListingEntries(ChmFile& file, std::uint64_t chunk, std::uint64_t pos, std::uint64_t end, std::string& error)
{
    const Bytes& bytes = file.bytes;
    const std::uint64_t fileBytes = bytes.size();
    while (pos < end) {
        ChmEntry entry;
        std::uint64_t nameBytes = 0;
        if (!ReadEncInt(bytes, pos, end, nameBytes) || nameBytes == 0 || nameBytes > end - pos)
            return Fail(error, "damaged entry name in listing chunk " + std::to_string(chunk));
        entry.name.assign(bytes.begin() + static_cast<std::ptrdiff_t>(pos),
                          bytes.begin() + static_cast<std::ptrdiff_t>(pos + nameBytes));
        pos += nameBytes;
        if (!ReadEncInt(bytes, pos, end, entry.section) || !ReadEncInt(bytes, pos, end, entry.offset) ||
            !ReadEncInt(bytes, pos, end, entry.length))
            return Fail(error, "damaged entry " + entry.name);
        if (entry.section > 1)
            return Fail(error, "entry " + entry.name + " in unknown section");
        if (entry.section == 0) {
            const std::uint64_t start = file.contentSection0Start;
            if (start > fileBytes || entry.offset > fileBytes - start ||
                entry.length > fileBytes - start - entry.offset)
                return Fail(error, "entry " + entry.name + " reaches past the end of the file");
        }
        file.entries.push_back(std::move(entry));
    }
    return true;
}

// Parses the directory of a whole .chm held in file.bytes. On failure
// returns false with a reason in error.
bool ReadChmDirectory(ChmFile& file, std::string& error)
{
    ByteView view(file.bytes);
    DirectoryPlace dir;
    if (!ReadFileHeader(file, view, dir, error))
        return false;

    if (!view.Has(dir.start, dir.bytes))
        return Fail(error, "directory outside the file");
    if (!view.Tag(dir.start, "ITSP"))
        return Fail(error, "no ITSP directory header");
    std::uint64_t dirHeaderBytes = view.U32(dir.start + 0x08);
    std::uint64_t chunkBytes = view.U32(dir.start + 0x10);
    std::uint64_t firstListChunk = view.U32(dir.start + 0x20);
    std::uint64_t lastListChunk = view.U32(dir.start + 0x24);
    std::uint64_t chunkCount = view.U32(dir.start + 0x2C);
    if (view.Failed())
        return Fail(error, "directory header cut short");
    if (dirHeaderBytes < ITSP_MIN_HEADER_BYTES || chunkBytes <= PMGL_HEADER_BYTES || chunkCount == 0)
        return Fail(error, "implausible directory header");
    if (chunkCount > (dir.bytes - std::min(dir.bytes, dirHeaderBytes)) / chunkBytes)
        return Fail(error, "directory chunks run past the directory");

    // Walk the listing chunks along their next links; a chain longer than
    // the chunk count has a loop.
    std::uint64_t chunk = firstListChunk;
    std::uint64_t walked = 0;
    std::uint64_t lastSeen = NO_CHUNK;
    while (chunk != NO_CHUNK) {
        if (chunk >= chunkCount)
            return Fail(error, "listing chunk number out of range");
        if (++walked > chunkCount)
            return Fail(error, "listing chunks form a loop");
        const std::uint64_t chunkStart = dir.start + dirHeaderBytes + chunk * chunkBytes;
        if (!view.Tag(chunkStart, "PMGL"))
            return Fail(error, "listing chunk without PMGL signature");
        std::uint64_t freeBytes = view.U32(chunkStart + 0x04);
        std::uint64_t nextChunk = view.U32(chunkStart + 0x10);
        if (view.Failed())
            return Fail(error, "listing chunk cut short");
        if (freeBytes > chunkBytes - PMGL_HEADER_BYTES)
            return Fail(error, "listing chunk free space too large");
        if (!ReadListingEntries(file, chunk, chunkStart + PMGL_HEADER_BYTES, chunkStart + chunkBytes - freeBytes,
                                error))
            return false;
        lastSeen = chunk;
        chunk = nextChunk;
    }
    if (lastSeen != lastListChunk)
        return Fail(error, "listing chain does not end at the last listing chunk");
    return true;
}

bool ReadWholeFile(const std::string& path, Bytes& bytes)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

bool LoadChm(const std::string& path, ChmFile& file, std::string& error)
{
    file = ChmFile{};
    if (!ReadWholeFile(path, file.bytes))
        return Fail(error, "cannot read " + path);
    return ReadChmDirectory(file, error);
}

const ChmEntry* FindEntry(const ChmFile& file, const std::string& name)
{
    for (const ChmEntry& entry : file.entries)
        if (entry.name == name)
            return &entry;
    return nullptr;
}

// Bytes of an entry of the uncompressed section 0 (already bounds-checked).
Bytes Section0Bytes(const ChmFile& file, const ChmEntry& entry)
{
    auto first = file.bytes.begin() + static_cast<std::ptrdiff_t>(file.contentSection0Start + entry.offset);
    return Bytes(first, first + static_cast<std::ptrdiff_t>(entry.length));
}

// The #SYSTEM file: a version number, then records of a 16-bit code, a
// 16-bit length and that many bytes.
bool ReadSystemRecords(const Bytes& system, std::map<unsigned, Bytes>& records)
{
    ByteView view(system);
    std::uint64_t pos = 4;
    if (!view.Has(0, pos))
        return false;
    while (pos < system.size()) {
        unsigned code = static_cast<unsigned>(view.Number(pos, 2));
        std::uint64_t length = view.Number(pos + 2, 2);
        if (view.Failed() || !view.Has(pos + 4, length))
            return false;
        auto first = system.begin() + static_cast<std::ptrdiff_t>(pos + 4);
        records[code] = Bytes(first, first + static_cast<std::ptrdiff_t>(length));
        pos += 4 + length;
    }
    return true;
}

std::string RecordText(const std::map<unsigned, Bytes>& records, unsigned code)
{
    auto it = records.find(code);
    if (it == records.end())
        return "(missing)";
    std::string text(it->second.begin(), it->second.end());
    return text.substr(0, text.find('\0'));
}

// ---------------------------------------------------------------------------
// A small .chm built by hand, to test the reader on known values: an ITSF
// version 3 header, the size record, an ITSP header and one PMGL chunk per
// element of chunks, linked in order, followed by section 0 content.

void PutNumber(Bytes& out, std::uint64_t pos, std::uint64_t value, int width)
{
    for (int i = 0; i < width; ++i)
        out[pos + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

void PutTag(Bytes& out, std::uint64_t pos, const char (&tag)[5])
{
    for (int i = 0; i < 4; ++i)
        out[pos + i] = static_cast<std::uint8_t>(tag[i]);
}

void AppendEncInt(Bytes& out, std::uint64_t value)
{
    Bytes groups{static_cast<std::uint8_t>(value & 0x7F)};
    while ((value >>= 7) != 0)
        groups.insert(groups.begin(), static_cast<std::uint8_t>(0x80 | (value & 0x7F)));
    out.insert(out.end(), groups.begin(), groups.end());
}

Bytes BuildChm(const std::vector<std::vector<ChmEntry>>& chunks, const Bytes& content)
{
    constexpr std::uint64_t chunkBytes = 256;
    constexpr std::uint64_t dirStart = ITSF_V3_HEADER_BYTES + 0x18;
    const std::uint64_t dirBytes = ITSP_MIN_HEADER_BYTES + chunks.size() * chunkBytes;
    const std::uint64_t contentStart = dirStart + dirBytes;
    Bytes out(contentStart, 0);

    PutTag(out, 0, "ITSF");
    PutNumber(out, 0x04, 3, 4);
    PutNumber(out, 0x08, ITSF_V3_HEADER_BYTES, 4);
    PutNumber(out, 0x14, 0x411, 4);
    PutNumber(out, 0x38, ITSF_V3_HEADER_BYTES, 8);
    PutNumber(out, 0x40, 0x18, 8);
    PutNumber(out, 0x48, dirStart, 8);
    PutNumber(out, 0x50, dirBytes, 8);
    PutNumber(out, 0x58, contentStart, 8);
    PutNumber(out, ITSF_V3_HEADER_BYTES, 0x1FE, 4);
    PutNumber(out, ITSF_V3_HEADER_BYTES + 8, contentStart + content.size(), 8);

    PutTag(out, dirStart, "ITSP");
    PutNumber(out, dirStart + 0x04, 1, 4);
    PutNumber(out, dirStart + 0x08, ITSP_MIN_HEADER_BYTES, 4);
    PutNumber(out, dirStart + 0x10, chunkBytes, 4);
    PutNumber(out, dirStart + 0x1C, NO_CHUNK, 4);
    PutNumber(out, dirStart + 0x20, 0, 4);
    PutNumber(out, dirStart + 0x24, chunks.size() - 1, 4);
    PutNumber(out, dirStart + 0x2C, chunks.size(), 4);

    for (std::uint64_t i = 0; i < chunks.size(); ++i) {
        Bytes listing;
        for (const ChmEntry& entry : chunks[i]) {
            AppendEncInt(listing, entry.name.size());
            listing.insert(listing.end(), entry.name.begin(), entry.name.end());
            AppendEncInt(listing, entry.section);
            AppendEncInt(listing, entry.offset);
            AppendEncInt(listing, entry.length);
        }
        const std::uint64_t chunkStart = dirStart + ITSP_MIN_HEADER_BYTES + i * chunkBytes;
        PutTag(out, chunkStart, "PMGL");
        PutNumber(out, chunkStart + 0x04, chunkBytes - PMGL_HEADER_BYTES - listing.size(), 4);
        PutNumber(out, chunkStart + 0x0C, i == 0 ? NO_CHUNK : i - 1, 4);
        PutNumber(out, chunkStart + 0x10, i + 1 == chunks.size() ? NO_CHUNK : i + 1, 4);
        std::copy(listing.begin(), listing.end(),
                  out.begin() + static_cast<std::ptrdiff_t>(chunkStart + PMGL_HEADER_BYTES));
    }
    out.insert(out.end(), content.begin(), content.end());
    return out;
}

// ---------------------------------------------------------------------------
// Reader tests on known values

struct EncIntCase {
    Bytes encoded;
    bool valid;
    std::uint64_t value;
};

TEST(ChmDirectoryReader, DecodesEncodedIntegers)
{
    const EncIntCase cases[] = {
        {{0x00}, true, 0},
        {{0x7F}, true, 127},
        {{0x81, 0x00}, true, 128},
        {{0x82, 0x2C}, true, 300},
        {{0x81, 0x80, 0x00}, true, 16384},
        {{0x8F, 0xFF, 0xFF, 0xFF, 0x7F}, true, 0xFFFFFFFFu},
        {{0x81, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F}, true, UINT64_MAX},
        {{}, false, 0},
        {{0x80}, false, 0},
        {{0x81, 0x80}, false, 0},
        {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F}, false, 0},
    };
    for (const EncIntCase& c : cases) {
        std::uint64_t pos = 0;
        std::uint64_t value = 0;
        bool ok = ReadEncInt(c.encoded, pos, c.encoded.size(), value);
        EXPECT_EQ(ok, c.valid) << "encoding of " << c.encoded.size() << " bytes, expected " << c.value;
        if (ok && c.valid) {
            EXPECT_EQ(value, c.value);
            EXPECT_EQ(pos, c.encoded.size()) << "must consume exactly the encoding";
        }
    }
}

TEST(ChmDirectoryReader, ListsEntriesOfEveryChunkInOrder)
{
    const Bytes content = {'a', 'b', 'c', 'd', 'e'};
    const std::vector<std::vector<ChmEntry>> chunks = {
        {{"/", 0, 0, 0}, {"/#SYSTEM", 0, 1, 4}},
        {{"/page.html", 1, 300, 16384}},
        {{"/\xE3\x83\x98.css", 0, 0, 5}},
    };
    ChmFile file;
    file.bytes = BuildChm(chunks, content);
    std::string error;
    ASSERT_TRUE(ReadChmDirectory(file, error)) << error;

    EXPECT_EQ(file.languageId, 0x411u);
    const std::vector<ChmEntry> expected = {chunks[0][0], chunks[0][1], chunks[1][0], chunks[2][0]};
    ASSERT_EQ(file.entries.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(file.entries[i].name, expected[i].name);
        EXPECT_EQ(file.entries[i].section, expected[i].section) << expected[i].name;
        EXPECT_EQ(file.entries[i].offset, expected[i].offset) << expected[i].name;
        EXPECT_EQ(file.entries[i].length, expected[i].length) << expected[i].name;
    }
    EXPECT_EQ(Section0Bytes(file, file.entries[1]), (Bytes{'b', 'c', 'd', 'e'}));
}

TEST(ChmDirectoryReader, RefusesSection0EntryPastTheEndOfTheFile)
{
    ChmFile file;
    file.bytes = BuildChm({{{"/big", 0, 2, 4}}}, Bytes{'x', 'y', 'z'});
    std::string error;
    EXPECT_FALSE(ReadChmDirectory(file, error));
    EXPECT_NE(error.find("past the end"), std::string::npos) << error;
}

// ---------------------------------------------------------------------------
// The built help file

// Every page of the help and the files that the viewer's navigation needs.
const char* const HELP_FILES[] = {
    "/intro.html", "/open.html",     "/extract.html", "/preview.html", "/copynames.html",
    "/keys.html",  "/messages.html", "/quorvel.css",  "/quorvel.hhc",  "/quorvel.hhk",
};

constexpr unsigned SYSTEM_CONTENTS_FILE = 0;
constexpr unsigned SYSTEM_INDEX_FILE = 1;
constexpr unsigned SYSTEM_DEFAULT_TOPIC = 2;
constexpr unsigned SYSTEM_TITLE = 3;
constexpr unsigned SYSTEM_LANGUAGE = 4;
constexpr unsigned SYSTEM_DEFAULT_WINDOW = 5;
constexpr std::uint32_t JAPANESE_LANGUAGE_ID = 0x411;

const char* const RESET_TABLE_NAME =
    "::DataSpace/Storage/MSCompressed/Transform/{7FC28940-9D31-11D0-9B27-00A0C91E9C7C}/InstanceData/ResetTable";
const char* const COMPRESSED_CONTENT_NAME = "::DataSpace/Storage/MSCompressed/Content";

class HelpFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(g_chmPath.empty()) << "no help file given: pass its path as the first argument "
                                           "or set QUORVEL_CHM";
        std::string error;
        ASSERT_TRUE(LoadChm(g_chmPath, chm_, error)) << g_chmPath << ": " << error;
    }

    // Bytes of a section 0 entry that must exist.
    Bytes Section0File(const char* name)
    {
        const ChmEntry* entry = FindEntry(chm_, name);
        if (entry == nullptr || entry->section != 0) {
            ADD_FAILURE() << name << " is missing or not in the uncompressed section";
            return {};
        }
        return Section0Bytes(chm_, *entry);
    }

    ChmFile chm_;
};

TEST_F(HelpFile, ListsEveryTopicAndTheNavigationFiles)
{
    for (const char* name : HELP_FILES) {
        const ChmEntry* entry = FindEntry(chm_, name);
        ASSERT_NE(entry, nullptr) << name << " is not in the help file";
        EXPECT_GT(entry->length, 0u) << name << " is empty";
        if (entry->section == 0) {
            Bytes content = Section0Bytes(chm_, *entry);
            EXPECT_NE(std::count(content.begin(), content.end(), 0), static_cast<std::ptrdiff_t>(content.size()))
                << name << " holds only zero bytes";
        }
    }
}

TEST_F(HelpFile, OpensAtTheIntroductionInJapanese)
{
    EXPECT_EQ(chm_.languageId, JAPANESE_LANGUAGE_ID);

    std::map<unsigned, Bytes> records;
    ASSERT_TRUE(ReadSystemRecords(Section0File("/#SYSTEM"), records)) << "damaged #SYSTEM file";
    EXPECT_EQ(RecordText(records, SYSTEM_DEFAULT_TOPIC), "intro.html");
    EXPECT_EQ(RecordText(records, SYSTEM_CONTENTS_FILE), "quorvel.hhc");
    EXPECT_EQ(RecordText(records, SYSTEM_INDEX_FILE), "quorvel.hhk");
    const std::string title = RecordText(records, SYSTEM_TITLE);
    EXPECT_TRUE(title.starts_with("quorvel")) << "title: " << title;

    ASSERT_TRUE(records.count(SYSTEM_LANGUAGE)) << "#SYSTEM has no language record";
    ByteView language(records[SYSTEM_LANGUAGE]);
    EXPECT_EQ(language.U32(0), JAPANESE_LANGUAGE_ID);
    EXPECT_FALSE(language.Failed());

    // The viewer's window with its contents and index panes is named in
    // #SYSTEM and defined in #WINDOWS.
    EXPECT_TRUE(records.count(SYSTEM_DEFAULT_WINDOW)) << "no default window";
    EXPECT_NE(FindEntry(chm_, "/#WINDOWS"), nullptr) << "the default window is not defined";
}

TEST_F(HelpFile, CompressedEntriesLieInsideTheCompressedContent)
{
    // Reset table: version, block count, entry size, header size, then the
    // uncompressed and compressed lengths of the compressed section.
    Bytes resetTable = Section0File(RESET_TABLE_NAME);
    ByteView view(resetTable);
    const std::uint64_t uncompressedBytes = view.U64(0x10);
    const std::uint64_t compressedBytes = view.U64(0x18);
    ASSERT_FALSE(view.Failed()) << "reset table cut short";

    const ChmEntry* content = FindEntry(chm_, COMPRESSED_CONTENT_NAME);
    ASSERT_NE(content, nullptr) << "no compressed content";
    EXPECT_EQ(content->section, 0u);
    EXPECT_EQ(content->length, compressedBytes);

    int compressedEntries = 0;
    for (const ChmEntry& entry : chm_.entries) {
        if (entry.section != 1)
            continue;
        ++compressedEntries;
        EXPECT_LE(entry.offset, uncompressedBytes) << entry.name;
        EXPECT_LE(entry.length, uncompressedBytes - std::min(entry.offset, uncompressedBytes)) << entry.name;
    }
    EXPECT_GT(compressedEntries, 0);
}

// ---------------------------------------------------------------------------
// Damaged and foreign files, written to a temporary folder and read back

class TemporaryFolder {
public:
    TemporaryFolder()
    {
        const auto base = std::filesystem::temp_directory_path();
        std::random_device random;
        for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
            auto candidate = base / ("quorvel-chm-test-" + std::to_string(random()));
            std::error_code ec;
            if (std::filesystem::create_directory(candidate, ec))
                path_ = candidate;
        }
    }
    ~TemporaryFolder()
    {
        std::error_code ec;
        if (!path_.empty())
            std::filesystem::remove_all(path_, ec);
    }
    TemporaryFolder(const TemporaryFolder&) = delete;
    TemporaryFolder& operator=(const TemporaryFolder&) = delete;

    const std::filesystem::path& Path() const { return path_; }

    std::string Write(const std::string& name, const Bytes& bytes) const
    {
        const auto file = path_ / name;
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        return out ? file.string() : std::string();
    }

private:
    std::filesystem::path path_;
};

struct Damage {
    const char* name;
    Bytes bytes;
};

Bytes Truncated(const Bytes& bytes, std::uint64_t length)
{
    return Bytes(bytes.begin(),
                 bytes.begin() + static_cast<std::ptrdiff_t>(std::min<std::uint64_t>(length, bytes.size())));
}

Bytes Patched(Bytes bytes, std::uint64_t pos, const Bytes& patch)
{
    std::copy(patch.begin(), patch.end(), bytes.begin() + static_cast<std::ptrdiff_t>(pos));
    return bytes;
}

TEST_F(HelpFile, ReaderRefusesTruncatedAndForeignFiles)
{
    const Bytes& good = chm_.bytes;
    ByteView view(good);
    const std::uint64_t dirStart = view.U64(0x48);
    const std::uint64_t dirHeaderBytes = view.U32(dirStart + 0x08);
    const std::uint64_t firstChunk = dirStart + dirHeaderBytes + view.U32(dirStart + 0x20) * view.U32(dirStart + 0x10);
    const std::uint64_t chunkBytes = view.U32(dirStart + 0x10);
    ASSERT_FALSE(view.Failed());
    ASSERT_LT(firstChunk + chunkBytes, good.size());
    const std::string text = "<html><body>not a help file</body></html>\n";

    const Damage damages[] = {
        {"empty.chm", {}},
        {"text.chm", Bytes(text.begin(), text.end())},
        {"inside_file_header.chm", Truncated(good, 10)},
        {"inside_directory.chm", Truncated(good, dirStart + 100)},
        {"half.chm", Truncated(good, good.size() / 2)},
        {"last_byte_missing.chm", Truncated(good, good.size() - 1)},
        {"no_directory_header.chm", Patched(good, dirStart, {'X', 'X', 'X', 'X'})},
        {"no_listing_chunk.chm", Patched(good, firstChunk, {'X', 'X', 'X', 'X'})},
        {"listing_loop.chm", Patched(good, firstChunk + 0x10, {0, 0, 0, 0})},
        {"free_space_too_large.chm", Patched(good, firstChunk + 0x04, {0xFF, 0xFF, 0, 0})},
    };

    TemporaryFolder folder;
    ASSERT_FALSE(folder.Path().empty()) << "cannot create a temporary folder";
    for (const Damage& damage : damages) {
        const std::string path = folder.Write(damage.name, damage.bytes);
        ASSERT_FALSE(path.empty()) << "cannot write " << damage.name;
        ChmFile file;
        std::string error;
        EXPECT_FALSE(LoadChm(path, file, error)) << damage.name << " was read as a help file";
        EXPECT_FALSE(error.empty()) << damage.name << " was refused without a reason";
    }

    // The untouched bytes, written the same way, are still read: the refusals
    // above come from the damage, not from the round trip through the folder.
    ChmFile copy;
    std::string error;
    EXPECT_TRUE(LoadChm(folder.Write("intact.chm", good), copy, error)) << error;
    EXPECT_EQ(copy.entries.size(), chm_.entries.size());
}

TEST(HelpFileReader, RefusesAMissingFile)
{
    ChmFile file;
    std::string error;
    EXPECT_FALSE(LoadChm((std::filesystem::temp_directory_path() / "quorvel-no-such-file.chm").string(), file, error));
    EXPECT_FALSE(error.empty());
}

} // namespace

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    if (argc > 1) {
        g_chmPath = argv[1];
    } else if (const char* fromEnvironment = std::getenv("QUORVEL_CHM")) {
        g_chmPath = fromEnvironment;
    }
    return RUN_ALL_TESTS();
}
