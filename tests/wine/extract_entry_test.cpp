// Copying one entry out of the open pack, with the real message boxes
// answered by the dialog watcher.
#include "harness/program_fixture.h"
#include "harness/import_patch.h"

#include "pack/pack.h"
#include "resources/texts.h"
#include "shell/app_state.h"

#include <algorithm>
#include <functional>
#include <atomic>
#include <iterator>
#include <memory>
#include <thread>

namespace {

using pakwriter::Bytes;

Bytes Pattern(size_t entry, size_t size)
{
    Bytes bytes(size);
    pakwriter::FillPattern(entry, 0, bytes.data(), size);
    return bytes;
}

Bytes Contents(const std::string& path)
{
    Bytes bytes;
    EXPECT_TRUE(ReadBytes(path, &bytes)) << path;
    return bytes;
}

// Entry number index of the open pack, in directory order.
const PackEntry* EntryAt(int index)
{
    const PackEntry* entry = g_app.entryHead;
    for (int i = 0; i < index && entry != nullptr; ++i)
        entry = entry->next;
    return entry;
}

int Extract(const std::string& destination, int index, int noPrompt)
{
    const PackEntry* entry = EntryAt(index);
    EXPECT_NE(entry, nullptr) << "no entry " << index;
    if (entry == nullptr)
        return -1;
    char outputPath[PACK_PATH_BYTES];
    return ExtractEntry(g_app.mainWindow, destination.c_str(), entry, noPrompt, outputPath);
}

// Copies the first entry into destination while another thread stores the
// abandon word as soon as target has begun to grow, as a pack close or a quit
// during a copy does. grew: whether it had before the copy ended.
int ExtractAbandonedOnceGrowing(const std::string& destination, const std::string& target, bool* grew)
{
    std::atomic<bool> stop{false};
    std::atomic<bool> sawGrowth{false};
    std::thread abandoner([&] {
        while (!stop.load()) {
            WIN32_FILE_ATTRIBUTE_DATA data;
            if (GetFileAttributesExA(target.c_str(), GetFileExInfoStandard, &data) && data.nFileSizeLow > 0) {
                sawGrowth = true;
                g_app.abandonEntry.store(1);
                return;
            }
            Sleep(0);
        }
    });
    const int result = Extract(destination, 0, 0);
    stop = true;
    abandoner.join();
    g_app.abandonEntry.store(0);
    *grew = sawGrowth.load();
    return result;
}

std::string MakeFolder(const std::string& path)
{
    CreateDirectoryA(path.c_str(), nullptr);
    return path;
}

// Every file and folder below folder, as paths relative to it.
void ListTree(const std::string& folder, const std::string& prefix, std::vector<std::string>* found)
{
    WIN32_FIND_DATAA data;
    HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &data);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        const std::string name = data.cFileName;
        if (name == "." || name == "..")
            continue;
        found->push_back(prefix + name);
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            ListTree(folder + "\\" + name, prefix + name + "\\", found);
    } while (FindNextFileA(search, &data));
    FindClose(search);
}

std::vector<std::string> Tree(const std::string& folder)
{
    std::vector<std::string> found;
    ListTree(folder, "", &found);
    std::sort(found.begin(), found.end());
    return found;
}

// Holds a file open with no sharing, as another program might.
class ExclusiveHold {
public:
    explicit ExclusiveHold(const std::string& path)
        : handle_(CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr))
    {}
    ~ExclusiveHold()
    {
        if (held())
            CloseHandle(handle_);
    }
    ExclusiveHold(const ExclusiveHold&) = delete;
    ExclusiveHold& operator=(const ExclusiveHold&) = delete;
    bool held() const { return handle_ != INVALID_HANDLE_VALUE; }

private:
    HANDLE handle_;
};

class ExtractEntryTest : public ProgramTest {
protected:
    // Opens a pack of the given entries, written into the test's folder.
    void OpenEntries(const std::vector<pakwriter::Entry>& entries)
    {
        const std::string path = WritePack(temp, "source.pak", entries);
        ASSERT_EQ(OpenPack(path.c_str()), 0);
    }

    void OpenLayout(const pakwriter::Layout& layout)
    {
        const std::string path = temp + "\\source.pak";
        ASSERT_TRUE(WriteBytes(path, pakwriter::Encode(layout)));
        ASSERT_EQ(OpenPack(path.c_str()), 0);
    }

