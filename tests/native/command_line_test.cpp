#include "shell/command_line.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct Row {
    const char* line;
    bool found;
    const char* argument;
};

TEST(CommandLine, FindsThePackPathAfterTheProgramName)
{
    const Row rows[] = {
        {"", false, ""},
        {"quorvel.exe", false, ""},
        {"\"C:\\Program Files\\quorvel.exe\"", false, ""},
        {"\"C:\\Program Files\\quorvel.exe\"   ", false, ""},
        {"quorvel.exe   ", false, ""},
        {"\"C:\\p q\\quorvel.exe\"  C:\\My Packs\\data.pak", true, "C:\\My Packs\\data.pak"},
        {"quorvel.exe C:\\a.pak", true, "C:\\a.pak"},
        // Two arguments are one path, with the space between them.
        {"quorvel.exe a.pak b.pak", true, "a.pak b.pak"},
        // Trailing spaces stay part of the path.
        {"quorvel.exe a.pak  ", true, "a.pak  "},
        // Directly behind a quoted name, without a space.
        {"\"quorvel.exe\"a.pak", true, "a.pak"},
        // A tab is no separator: the unquoted name runs on.
        {"quorvel.exe\ta.pak", false, ""},
        {"\"quorvel.exe\"\ta.pak", true, "\ta.pak"},
        // The program name's quote never closes: no argument.
        {"\"C:\\quorvel.exe a.pak", false, ""},
        // The first character belongs to the name, even a space.
        {" x a.pak", true, "a.pak"},
        // One pair of quotes around the whole argument is removed.
        {"quorvel.exe \"C:\\My Packs\\data.pak\"", true, "C:\\My Packs\\data.pak"},
        {"\"quorvel.exe\" \"C:\\表\\a.pak\"", true, "C:\\表\\a.pak"},
        // Quotes that do not enclose the whole argument stay.
        {"quorvel.exe \"a.pak\" \"b.pak\"", true, "\"a.pak\" \"b.pak\""},
        {"quorvel.exe \"a.pak\" ", true, "\"a.pak\" "},
        {"quorvel.exe \"a.pak", true, "\"a.pak"},
        {"quorvel.exe a\"b\".pak", true, "a\"b\".pak"},
        {"quorvel.exe \"", true, "\""},
        {"quorvel.exe \"\"", true, ""},
    };
    for (const Row& row : rows) {
        TextSpan span{};
        const bool found = FindCommandLineArgument(row.line, &span);
        EXPECT_EQ(found, row.found) << "[" << row.line << "]";
        if (found && row.found)
            EXPECT_EQ(std::string(span.begin, span.length), row.argument) << "[" << row.line << "]";
    }
    TextSpan span{};
    EXPECT_FALSE(FindCommandLineArgument(nullptr, &span));
}

} // namespace
