// The commands of quorvel-cli, each called once by main with its options
// parsed, each returning the program's exit code.
#ifndef QUORVEL_CLI_COMMANDS_H
#define QUORVEL_CLI_COMMANDS_H

#include "cli/messages.h"

#include <cstdint>
#include <string>
#include <vector>

namespace cli {

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

struct VerifyOptions {
    std::string pack;
    bool json = false;
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
int RunVerify(const VerifyOptions& options);
int RunCreate(const CreateOptions& options);
int RunUpdate(const UpdateOptions& options);
int RunDiff(const DiffOptions& options);
int RunPatch(const PatchOptions& options);
int RunMount(const MountOptions& options);

} // namespace cli

#endif
