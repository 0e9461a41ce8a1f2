// Standard output, buffered the same way on every platform over the
// platform's one raw write.
#ifndef QUORVEL_CLI_STANDARD_OUTPUT_H
#define QUORVEL_CLI_STANDARD_OUTPUT_H

#include "cli/platform.h"

#include <cstddef>

namespace cli {

// Text for the user's eyes: UTF-8, shown as Unicode on a Windows console.
void WriteStdoutText(const char* text, size_t length);
// Bytes as they are (cat), behind whatever text is buffered.
bool WriteStdoutBytes(const void* data, size_t length, SystemError* error);
// Writes what is buffered; false when anything written so far failed, with
// *error (when given) the error of that first failure.
bool FlushStdout(SystemError* error = nullptr);

} // namespace cli

#endif
