// quorvel-cli: quorvel's packs from a terminal and from scripts.
#include "cli/commands.h"
#include "cli/platform.h"
#include "cli/standard_output.h"

#include <CLI/CLI.hpp>

#include <iostream>

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

int Run(int argc, const char* const* argv)
{
    using namespace cli;
    CLI::App app{"quorvel-cli: list, extract, check and write quorvel's .pak files.\n"
                 "Exit status: 0 everything done, 1 some entry refused, skipped or failed\n"
                 "(verify: findings), 2 usage error, unreadable or damaged pack, nothing written,\n"
                 "130 interrupted."};
    app.set_version_flag("--version", std::string("quorvel-cli ") + QUORVEL_VERSION);
    app.require_subcommand(1);

    ListOptions list;
    CLI::App* listCommand = app.add_subcommand("list", "One entry name per line, in directory order");
    auto* longFlag = listCommand->add_flag("--long", list.longForm, "Size, offset (0x%08X) and name");
    listCommand->add_flag("--json", list.json, "JSON Lines, one object per entry")->excludes(longFlag);
    listCommand->add_option("PACK", list.pack, "The pack")->required();

    ExtractOptions extract;
    std::string overwrite;
    CLI::App* extractCommand =
        app.add_subcommand("extract", "Every entry, or those matching a PATTERN, into DIR");
    extractCommand->add_option("-C", extract.folder, "Folder to extract into (default: the current folder)")
        ->option_text("DIR");
    extractCommand
        ->add_option("--overwrite", overwrite,
                     "An existing file: ask (default on a terminal), never (default otherwise), always")
        ->check(CLI::IsMember({"ask", "never", "always"}));
    extractCommand->add_flag("-q,--quiet", extract.quiet, "No progress");
    extractCommand->add_option("PACK", extract.pack, "The pack")->required();
    extractCommand->add_option("PATTERN", extract.patterns,
                               "Glob over the whole name: * ? [...]; / and \\ both separators");

    std::string catPack;
    std::string catName;
    CLI::App* catCommand = app.add_subcommand("cat", "The entry's bytes on standard output");
    catCommand->add_option("PACK", catPack, "The pack")->required();
    catCommand->add_option("NAME", catName, "The entry's name as list prints it")->required();

    std::string verifyPack;
    bool verifyJson = false;
    CLI::App* verifyCommand = app.add_subcommand("verify", "Check the directory and the data area");
    verifyCommand->add_flag("--json", verifyJson, "One JSON object");
    verifyCommand->add_option("PACK", verifyPack, "The pack")->required();

    CreateOptions create;
    CLI::App* createCommand =
        app.add_subcommand("create", "A pack of every regular file under SOURCE_DIR");
    createCommand->add_option("--from-list", create.fromList, "Entry order: one name per line, as list prints them")
        ->option_text("FILE");
    createCommand->add_flag("--force", create.force, "Replace an existing PACK");
    createCommand->add_flag("-q,--quiet", create.quiet, "No progress");
    createCommand->add_option("PACK", create.pack, "The pack to write")->required();
    createCommand->add_option("SOURCE_DIR", create.source, "The folder to pack")->required();

    UpdateOptions update;
    CLI::App* updateCommand = app.add_subcommand(
        "update", "Replace, add and remove entries: PACK rewritten with the files of SOURCE_DIR");
    updateCommand->add_option("-o", update.output, "Write the new pack to OUT and leave PACK as it is")
        ->option_text("OUT");
    updateCommand->add_option("--remove", update.removals, "Remove the entries matching PATTERN (as extract's)")
        ->option_text("PATTERN")
        ->allow_extra_args(false);
    updateCommand->add_flag("--dry-run", update.dryRun, "Print what would change, as diff does; write nothing");
    updateCommand->add_flag("-q,--quiet", update.quiet, "No progress");
    updateCommand->add_option("PACK", update.pack, "The pack to update")->required();
    updateCommand->add_option("SOURCE_DIR", update.source, "The folder of files to put in");

    std::string diffOld;
    std::string diffNew;
    bool diffJson = false;
    CLI::App* diffCommand =
        app.add_subcommand("diff", "Entries added (A), removed (D), modified (M) from OLD to NEW");
    diffCommand->add_flag("--json", diffJson, "JSON Lines, one object per difference");
    diffCommand->add_option("OLD", diffOld, "The older pack")->required();
    diffCommand->add_option("NEW", diffNew, "The newer pack")->required();

    MountOptions mount;
    CLI::App* mountCommand =
        app.add_subcommand("mount", "The pack as a read-only folder at MOUNTPOINT (Linux, FUSE)");
    mountCommand->add_flag("-f", mount.foreground, "Stay in the foreground; Ctrl+C unmounts");
    mountCommand->add_option("-o", mount.fuseOptions, "FUSE mount options, e.g. allow_other")
        ->option_text("OPTIONS")
        ->allow_extra_args(false);
    mountCommand->add_option("PACK", mount.pack, "The pack")->required();
    mountCommand->add_option("MOUNTPOINT", mount.mountpoint, "An existing folder")->required();

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e);
        return code == 0 ? EXIT_DONE : EXIT_FATAL;
    }

    if (*listCommand)
        return RunList(list);
    if (*extractCommand) {
        if (overwrite == "ask")
            extract.overwrite = Overwrite::Ask;
        else if (overwrite == "never")
            extract.overwrite = Overwrite::Never;
        else if (overwrite == "always")
            extract.overwrite = Overwrite::Always;
        return RunExtract(extract);
    }
    if (*catCommand)
        return RunCat(catPack, catName);
    if (*verifyCommand)
        return RunVerify(verifyPack, verifyJson);
    if (*updateCommand)
        return RunUpdate(update);
    if (*diffCommand)
        return RunDiff(diffOld, diffNew, diffJson);
    if (*mountCommand)
        return RunMount(mount);
    return RunCreate(create);
}

} // namespace

#ifdef _WIN32

// The arguments as the system has them, in UTF-16, made UTF-8 for the rest
// of the program: the ANSI arguments would have lost every character
// outside the system's code page.
int wmain(int argc, wchar_t** argv)
{
    std::vector<std::string> arguments;
    for (int i = 0; i < argc; ++i) {
        const int length = WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, nullptr, 0, nullptr, nullptr);
        std::string argument(size_t(length > 0 ? length : 1), '\0');
        WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, argument.data(), length, nullptr, nullptr);
        argument.resize(argument.size() - 1);
        arguments.push_back(std::move(argument));
    }
    std::vector<const char*> pointers;
    for (const std::string& argument : arguments)
        pointers.push_back(argument.c_str());
    const int code = Run(argc, pointers.data());
    cli::FlushStdout();
    cli::RunEnded();
    return code;
}

#else

int main(int argc, char** argv)
{
    const int code = Run(argc, argv);
    cli::FlushStdout();
    cli::RunEnded();
    return code;
}

#endif
