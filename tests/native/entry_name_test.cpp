#include "support/entry_name.h"

#include <gtest/gtest.h>

namespace {

TEST(EntryName, AcceptsPlainNamesAndFolderParts)
{
    const char* const safe[] = {
        "a.txt", "sub\\x.bin", "sub/x.bin", "表\\a.pak",   "ソ",          "ソ\\予告.txt", "a..b",
        "..a",   "a..",        ".hidden",   "console.txt", "COM0",        "COM10.txt",    "LPT",
        "nulx",  "コン.txt",   "x y.txt",   "CONIN",       "CONIN$$",     "CONOUT",       "conout$x.txt",
        "LPT0",  "COM\xB4",    "COM\xC2",   "COM\xB9\xB9", "COM\xC3\xB9",
    };
    for (const char* name : safe)
        EXPECT_TRUE(IsSafeEntryName(name)) << name;
}

TEST(EntryName, RefusesNamesThatLeaveTheFolder)
{
    const char* const unsafe[] = {
        "",
        "\\x",
        "/x",
        "\\\\server\\share\\x",
        "C:x",
        "C:\\x",
        "a:stream",
        "x.txt::$DATA",
        "..",
        "..\\x",
        "sub\\..\\..\\x",
        "sub/../x",
        "a\\..",
        ".",
        ".\\x",
        "...",
        "a\\...\\b",
        "a\\\\b",
        "a\\",
        "a/",
        ". .\\x",
    };
    for (const char* name : unsafe)
        EXPECT_FALSE(IsSafeEntryName(name)) << name;
    EXPECT_FALSE(IsSafeEntryName(nullptr));
}

TEST(EntryName, RefusesDeviceNamesInAnyComponentWithAnyExtension)
{
    const char* const devices[] = {
        "CON",
        "con",
        "PRN",
        "AUX",
        "NUL",
        "nul.txt",
        "COM1",
        "com9.log",
        "LPT1",
        "lpt9",
        "sub\\CON",
        "sub\\aux.dat\\x",
        "CON .txt",
        "NUL..txt",
        "Com3.a.b",
        // The console, and ports numbered by a superscript digit as the
        // Western code page (one byte) or UTF-8 (two bytes) spells it.
        "CONIN$",
        "conin$.txt",
        "CONOUT$",
        "sub\\ConOut$ .log\\x",
        "COM\xB9",
        "lpt\xB2.txt",
        "COM\xB3",
        "LPT\xC2\xB9",
        "com\xC2\xB3.dat",
    };
    for (const char* name : devices)
        EXPECT_FALSE(IsSafeEntryName(name)) << name;
}

TEST(EntryName, TrailBytesThatEqualABackslashDoNotSplitComponents)
{
    // ソ is 83 5C: read bytewise, "ソ.." would look like "\x83" "\\" "..".
    EXPECT_TRUE(IsSafeEntryName("ソ.."));
    EXPECT_TRUE(IsSafeEntryName("表CON"));
    // A real separator after a double-byte character still splits.
    EXPECT_FALSE(IsSafeEntryName("ソ\\.."));
}

TEST(EntryName, RefusesLeadBytesFollowedByWhatCannotBeATrailByte)
{
    // The walk would take these pairs as one character and miss the
    // punctuation that the platform's conversion may see on its own.
    const char* const hidden[] = {
        "\x9F:stream", "a\x81/CON", "\x81/..\\x", "x\x88 ", "\xE0.", "\xFC\x01",
    };
    for (const char* name : hidden)
        EXPECT_FALSE(IsSafeEntryName(name)) << name;
    // Real double-byte characters and a lone lead byte at the end stay fine.
    for (const char* name : {"\x81\x40", "\x83\x5C.txt", "a\x81", "\x9F\xFC"})
        EXPECT_TRUE(IsSafeEntryName(name)) << name;
}

} // namespace
