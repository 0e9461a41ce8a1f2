// Opening and closing packs in the real main window.
#include "harness/program_fixture.h"

#include "pack/pack.h"
#include "resources/texts.h"
#include "shell/app_state.h"

namespace {

class OpenPackTest : public ProgramTest {};

TEST_F(OpenPackTest, ShowsEveryEntryWithItsTextsInDirectoryOrder)
{
    pakwriter::Layout layout;
    layout.records = {{"b.bin", 4294967295u, 6699}, {"a.txt", 0, 0}, {"表\\ソ.dat", 12, 0x7FFFFFFF}};
    const std::string path = temp + "\\予告.pak";
    ASSERT_TRUE(WriteBytes(path, pakwriter::Encode(layout)));

    EXPECT_EQ(OpenPack(path.c_str()), 0);
    ASSERT_EQ(RowCount(), 3);
    EXPECT_EQ(RowText(0, 0), "b.bin");
    EXPECT_EQ(RowText(0, 1), "4294967295");
    EXPECT_EQ(RowText(0, 2), "0x00001A2B");
    EXPECT_EQ(RowText(1, 0), "a.txt");
    EXPECT_EQ(RowText(1, 1), "0");
    EXPECT_EQ(RowText(1, 2), "0x00000000");
    EXPECT_EQ(RowText(2, 0), "表\\ソ.dat");
    EXPECT_EQ(RowText(2, 2), "0x7FFFFFFF");

    // Each row carries image 1 and its entry, in directory order.
    PackEntry* entry = g_app.entryHead;
    for (int row = 0; row < 3; ++row, entry = entry->next) {
        LVITEMA item = {};
        item.mask = LVIF_PARAM | LVIF_IMAGE;
        item.iItem = row;
        SendMessageA(g_app.entryListView, LVM_GETITEMA, 0, reinterpret_cast<LPARAM>(&item));
        EXPECT_EQ(item.iImage, 1);
        EXPECT_EQ(reinterpret_cast<PackEntry*>(item.lParam), entry);
    }
    EXPECT_EQ(entry, nullptr);

    EXPECT_EQ(TreeItemText(), "予告.pak");
    EXPECT_EQ(TitleText(), "quorvel - " + path);
    EXPECT_EQ(CloseItemState(), 0u);
    EXPECT_EQ(StatusText(), PACK_OPENED_STATUS);
    EXPECT_EQ(std::string(g_app.packPath), path);
    EXPECT_EQ(dialogs.Count(), 0u);
}

TEST_F(OpenPackTest, TreeItemIsTheNameAfterTheLastRealBackslash)
{
    // ソ hides 0x5C as its trail byte: it must not split the name.
    const std::string folder = temp + "\\ソ";
    CreateDirectoryA(folder.c_str(), nullptr);
    const std::string path = WritePack(folder, "表ソ.pak", {{"x", {1}}});
    ASSERT_EQ(OpenPack(path.c_str()), 0);
    EXPECT_EQ(TreeItemText(), "表ソ.pak");
}

TEST_F(OpenPackTest, WorkedExampleKnowsItsDataAreaStart)
{
    const std::string path = WritePack(temp, "two.pak", {{"a.txt", {'a', 'b', 'c'}}, {"b.bin", {0, 1}}});
    ASSERT_EQ(OpenPack(path.c_str()), 0);
    EXPECT_EQ(g_app.dataAreaStart, 40u);
    EXPECT_EQ(RowCount(), 2);
}

TEST_F(OpenPackTest, OpeningAnotherPackReplacesTheFirstWithoutAQuestion)
{
    const std::string first = WritePack(temp, "first.pak", {{"one", {1}}, {"two", {2}}});
    const std::string second = WritePack(temp, "second.pak", {{"three", {3}}});
    ASSERT_EQ(OpenPack(first.c_str()), 0);
    StatusHistory().clear();
    ASSERT_EQ(OpenPack(second.c_str()), 0);
    EXPECT_EQ(RowCount(), 1);
    EXPECT_EQ(RowText(0, 0), "three");
    EXPECT_EQ(TreeItemCount(), 1);
    EXPECT_EQ(TreeItemText(), "second.pak");
    EXPECT_EQ(dialogs.Count(), 0u);
    const std::vector<std::string> expected = {PACK_CLOSED_STATUS, PACK_OPENED_STATUS};
    EXPECT_EQ(StatusHistory(), expected);
}

TEST_F(OpenPackTest, MissingFileClosesTheOldPackThenWarns)
{
    const std::string first = WritePack(temp, "first.pak", {{"one", {1}}});
    ASSERT_EQ(OpenPack(first.c_str()), 0);
    EXPECT_EQ(OpenPack((temp + "\\missing.pak").c_str()), 1);
    ASSERT_EQ(dialogs.Count(), 1u);
    EXPECT_EQ(dialogs.Seen()[0].caption, ERROR_CAPTION);
    EXPECT_EQ(dialogs.Seen()[0].text, OPEN_FAILURE_TEXT);
    EXPECT_EQ(StatusText(), PACK_CLOSED_STATUS);
    EXPECT_EQ(TitleText(), "quorvel");
    EXPECT_EQ(CloseItemState(), static_cast<UINT>(MFS_GRAYED));
    EXPECT_EQ(RowCount(), 0);
    EXPECT_EQ(TreeItemCount(), 0);
    EXPECT_EQ(std::string(g_app.packPath), "");
}

TEST_F(OpenPackTest, ClosePackEmptiesEverything)
{
    const std::string path = WritePack(temp, "a.pak", {{"one", {1}}, {"two", {2}}});
    ASSERT_EQ(OpenPack(path.c_str()), 0);
    ClosePack();
    EXPECT_EQ(RowCount(), 0);
    EXPECT_EQ(TreeItemCount(), 0);
    EXPECT_EQ(g_app.entryHead, nullptr);
    EXPECT_EQ(std::string(g_app.packPath), "");
    EXPECT_EQ(TitleText(), "quorvel");
    EXPECT_EQ(CloseItemState(), static_cast<UINT>(MFS_GRAYED));
    EXPECT_EQ(StatusText(), PACK_CLOSED_STATUS);
    EXPECT_TRUE(HeapValidate(g_app.heap, 0, nullptr));
}

TEST_F(OpenPackTest, EmptyDirectoryPackIsOpenUntilClosed)
{
    for (int32_t count : {0, -5}) {
        pakwriter::Layout layout;
        layout.countOverride = count;
        const std::string path = temp + "\\empty.pak";
        ASSERT_TRUE(WriteBytes(path, pakwriter::Encode(layout)));
        ASSERT_EQ(OpenPack(path.c_str()), 0);
        EXPECT_EQ(RowCount(), 0);
        EXPECT_EQ(TreeItemText(), "empty.pak");
        EXPECT_EQ(CloseItemState(), 0u);
        EXPECT_EQ(g_app.dataAreaStart, 4u);

        // Opening another pack removes the empty pack's tree item too.
        const std::string other = WritePack(temp, "other.pak", {{"x", {1}}});
        ASSERT_EQ(OpenPack(other.c_str()), 0);
        EXPECT_EQ(TreeItemCount(), 1);
        EXPECT_EQ(TreeItemText(), "other.pak");
        ClosePack();
    }
}

struct DamagedPack {
    const char* what;
    pakwriter::Layout layout;
};

std::vector<DamagedPack> DamagedPacks()
{
    std::vector<DamagedPack> packs;
    pakwriter::Layout good;
    good.records = {{"a.txt", 3, 0}, {"b.bin", 2, 3}};
    good.data = {1, 2, 3, 4, 5};
    pakwriter::Layout l = good;
    l.truncateTo = 2;
    packs.push_back({"ends inside the header", l});
    l = good;
    l.truncateTo = 30;
    packs.push_back({"ends inside the directory", l});
    l = good;
    l.records[1].lengthOverride = 265;
    packs.push_back({"record length above 264", l});
    l = good;
    l.records[1].omitSizeAndOffset = true;
    packs.push_back({"body shorter than name + 9", l});
    l = good;
    l.records[1].omitTerminator = true;
    l.records[1].omitSizeAndOffset = true;
    packs.push_back({"body without a zero byte", l});
    l = good;
    l.records[0].name = std::string(256, 'n');
    packs.push_back({"name of 256 bytes", l});
    return packs;
}

TEST_F(OpenPackTest, DamagedDirectoryIsRefusedWholeWithTheOpenFailure)
{
    for (const DamagedPack& pack : DamagedPacks()) {
        const std::string previous = WritePack(temp, "previous.pak", {{"p", {1}}});
        ASSERT_EQ(OpenPack(previous.c_str()), 0);
        const std::string path = temp + "\\damaged.pak";
        ASSERT_TRUE(WriteBytes(path, pakwriter::Encode(pack.layout)));
        dialogs.Clear();
        EXPECT_EQ(OpenPack(path.c_str()), 1) << pack.what;
        ASSERT_EQ(dialogs.Count(), 1u) << pack.what;
        EXPECT_EQ(dialogs.Seen()[0].text, OPEN_FAILURE_TEXT) << pack.what;
        EXPECT_EQ(RowCount(), 0) << pack.what;
        EXPECT_EQ(TreeItemCount(), 0) << pack.what;
        EXPECT_EQ(g_app.entryHead, nullptr) << pack.what;
        EXPECT_EQ(std::string(g_app.packPath), "") << pack.what;
        EXPECT_EQ(TitleText(), "quorvel") << pack.what;
        EXPECT_TRUE(HeapValidate(g_app.heap, 0, nullptr)) << pack.what;
    }
}

TEST_F(OpenPackTest, RunningOutOfMemoryReleasesWhatWasBuiltAndRefuses)
{
    std::vector<pakwriter::Entry> entries;
    for (int i = 0; i < 3000; ++i)
        entries.push_back({"entry-with-a-long-name-" + std::to_string(i) + ".bin", {}});
    const std::string path = WritePack(temp, "many.pak", entries);

    // A real heap with a ceiling: the allocations genuinely fail part-way.
    HANDLE roomy = g_app.heap;
    HANDLE small = HeapCreate(0, 0, 96 * 1024);
    ASSERT_NE(small, nullptr);
    g_app.heap = small;
    const int result = OpenPack(path.c_str());
    const bool valid = HeapValidate(small, 0, nullptr);
    // Everything that was built was given back.
    const size_t busyBlocks = HeapBusyBlocks(small);
    g_app.heap = roomy;
    HeapDestroy(small);

    EXPECT_EQ(result, 1);
    EXPECT_TRUE(valid);
    EXPECT_EQ(busyBlocks, 0u);
    ASSERT_EQ(dialogs.Count(), 1u);
    EXPECT_EQ(dialogs.Seen()[0].caption, ERROR_CAPTION);
    EXPECT_EQ(dialogs.Seen()[0].text, PACK_OUT_OF_MEMORY_TEXT);
    EXPECT_EQ(RowCount(), 0);
    EXPECT_EQ(g_app.entryHead, nullptr);
    EXPECT_EQ(std::string(g_app.packPath), "");
}

TEST_F(OpenPackTest, PathsOf256BytesOrMoreAreRefused)
{
    // A folder deep enough that the pack path reaches each length exactly.
    for (size_t length : {254u, 255u, 256u, 259u, 260u}) {
        std::string folder = temp;
        while (folder.size() + 1 + 100 < length - 8) {
            folder += "\\" + std::string(100, 'd');
            CreateDirectoryA(folder.c_str(), nullptr);
        }
        const size_t nameLength = length - folder.size() - 1;
        const std::string name = std::string(nameLength - 4, 'p') + ".pak";
        const std::string path = folder + "\\" + name;
        ASSERT_EQ(path.size(), length);
        const bool written = WriteBytes(path, pakwriter::BuildPack({{"x", {7}}}));
        dialogs.Clear();
        const int result = OpenPack(path.c_str());
        if (length <= 255) {
            ASSERT_TRUE(written);
            EXPECT_EQ(result, 0) << length;
            EXPECT_EQ(TitleText(), "quorvel - " + path) << length;
            EXPECT_EQ(std::string(g_app.packPath), path) << length;
            EXPECT_EQ(dialogs.Count(), 0u) << length;
        } else {
            EXPECT_EQ(result, 1) << length;
            ASSERT_EQ(dialogs.Count(), 1u) << length;
            EXPECT_EQ(dialogs.Seen()[0].text, OPEN_FAILURE_TEXT) << length;
            EXPECT_EQ(std::string(g_app.packPath), "") << length;
        }
        if (g_app.packPath[0] != 0)
            ClosePack();
        DeleteFileA(path.c_str());
    }
    // A path of any length, longer than every buffer, is refused the same way.
    const std::string huge = "C:\\" + std::string(5000, 'x') + ".pak";
    dialogs.Clear();
    EXPECT_EQ(OpenPack(huge.c_str()), 1);
    EXPECT_EQ(dialogs.Count(), 1u);
}

// Relative paths are made full when the pack is opened: every later read
// reopens the pack by its stored path, after the preview may have moved
// the current folder elsewhere.
TEST_F(OpenPackTest, RelativePathIsStoredFullAndReadFromItsOwnFolder)
{
    const std::string full = WritePack(temp, "rel.pak", {{"e.qvdat", {1, 2, 3}}});
    CreateDirectoryA((temp + "\\sub").c_str(), nullptr);
    // Elsewhere, a file of the same name that holds other bytes.
    const std::string elsewhere = temp + "\\elsewhere";
    CreateDirectoryA(elsewhere.c_str(), nullptr);
    WritePack(elsewhere, "rel.pak", {{"e.qvdat", {9, 9, 9}}});
    for (const char* relative : {"rel.pak", ".\\rel.pak", "sub\\..\\rel.pak"}) {
        ASSERT_TRUE(SetCurrentDirectoryA(temp.c_str()));
        ASSERT_EQ(OpenPack(relative), 0) << relative;
        EXPECT_EQ(std::string(g_app.packPath), full) << relative;
        EXPECT_EQ(TitleText(), "quorvel - " + full) << relative;
        EXPECT_EQ(TreeItemText(), "rel.pak") << relative;

        ASSERT_TRUE(SetCurrentDirectoryA(elsewhere.c_str()));
        const std::string output = temp + "\\sub";
        char outputPath[PACK_PATH_BYTES];
        EXPECT_EQ(ExtractEntry(g_app.mainWindow, output.c_str(), g_app.entryHead, 1, outputPath), EXTRACT_DONE)
            << relative;
        std::vector<uint8_t> bytes;
        EXPECT_TRUE(ReadBytes(output + "\\e.qvdat", &bytes)) << relative;
        EXPECT_EQ(bytes, (std::vector<uint8_t>{1, 2, 3})) << relative;
        DeleteFileA((output + "\\e.qvdat").c_str());
        ClosePack();
    }
    EXPECT_EQ(dialogs.Count(), 0u);
    SetCurrentDirectoryA(temp.c_str());
}

TEST_F(OpenPackTest, ShortRelativePathWhoseFullPathIsTooLongIsRefused)
{
    // The current folder is 240 bytes long: "p.pak" in it is 246 bytes
    // in full, "pppppppppp.pak" 255 and "ppppppppppp.pak" 256.
    std::string folder = temp;
    while (folder.size() + 1 + 50 <= 240) {
        folder += "\\" + std::string(50, 'd');
        ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
    }
    folder += "\\" + std::string(240 - folder.size() - 1, 'e');
    ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
    ASSERT_EQ(folder.size(), 240u);
    ASSERT_TRUE(SetCurrentDirectoryA(folder.c_str()));
    for (const std::string name : {"pppppppppp.pak", "ppppppppppp.pak"}) {
        const std::string full = folder + "\\" + name;
        ASSERT_TRUE(WriteBytes(full, pakwriter::BuildPack({{"x", {7}}})));
        dialogs.Clear();
        const int result = OpenPack(name.c_str());
        if (full.size() <= 255) {
            EXPECT_EQ(result, 0) << full.size();
            EXPECT_EQ(std::string(g_app.packPath), full);
            EXPECT_EQ(dialogs.Count(), 0u);
            ClosePack();
        } else {
            EXPECT_EQ(result, 1) << full.size();
            ASSERT_EQ(dialogs.Count(), 1u);
            EXPECT_EQ(dialogs.Seen()[0].text, OPEN_FAILURE_TEXT);
            EXPECT_EQ(std::string(g_app.packPath), "");
        }
        DeleteFileA(full.c_str());
    }
    SetCurrentDirectoryA(temp.c_str());
}

} // namespace