    // A pack of one entry, big.bin, large enough that its copy still runs
    // when its output is first seen to grow.
    static constexpr size_t BIG_ENTRY_BYTES = 96u << 20;
    void OpenBigEntry()
    {
        const std::string path = temp + "\\big.pak";
        ASSERT_TRUE(pakwriter::WriteGeneratedPack(path, {{"big.bin", BIG_ENTRY_BYTES}}, pakwriter::FillPattern));
        ASSERT_EQ(OpenPack(path.c_str()), 0);
    }

    void ExpectOneDialog(const std::string& text, const std::string& caption, const std::string& what)
    {
        const std::vector<SeenDialog> seen = dialogs.Seen();
        ASSERT_EQ(seen.size(), 1u) << what;
        EXPECT_EQ(seen[0].text, text) << what;
        EXPECT_EQ(seen[0].caption, caption) << what;
    }
};

// ---- Bytes ------------------------------------------------------------

TEST_F(ExtractEntryTest, CopiesEveryEntryDecodedByteForByte)
{
    // Chunk boundaries and the empty entry; the pattern differs per entry and
    // is not periodic in 4096, so a chunk read from the wrong place shows.
    const size_t sizes[] = {0, 1, 4095, 4096, 4097, 8192 + 1, 3 * 4096 + 517};
    std::vector<pakwriter::Entry> entries;
    for (size_t i = 0; i < std::size(sizes); ++i)
        entries.push_back({"entry" + std::to_string(i) + ".bin", Pattern(i, sizes[i])});
    OpenEntries(entries);
    const std::string out = MakeFolder(temp + "\\out");

    for (size_t i = 0; i < std::size(sizes); ++i) {
        EXPECT_EQ(Extract(out, static_cast<int>(i), 0), EXTRACT_DONE) << sizes[i];
        const Bytes written = Contents(out + "\\" + entries[i].name);
        EXPECT_EQ(written.size(), sizes[i]);
        EXPECT_TRUE(written == entries[i].bytes) << "size " << sizes[i];
    }
    EXPECT_EQ(dialogs.Count(), 0u);
}

TEST_F(ExtractEntryTest, SharedAndOverlappingOffsetsAreReadIndependently)
{
    // Entries need not be disjoint nor in data-area order.
    const Bytes data = Pattern(7, 9000);
    pakwriter::Layout layout;
    layout.records = {{"tail.bin", 4200, 4800}, {"first.bin", 9000, 0}, {"again.bin", 9000, 0}, {"mid.bin", 5000, 1}};
    layout.data = data;
    OpenLayout(layout);
    const std::string out = MakeFolder(temp + "\\out");

    for (int i = 0; i < 4; ++i) {
        const pakwriter::Record& record = layout.records[i];
        EXPECT_EQ(Extract(out, i, 0), EXTRACT_DONE) << record.name;
        const Bytes expected(data.begin() + record.offset, data.begin() + record.offset + record.size);
        EXPECT_TRUE(Contents(out + "\\" + record.name) == expected) << record.name;
    }
    EXPECT_EQ(dialogs.Count(), 0u);
}

TEST_F(ExtractEntryTest, DecodesEveryByteValue)
{
    Bytes all(256);
    for (int value = 0; value < 256; ++value)
        all[value] = static_cast<uint8_t>(value);
    OpenEntries({{"all.bin", all}});
    EXPECT_EQ(Extract(temp, 0, 0), EXTRACT_DONE);
    EXPECT_TRUE(Contents(temp + "\\all.bin") == all);
}

// ---- Where the file goes ----------------------------------------------

TEST_F(ExtractEntryTest, TrailingBackslashOrNotNamesTheSameFile)
{
    OpenEntries({{"same.bin", Pattern(1, 5000)}});
    const std::string out = MakeFolder(temp + "\\out");
    for (const std::string& destination : {out, out + "\\"}) {
        // The overwrite question names the output path as its caption.
        ASSERT_TRUE(WriteBytes(out + "\\same.bin", {1, 2, 3}));
        dialogs.Clear();
        dialogs.Answer({{IDNO}});
        EXPECT_EQ(Extract(destination, 0, 0), EXTRACT_DONE) << destination;
        ExpectOneDialog(OVERWRITE_QUESTION, out + "\\same.bin", destination);

        EXPECT_EQ(Extract(destination, 0, 1), EXTRACT_DONE) << destination;
        EXPECT_TRUE(Contents(out + "\\same.bin") == Pattern(1, 5000)) << destination;
        EXPECT_EQ(Tree(out), std::vector<std::string>{"same.bin"}) << destination;
    }
}

