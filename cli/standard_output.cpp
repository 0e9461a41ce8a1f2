#include "cli/standard_output.h"

#include <string>

namespace cli {

namespace {

constexpr size_t STDOUT_BUFFER_BYTES = 256 * 1024;

// Main thread only. Once a write has failed nothing more is written: a
// list with a hole in it must not look complete.
std::string g_stdoutBuffer;
bool g_stdoutFailed = false;
SystemError g_stdoutError;

} // namespace

void WriteStdoutText(const char* text, size_t length)
{
    g_stdoutBuffer.append(text, length);
    if (g_stdoutBuffer.size() >= STDOUT_BUFFER_BYTES)
        FlushStdout();
}

bool FlushStdout(SystemError* error)
{
    if (!g_stdoutBuffer.empty() && !g_stdoutFailed)
        g_stdoutFailed =
            !WriteStdoutRaw(g_stdoutBuffer.data(), g_stdoutBuffer.size(), StdoutData::Text, &g_stdoutError);
    g_stdoutBuffer.clear();
    if (g_stdoutFailed && error != nullptr)
        *error = g_stdoutError;
    return !g_stdoutFailed;
}

bool WriteStdoutBytes(const void* data, size_t length, SystemError* error)
{
    if (!FlushStdout(error))
        return false;
    return WriteStdoutRaw(static_cast<const char*>(data), length, StdoutData::Bytes, error);
}

} // namespace cli
