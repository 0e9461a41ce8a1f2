#include "shell/command_line.h"

#include "support/text.h"

bool FindCommandLineArgument(const char* line, TextSpan* argument)
{
    if (line == nullptr || *line == 0)
        return false;
    const char* p = line;
    if (*p == '"') {
        ++p;
        while (*p != 0 && *p != '"')
            ++p;
        if (*p == 0)
            return false; // the program name's quote never closes
        ++p;
    } else {
        // The first character belongs to the name whatever it is.
        ++p;
        while (*p != 0 && *p != ' ')
            ++p;
    }
    while (*p == ' ')
        ++p;
    if (*p == 0)
        return false;
    uint32_t length = TextLength(p);
    if (length >= 2 && p[0] == '"' && p[length - 1] == '"') {
        uint32_t closing = 1;
        while (p[closing] != '"')
            ++closing;
        if (closing == length - 1) {
            ++p;
            length -= 2;
        }
    }
    argument->begin = p;
    argument->length = length;
    return true;
}