TEST_F(ExtractEntryTest, NamesWithFolderPartsAndBackslashTrailBytes)
{
    // ソ, 表 and 予 carry 0x5C as their second byte: no separator there.
    const std::vector<std::string> names = {
        "sub\\inner.bin", "sub/slashed.bin", "sub\\deeper\\x.bin", "ソ", "表.txt", "予告", "表\\ソ.dat",
    };
    std::vector<pakwriter::Entry> entries;
    for (size_t i = 0; i < names.size(); ++i)
        entries.push_back({names[i], Pattern(i, 100 + i)});
    OpenEntries(entries);
    const std::string out = MakeFolder(temp + "\\out");
    for (const char* folder : {"sub", "sub\\deeper", "表"})
        MakeFolder(out + "\\" + folder);

    for (size_t i = 0; i < names.size(); ++i) {
        EXPECT_EQ(Extract(out, static_cast<int>(i), 0), EXTRACT_DONE) << names[i];
        std::string path = out + "\\" + names[i];
        std::replace(path.begin(), path.end(), '/', '\\');
        EXPECT_TRUE(Contents(path) == entries[i].bytes) << names[i];
    }
    EXPECT_EQ(dialogs.Count(), 0u);
    // Nothing landed anywhere else, and no folder was made.
    const std::vector<std::string> expected = {
        "sub", "sub\\deeper", "sub\\deeper\\x.bin", "sub\\inner.bin", "sub\\slashed.bin", "ソ", "予告",
        "表",  "表.txt",      "表\\ソ.dat"};
    std::vector<std::string> sorted = expected;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(Tree(out), sorted);
}

// ---- Overwriting ------------------------------------------------------

TEST_F(ExtractEntryTest, AnswerToTheOverwriteQuestionDecides)
{
    const Bytes fresh = Pattern(2, 6000);
    const Bytes old = {'o', 'l', 'd'};
    OpenEntries({{"target.bin", fresh}});
    const std::string target = temp + "\\target.bin";

    struct Case {
        int noPrompt;
        int answer; // 0: no question expected
        bool replaced;
    };
    const Case cases[] = {
        {0, IDYES, true}, {0, IDNO, false}, {1, 0, true}, {7, 0, true}, // any non-zero value means "do not ask"
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(WriteBytes(target, old));
        dialogs.Clear();
        if (c.answer != 0)
            dialogs.Answer({{c.answer}});
        EXPECT_EQ(Extract(temp, 0, c.noPrompt), EXTRACT_DONE) << c.noPrompt << "/" << c.answer;
        if (c.answer != 0) {
            ExpectOneDialog(OVERWRITE_QUESTION, target, "answer " + std::to_string(c.answer));
        } else {
            EXPECT_EQ(dialogs.Count(), 0u) << "noPrompt " << c.noPrompt;
        }
        EXPECT_TRUE(Contents(target) == (c.replaced ? fresh : old)) << c.noPrompt << "/" << c.answer;
    }

    // No question when there is nothing to replace.
    DeleteFileA(target.c_str());
    dialogs.Clear();
    EXPECT_EQ(Extract(temp, 0, 0), EXTRACT_DONE);
    EXPECT_EQ(dialogs.Count(), 0u);
    EXPECT_TRUE(Contents(target) == fresh);
}

