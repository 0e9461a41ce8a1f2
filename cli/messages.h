// What every part of quorvel-cli says on standard error, and the exit
// codes a run ends with.
#ifndef QUORVEL_CLI_MESSAGES_H
#define QUORVEL_CLI_MESSAGES_H

#include <cstdint>
#include <string>

namespace cli {

enum ExitCode {
    EXIT_DONE = 0,        // everything done; verify: nothing found
    EXIT_SOME_FAILED = 1, // some entry refused, skipped or failed; verify: findings
    EXIT_FATAL = 2,       // usage error, unreadable or damaged pack, nothing written
};                        // interrupted: 128 + the signal's number (InterruptExitCode)

// One line on standard error, "quorvel-cli: " in front; clears a progress
// line first.
void Message(const std::string& text);
// The same without the line end, for a question answered on that line.
void Prompt(const std::string& text);

// Progress on standard error: only on a terminal, only when the work has
// lasted a second, at most a few redraws a second.
class Progress {
public:
    Progress(bool quiet, uint64_t totalEntries, uint64_t totalBytes);
    ~Progress();
    void Update(uint64_t entriesDone, uint64_t bytesDone);
    void Clear();
    // The one line that ends work done whole, "WHERE: N entries VERB,
    // SIZE", shown where the progress would be: on a terminal, unless quiet.
    void Summary(const std::string& where, const char* verb);

private:
    bool enabled_;
    uint64_t totalEntries_;
    uint64_t totalBytes_;
    double start_;
    double lastDraw_ = 0;
    bool shown_ = false;
};

} // namespace cli

#endif
