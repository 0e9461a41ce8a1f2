// The commands of quorvel-cli, each called once by main with its options
// parsed, each returning the program's exit code.
#ifndef QUORVEL_CLI_COMMANDS_H
#define QUORVEL_CLI_COMMANDS_H

#include <cstdint>
#include <string>
#include <vector>

namespace cli {

enum ExitCode {
    EXIT_DONE = 0,        // everything done; verify: nothing found
    EXIT_SOME_FAILED = 1, // some entry refused, skipped or failed; verify: findings
    EXIT_FATAL = 2,       // usage error, unreadable or damaged pack, nothing written
};                        // interrupted: 128 + the signal's number (InterruptExitCode)

enum class Overwrite { Default, Ask, Never, Always };

struct ListOptions {
    std::string pack;
    bool longForm = false;
    bool json = false;
};

struct ExtractOptions {
    std::string pack;
    std::string folder = ".";
    std::vector<std::string> patterns;
    Overwrite overwrite = Overwrite::Default;
    bool quiet = false;
};

struct CatOptions {
    std::string pack;
    std::string name;
    bool byIndex = false;
    uint32_t index = 0;
};

struct CreateOptions {
    std::string pack;
    std::string source;
    std::string fromList;
    bool force = false;
    bool quiet = false;
};

struct UpdateOptions {
    std::string pack;
    std::string source;                // empty: only removals
    std::string output;                // empty: PACK itself is replaced
    std::vector<std::string> removals; // patterns, as extract's
    bool force = false;                // an existing OUT may be replaced
    bool dryRun = false;
    bool quiet = false;
};

struct DiffOptions {
    std::string oldPack;
    std::string newPack;
    bool json = false;
    std::string patch; // --patch: the patch file to write; empty for none
    bool force = false;
};

struct PatchOptions {
    std::string pack;
    std::string patch;
    std::string output; // empty: PACK itself is replaced
    bool force = false;
    bool dryRun = false;
    bool quiet = false;
};

struct MountOptions {
    std::string pack;
    std::string mountpoint;
    bool foreground = false;
    std::vector<std::string> fuseOptions; // each as given after -o
};

int RunList(const ListOptions& options);
int RunCat(const CatOptions& options);
int RunExtract(const ExtractOptions& options);
int RunVerify(const std::string& pack, bool json);
int RunCreate(const CreateOptions& options);
int RunUpdate(const UpdateOptions& options);
int RunDiff(const DiffOptions& options);
int RunPatch(const PatchOptions& options);
int RunMount(const MountOptions& options);

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