TEST_F(ExtractEntryTest, AsksAboutAFileThatAnotherProgramHoldsWithoutSharing)
{
    OpenEntries({{"held.bin", Pattern(3, 5000)}});
    const std::string target = temp + "\\held.bin";
    const Bytes old = {'k', 'e', 'e', 'p'};

    // No: nothing is tried on the file.
    ASSERT_TRUE(WriteBytes(target, old));
    {
        ExclusiveHold hold(target);
        ASSERT_TRUE(hold.held());
        dialogs.Answer({{IDNO}});
        EXPECT_EQ(Extract(temp, 0, 0), EXTRACT_DONE);
        ExpectOneDialog(OVERWRITE_QUESTION, target, "answered No");
    }
    EXPECT_TRUE(Contents(target) == old);

    // Yes: the replacement fails on the held file and says so.
    {
        ExclusiveHold hold(target);
        ASSERT_TRUE(hold.held());
        dialogs.Clear();
        dialogs.Answer({{IDYES}, {IDOK}});
        EXPECT_EQ(Extract(temp, 0, 0), EXTRACT_DONE);
        const std::vector<SeenDialog> seen = dialogs.Seen();
        ASSERT_EQ(seen.size(), 2u);
        EXPECT_EQ(seen[0].text, OVERWRITE_QUESTION);
        EXPECT_EQ(seen[0].caption, target);
        EXPECT_EQ(seen[1].text, OUTPUT_UNOPENED_TEXT);
        EXPECT_EQ(seen[1].caption, target);
    }
    EXPECT_TRUE(Contents(target) == old);
}

// ---- Failures ---------------------------------------------------------

TEST_F(ExtractEntryTest, PackThatCannotBeReopenedIsReported)
{
    struct Case {
        const char* what;
        void (*spoil)(const std::string& pack, std::unique_ptr<ExclusiveHold>* hold);
    };
    const Case cases[] = {
        {"moved", [](const std::string& pack,
                     std::unique_ptr<ExclusiveHold>*) { MoveFileA(pack.c_str(), (pack + ".moved").c_str()); }},
        {"deleted", [](const std::string& pack, std::unique_ptr<ExclusiveHold>*) { DeleteFileA(pack.c_str()); }},
        {"held without sharing",
         [](const std::string& pack, std::unique_ptr<ExclusiveHold>* hold) {
             *hold = std::make_unique<ExclusiveHold>(pack);
         }},
    };
    for (const Case& c : cases) {
        OpenEntries({{"a.bin", Pattern(4, 10)}, {"b.bin", Pattern(5, 20)}});
        std::unique_ptr<ExclusiveHold> hold;
        c.spoil(temp + "\\source.pak", &hold);
        const std::string out = MakeFolder(temp + "\\out");
        // Every call reports it, not only the first.
        for (int i = 0; i < 2; ++i) {
            dialogs.Clear();
            EXPECT_EQ(Extract(out, i, 0), EXTRACT_PACK_UNOPENED) << c.what;
            ExpectOneDialog(PACK_UNOPENED_TEXT, DOOMED_CAPTION, c.what);
        }
        EXPECT_TRUE(Tree(out).empty()) << c.what;
        hold.reset();
        ClosePack();
        RemoveTree(out);
        DeleteFileA((temp + "\\source.pak.moved").c_str());
    }
}

TEST_F(ExtractEntryTest, TransferBufferThatCannotBeHadIsReported)
{
    OpenEntries({{"a.bin", Pattern(6, 10)}});
    // A real heap with a ceiling, filled until a 4 KiB block is refused.
    HANDLE roomy = g_app.heap;
    HANDLE small = HeapCreate(0, 0, 64 * 1024);
    ASSERT_NE(small, nullptr);
    while (HeapAlloc(small, 0, 4096) != nullptr) {}
    g_app.heap = small;
    const int result = Extract(temp, 0, 0);
    g_app.heap = roomy;
    HeapDestroy(small);

    EXPECT_EQ(result, EXTRACT_NO_BUFFER);
    ExpectOneDialog(NO_TRANSFER_BUFFER_TEXT, DOOMED_CAPTION, "no buffer");
    EXPECT_FALSE(FileExists(temp + "\\a.bin"));
}

