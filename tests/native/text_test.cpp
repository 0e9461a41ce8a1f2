#include "support/text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct PathRow {
    const char* path;
    const char* fileNamePart;
    const char* afterCutFileName;
    const char* afterAppendSeparator;
    const char* afterCutLastSeparator;
};

// Literals are code page 932: 表 is 95 5C, ソ is 83 5C and 予 is 97 5C, so
// each hides a backslash byte in its trail byte.
const PathRow kPathRows[] = {
    {"C:\\dir\\file.pak", "file.pak", "C:\\dir\\", "C:\\dir\\file.pak\\", "C:\\dir"},
    {"file.pak", "file.pak", "", "file.pak\\", "file.pak"},
    {"C:\\dir\\", "", "C:\\dir\\", "C:\\dir\\", "C:\\dir"},
    {"", "", "", "", ""},
    {"C:", "C:", "", "C:\\", "C:"},
    {"C:\\", "", "C:\\", "C:\\", "C:"},
    {"C:\\表\\a.pak", "a.pak", "C:\\表\\", "C:\\表\\a.pak\\", "C:\\表"},
    {"C:\\data\\ソ", "ソ", "C:\\data\\", "C:\\data\\ソ\\", "C:\\data"},
    {"表", "表", "", "表\\", "表"},
    {"D:\\ゲーム\\予告.pak", "予告.pak", "D:\\ゲーム\\", "D:\\ゲーム\\予告.pak\\", "D:\\ゲーム"},
};

class PathHelpers : public ::testing::TestWithParam<PathRow> {};

TEST_P(PathHelpers, SplitPathsOnlyAtBackslashesThatBeginACharacter)
{
    const PathRow& row = GetParam();
    char buffer[PATH_BUFFER_BYTES];

    TextCopy(buffer, row.path);
    EXPECT_STREQ(FileNamePart(buffer), row.fileNamePart);

    TextCopy(buffer, row.path);
    CutFileName(buffer);
    EXPECT_STREQ(buffer, row.afterCutFileName);

    TextCopy(buffer, row.path);
    AppendSeparator(buffer);
    EXPECT_STREQ(buffer, row.afterAppendSeparator);

    TextCopy(buffer, row.path);
    CutLastSeparator(buffer);
    EXPECT_STREQ(buffer, row.afterCutLastSeparator);
}

INSTANTIATE_TEST_SUITE_P(Table, PathHelpers, ::testing::ValuesIn(kPathRows));

TEST(PathHelpers, FileNamePartOfSeparatorEndedPathIsTheTerminator)
{
    char path[] = "C:\\dir\\";
    EXPECT_EQ(FileNamePart(path), path + 7);
}

TEST(PathHelpers, LoneLeadByteAtTheEndStopsTheWalkAtTheTerminator)
{
    // A guard byte behind the terminator: a walk that stepped over the
    // terminator would find the backslash there and report it.
    char path[] = {'a', '\\', 'b', char(0x95), 0, '\\', 'x', 0};
    EXPECT_EQ(FileNamePart(path), path + 2);
    EXPECT_EQ(NextCharacter(path + 3), path + 4);
    EXPECT_EQ(NextCharacter(path + 4), path + 4);
    AppendSeparator(path);
    EXPECT_EQ(std::string(path), std::string("a\\b\x95\\"));
}

struct CompareRow {
    const char* first;
    const char* second;
    int expected;
};

TEST(TextCompare, OrdersBytesAsSignedValues)
{
    const CompareRow rows[] = {
        {"abc", "abc", 0}, {"abc", "abd", -1}, {"ab", "abc", -1}, {"a", "", 1},      {"..", ".", 1},
        {"ア", "A", -1},   {"ab", "abア", 1},  {"abd", "abc", 1}, {nullptr, "x", 0}, {"x", nullptr, 0},
    };
    for (const CompareRow& row : rows)
        EXPECT_EQ(TextCompare(row.first, row.second), row.expected)
            << (row.first ? row.first : "(missing)") << " vs " << (row.second ? row.second : "(missing)");
}

TEST(TextHelpers, LengthCountsBytes)
{
    EXPECT_EQ(TextLength("予告"), 4u);
    EXPECT_EQ(TextLength(""), 0u);
    EXPECT_EQ(TextLength(nullptr), 0u);
}

TEST(TextHelpers, CopyAndAppendLeaveTheSameTextUnchanged)
{
    char text[32] = "C:\\dir";
    TextAppend(text, text);
    EXPECT_STREQ(text, "C:\\dir");
    TextCopy(text, text);
    EXPECT_STREQ(text, "C:\\dir");
    TextAppend(text, "");
    EXPECT_STREQ(text, "C:\\dir");
    TextAppend(text, "\\x");
    EXPECT_STREQ(text, "C:\\dir\\x");
    TextCopy(text, nullptr);
    TextAppend(nullptr, "x");
    EXPECT_STREQ(text, "C:\\dir\\x");
}

TEST(TextHelpers, CopyStopsAfterTheTerminator)
{
    char text[8];
    for (char& c : text)
        c = 'z';
    TextCopy(text, "ab");
    EXPECT_EQ(std::string(text, 4), std::string("ab\0z", 4));
}

TEST(ZeroBlock, ClearsExactlyCountBytes)
{
    for (int count : {7, 1, 4, 5, 8}) {
        unsigned char block[16];
        for (unsigned char& b : block)
            b = 0xAA;
        ZeroBlock(block + 1, count);
        EXPECT_EQ(block[0], 0xAA);
        for (int i = 1; i <= count; ++i)
            EXPECT_EQ(block[i], 0) << "count " << count << " byte " << i;
        EXPECT_EQ(block[count + 1], 0xAA) << "count " << count;
    }
}

TEST(ZeroBlock, WritesNothingForZeroOrNegativeCountOrMissingBlock)
{
    unsigned char block[4] = {1, 2, 3, 4};
    ZeroBlock(block, 0);
    ZeroBlock(block, -1);
    ZeroBlock(nullptr, 4);
    EXPECT_EQ(block[0], 1);
    EXPECT_EQ(block[3], 4);
}

TEST(TextsFit, CountsTheTerminator)
{
    const std::string s255(255, 'a');
    const std::string s256(256, 'a');
    EXPECT_TRUE(TextsFit(256, s255.c_str()));
    EXPECT_FALSE(TextsFit(256, s256.c_str()));
    EXPECT_TRUE(TextsFit(256, s255.substr(0, 250).c_str(), "\\", "abcd"));
    EXPECT_FALSE(TextsFit(256, s255.substr(0, 250).c_str(), "\\", "abcde"));
}

} // namespace
