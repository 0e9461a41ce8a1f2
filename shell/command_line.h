// Finding the pack path in the process's command line.
#ifndef QUORVEL_SHELL_COMMAND_LINE_H
#define QUORVEL_SHELL_COMMAND_LINE_H

#include <cstdint>

struct TextSpan {
    const char* begin;
    uint32_t length;
};

// The pack path named on a command line: everything after the program name
// and the spaces behind it, taken as one path. One pair of double quotes
// that encloses the whole of it is removed (the shell quotes paths it
// passes); any other quote, a trailing space or a second argument stays.
// Returns false when there is no argument.
bool FindCommandLineArgument(const char* line, TextSpan* argument);

#endif