TEST_F(ExtractEntryTest, OutputThatCannotBeCreatedIsAWarningAndCountsAsDone)
{
    OpenEntries({{"a.bin", Pattern(8, 100)}, {"folder", Pattern(9, 100)}, {"missing\\b.bin", Pattern(10, 100)}});
    const std::string out = MakeFolder(temp + "\\out");
    MakeFolder(out + "\\folder");
    ASSERT_TRUE(WriteBytes(out + "\\a.bin", {1}));
    ExclusiveHold hold(out + "\\a.bin");
    ASSERT_TRUE(hold.held());

    struct Case {
        const char* what;
        std::string destination;
        int entry;
        std::string caption;
    };
    const Case cases[] = {
        {"destination folder missing", temp + "\\nowhere", 0, temp + "\\nowhere\\a.bin"},
        {"file held without sharing", out, 0, out + "\\a.bin"},
        {"name is a folder", out, 1, out + "\\folder"},
        {"sub-folder of the name missing", out, 2, out + "\\missing\\b.bin"},
    };
    for (const Case& c : cases) {
        dialogs.Clear();
        EXPECT_EQ(Extract(c.destination, c.entry, 1), EXTRACT_DONE) << c.what;
        ExpectOneDialog(OUTPUT_UNOPENED_TEXT, c.caption, c.what);
    }
    // No folder was made on the way.
    EXPECT_FALSE(FileExists(temp + "\\nowhere"));
    EXPECT_FALSE(FileExists(out + "\\missing"));
}

TEST_F(ExtractEntryTest, ShortReadIsReportedAndKeepsTheWholeChunksBefore)
{
    const Bytes data = Pattern(11, 10000);
    pakwriter::Layout layout;
    // Offsets past 2^31 and 2^32 - 16 would land inside this small file if
    // the position were formed in 32 bits or taken as signed.
    layout.records = {{"runs-past.bin", 20000, 0},
                      {"starts-past.bin", 10, 20000},
                      {"past-2gib.bin", 4096, 0x7FFFFFF0u},
                      {"past-4gib.bin", 4096, 0xFFFFFFF0u}};
    layout.data = data;
    OpenLayout(layout);
    ASSERT_GE(g_app.dataAreaStart, 0x10u);
    const std::string out = MakeFolder(temp + "\\out");

    struct Case {
        const char* name;
        size_t kept; // whole chunks written before the read came up short
    };
    const Case cases[] = {{"runs-past.bin", 8192}, {"starts-past.bin", 0}, {"past-2gib.bin", 0}, {"past-4gib.bin", 0}};
    for (size_t i = 0; i < std::size(cases); ++i) {
        dialogs.Clear();
        EXPECT_EQ(Extract(out, static_cast<int>(i), 0), EXTRACT_SHORT_READ) << cases[i].name;
        ExpectOneDialog(SHORT_READ_TEXT, COPY_FAILURE_CAPTION, cases[i].name);
        const Bytes written = Contents(out + "\\" + cases[i].name);
        EXPECT_TRUE(written == Bytes(data.begin(), data.begin() + cases[i].kept)) << cases[i].name;
    }
}

TEST_F(ExtractEntryTest, EntriesFarIntoASparsePackAreReachedExactly)
{
    // Offsets just below 4 GiB put the entries' bytes past 2 GiB and past
    // 4 GiB into the file; the holes before them cost no disk.
    pakwriter::Layout layout;
    layout.records = {{"beyond-2gib.bin", 5000, 0x80000000u}, {"beyond-4gib.bin", 5000, 0xFFFFFFF0u}};
    const std::string path = temp + "\\sparse.pak";
    ASSERT_TRUE(WriteBytes(path, pakwriter::Encode(layout)));
    const ULONGLONG dataAreaStart = pakwriter::Encode(layout).size();
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD sparseBytes = 0;
    DeviceIoControl(file, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &sparseBytes, nullptr);
    for (size_t i = 0; i < layout.records.size(); ++i) {
        Bytes stored = Pattern(20 + i, 5000);
        for (uint8_t& b : stored)
            b = static_cast<uint8_t>(0u - b);
        LARGE_INTEGER at;
        at.QuadPart = static_cast<LONGLONG>(dataAreaStart + layout.records[i].offset);
        DWORD written = 0;
        ASSERT_TRUE(SetFilePointerEx(file, at, nullptr, FILE_BEGIN));
        ASSERT_TRUE(WriteFile(file, stored.data(), 5000, &written, nullptr));
        ASSERT_EQ(written, 5000u);
    }
    CloseHandle(file);

    ASSERT_EQ(OpenPack(path.c_str()), 0);
    ASSERT_EQ(g_app.dataAreaStart, dataAreaStart);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(Extract(temp, i, 0), EXTRACT_DONE) << layout.records[i].name;
        EXPECT_TRUE(Contents(temp + "\\" + layout.records[i].name) == Pattern(20 + i, 5000)) << layout.records[i].name;
    }
    EXPECT_EQ(dialogs.Count(), 0u);
}

// ---- Names that must never be written -----------------------------------

TEST_F(ExtractEntryTest, NamesThatLeaveTheFolderAreNeverWritten)
{
    const char* const names[] = {
        "\\q-escape.bin",
        "/q-escape.bin",
        "\\\\server\\share\\q-escape.bin",
        "C:q-escape.bin",
        "C:\\q-escape.bin",
        "..\\q-escape.bin",
        "../q-escape.bin",
        "sub\\..\\..\\q-escape.bin",
        "sub/../../q-escape.bin",
        "..",
        ".",
        "sub\\.\\q-escape.bin",
        "... \\q-escape.bin",
        "sub\\\\q-escape.bin",
        "sub\\",
        "q-escape.bin:stream",
        "q-escape.bin::$DATA",
        "",
        "CON",
        "con",
        "NUL.txt",
        "nul",
        "PRN",
        "sub\\AUX.dat",
        "COM1",
        "LPT9",
        "lpt1.log",
        // Punctuation behind a lead byte, where no trail byte can be. The
        // message box shows such a pair converted, so only the folder part of
        // its caption is compared.
        "\x9F:q-escape.bin",
        "sub\x81/CON",
    };
    const size_t firstConverted = std::size(names) - 2;
    std::vector<pakwriter::Entry> entries;
    for (const char* name : names)
        entries.push_back({name, Pattern(12, 64)});
    OpenEntries(entries);

    // The destination sits two folders deep so that its parent and the
    // parent's parent can be checked; relative names would resolve against
    // the working folder, so that is one of ours too.
    const std::string root = MakeFolder(temp + "\\root");
    const std::string parent = MakeFolder(root + "\\parent");
    const std::string out = MakeFolder(parent + "\\out");
    MakeFolder(out + "\\sub");
    const std::string working = MakeFolder(temp + "\\working");
    char previousWorking[MAX_PATH + 1] = {};
    GetCurrentDirectoryA(MAX_PATH, previousWorking);
    ASSERT_TRUE(SetCurrentDirectoryA(working.c_str()));
    const std::vector<std::string> before = Tree(temp);

    for (size_t i = 0; i < std::size(names); ++i) {
        dialogs.Clear();
        EXPECT_EQ(Extract(out, static_cast<int>(i), 0), EXTRACT_DONE) << "name '" << names[i] << "'";
        if (i < firstConverted) {
            ExpectOneDialog(OUTPUT_UNOPENED_TEXT, out + "\\" + names[i], names[i]);
        } else {
            const std::vector<SeenDialog> seen = dialogs.Seen();
            ASSERT_EQ(seen.size(), 1u) << names[i];
            EXPECT_EQ(seen[0].text, OUTPUT_UNOPENED_TEXT) << names[i];
            EXPECT_EQ(seen[0].caption.rfind(out + "\\", 0), 0u) << names[i];
        }
        EXPECT_EQ(Tree(temp), before) << "name '" << names[i] << "'";
    }
    SetCurrentDirectoryA(previousWorking);
    EXPECT_FALSE(FileExists("C:\\q-escape.bin"));
    EXPECT_TRUE(HeapValidate(g_app.heap, 0, nullptr));
}

TEST_F(ExtractEntryTest, OutputPathsThatWouldNotFitAreRefused)
{
    // Output path lengths around the 256-byte buffer, counted as destination,
    // separator and name; the destination is given with and without its
    // trailing backslash, and once deep enough that the name is short.
    const std::string deep = MakeFolder(temp + "\\" + std::string(180, 'd'));
    struct Case {
        std::string destination;
        size_t total;
    };
    std::vector<Case> cases;
    for (size_t total : {255u, 256u, 259u, 260u}) {
        cases.push_back({temp, total});
        cases.push_back({temp + "\\", total});
    }
    cases.push_back({deep, 255});
    cases.push_back({deep, 256});

    std::vector<pakwriter::Entry> entries;
    std::vector<std::string> joined;
    for (size_t i = 0; i < cases.size(); ++i) {
        const std::string folder =
            cases[i].destination.back() == '\\' ? cases[i].destination : cases[i].destination + "\\";
        const size_t nameLength = cases[i].total - folder.size();
        const std::string suffix = std::to_string(i) + ".bin";
        const std::string name = std::string(nameLength - suffix.size(), static_cast<char>('a' + i)) + suffix;
        ASSERT_EQ(folder.size() + name.size(), cases[i].total);
        joined.push_back(folder + name);
        entries.push_back({name, Pattern(13 + i, 300)});
    }
    OpenEntries(entries);

    for (size_t i = 0; i < cases.size(); ++i) {
        dialogs.Clear();
        const std::vector<std::string> before = Tree(temp);
        EXPECT_EQ(Extract(cases[i].destination, static_cast<int>(i), 0), EXTRACT_DONE) << cases[i].total;
        if (cases[i].total <= 255) {
            EXPECT_EQ(dialogs.Count(), 0u) << cases[i].total;
            EXPECT_TRUE(Contents(joined[i]) == entries[i].bytes) << cases[i].total;
        } else {
            ExpectOneDialog(OUTPUT_UNOPENED_TEXT, joined[i], "total " + std::to_string(cases[i].total));
            EXPECT_EQ(Tree(temp), before) << cases[i].total;
        }
    }
    EXPECT_TRUE(HeapValidate(g_app.heap, 0, nullptr));
}

// ---- Threads and quitting -------------------------------------------------

TEST_F(ExtractEntryTest, TwoCopiesAtOnceBothComeOutExact)
{
    // Large enough that the two calls overlap for many chunks.
    const size_t size = 24u << 20;
    const std::string path = temp + "\\two.pak";
    ASSERT_TRUE(pakwriter::WriteGeneratedPack(path, {{"left.bin", size}, {"right.bin", size}}, pakwriter::FillPattern));
    ASSERT_EQ(OpenPack(path.c_str()), 0);
    const std::string leftFolder = MakeFolder(temp + "\\left");
    const std::string rightFolder = MakeFolder(temp + "\\right");

    // The worker passes no owner of its own here; a box it showed would
    // still be caught by the watcher and fail the count below.
    std::atomic<int> leftResult{-1};
    std::thread other([&] {
        char outputPath[PACK_PATH_BYTES];
        leftResult = ExtractEntry(nullptr, leftFolder.c_str(), EntryAt(0), 0, outputPath);
    });
    const int rightResult = Extract(rightFolder, 1, 0);
    other.join();

    EXPECT_EQ(leftResult.load(), EXTRACT_DONE);
    EXPECT_EQ(rightResult, EXTRACT_DONE);
    EXPECT_EQ(dialogs.Count(), 0u);
    for (int i = 0; i < 2; ++i) {
        const Bytes written = Contents((i == 0 ? leftFolder + "\\left.bin" : rightFolder + "\\right.bin"));
        ASSERT_EQ(written.size(), size) << i;
        size_t firstWrong = size;
        for (size_t at = 0; at < size && firstWrong == size; ++at) {
            if (written[at] != pakwriter::PatternByte(i, at))
                firstWrong = at;
        }
        EXPECT_EQ(firstWrong, size) << "entry " << i << " differs from byte " << firstWrong;
    }
}

TEST_F(ExtractEntryTest, QuittingAbandonsTheEntryAndRemovesItsPartialOutput)
{
    ASSERT_NO_FATAL_FAILURE(OpenBigEntry());
    const std::string target = temp + "\\big.bin";

    // Asked to give up (quitting, or the pack closing) before the call:
    // nothing is left behind.
    g_app.abandonEntry.store(1);
    EXPECT_EQ(Extract(temp, 0, 0), EXTRACT_ABANDONED);
    g_app.abandonEntry.store(0);
    EXPECT_FALSE(FileExists(target));

    // Asked while the output grows.
    bool grew = false;
    const int result = ExtractAbandonedOnceGrowing(temp, target, &grew);
    ASSERT_TRUE(grew) << "the copy ended before the quit request could be made";
    EXPECT_EQ(result, EXTRACT_ABANDONED);
    EXPECT_FALSE(FileExists(target));
    EXPECT_EQ(dialogs.Count(), 0u);
}

// A folder that bears the entry's name is no file to replace: the question
// would only lead to a failed create.
TEST_F(ExtractEntryTest, FolderOfTheEntrysNameIsWarnedAboutWithoutAQuestion)
{
    OpenEntries({{"taken.bin", {1, 2}}});
    const std::string target = MakeFolder(temp + "\\taken.bin");
    ASSERT_TRUE(WriteBytes(target + "\\inside.bin", {5}));
    for (int noPrompt : {0, 1}) {
        dialogs.Clear();
        dialogs.Answer({{IDYES}}); // what a user would say if asked
        EXPECT_EQ(Extract(temp, 0, noPrompt), EXTRACT_DONE) << noPrompt;
        ExpectOneDialog(OUTPUT_UNOPENED_TEXT, target, "noPrompt " + std::to_string(noPrompt));
        EXPECT_EQ(Tree(temp), (std::vector<std::string>{"source.pak", "taken.bin", "taken.bin\\inside.bin"}));
    }
}

// Stored while a test runs: the word the pack close and quitting set.
class AbandonWord {
public:
    AbandonWord() { g_app.abandonEntry.store(1); }
    ~AbandonWord() { g_app.abandonEntry.store(0); }
    AbandonWord(const AbandonWord&) = delete;
    AbandonWord& operator=(const AbandonWord&) = delete;
};

// Once the pack is being closed nobody waits for an answer: no question
// and no warning is shown, and nothing is written.
TEST_F(ExtractEntryTest, AbandonedCopyAsksAndWarnsNothing)
{
    const struct {
        const char* what;
        const char* name;
        std::function<void()> prepare;
    } cases[] = {
        {"the output exists (the overwrite question)", "old.bin",
         [&] { ASSERT_TRUE(WriteBytes(temp + "\\out\\old.bin", {9})); }},
        {"a refused name", "CON", [] {}},
        {"the output cannot be made", "sub\\made.bin", [] {}},
        {"the pack cannot be opened", "gone.bin", [&] { ASSERT_TRUE(DeleteFileA((temp + "\\source.pak").c_str())); }},
    };
    for (const auto& c : cases) {
        ResetProgramState();
        RemoveTree(temp + "\\out");
        MakeFolder(temp + "\\out");
        OpenEntries({{c.name, {1, 2, 3}}});
        c.prepare();
        const std::vector<std::string> before = Tree(temp + "\\out");
        dialogs.Clear();
        dialogs.Answer({{IDYES}}); // what a user would say if asked
        {
            AbandonWord abandoning;
            EXPECT_EQ(Extract(temp + "\\out", 0, 0), EXTRACT_ABANDONED) << c.what;
        }
        EXPECT_EQ(dialogs.Count(), 0u) << c.what;
        EXPECT_EQ(Tree(temp + "\\out"), before) << c.what;
        if (FileExists(temp + "\\out\\old.bin"))
            EXPECT_EQ(Contents(temp + "\\out\\old.bin"), Bytes{9}) << c.what;
    }
}

std::string s_undeletable;
void* s_realDeleteFile;

BOOL WINAPI DeleteFileUnlessUndeletable(LPCSTR path)
{
    if (s_undeletable == path) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    return reinterpret_cast<BOOL(WINAPI*)(LPCSTR)>(s_realDeleteFile)(path);
}

// A copy given up half way whose file stays (a viewer or a scanner holds
// it) is named: it must not pass for the whole entry.
TEST_F(ExtractEntryTest, PartialFileThatCannotBeRemovedIsNamed)
{
    ASSERT_NO_FATAL_FAILURE(OpenBigEntry());
    const std::string target = temp + "\\big.bin";
    s_undeletable = target;
    ImportPatch refuse("kernel32.dll", "DeleteFileA", reinterpret_cast<void*>(&DeleteFileUnlessUndeletable));
    ASSERT_TRUE(refuse.Installed());
    s_realDeleteFile = refuse.Original();

    bool grew = false;
    const int result = ExtractAbandonedOnceGrowing(temp, target, &grew);
    ASSERT_TRUE(grew) << "the copy ended before it could be given up";
    EXPECT_EQ(result, EXTRACT_ABANDONED);
    ExpectOneDialog(PARTIAL_FILE_LEFT_TEXT, target, "partial file kept");
    EXPECT_LT(Contents(target).size(), BIG_ENTRY_BYTES);
}

} // namespace
