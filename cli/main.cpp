// quorvel-cli: quorvel's packs from a terminal and from scripts.
#include "cli/commands.h"
#include "cli/names.h"
#include "cli/platform.h"
#include "cli/standard_output.h"

#include <CLI/CLI.hpp>

#include <exception>
#include <functional>
#include <sstream>

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

// The argument parser takes an argument written "[...]" for a list of
// values and splits it, so that '[ab]' would match "ab" and '[x,y]' become
// two patterns; and it quotes arguments in its messages as they are, so
// that a line feed or a terminal sequence in one would reach the terminal.
// Every such argument (and any that looks like a stand-in) reaches the
// parser as a stand-in, "\x01" N "\x02", that nothing typed is mistaken
// for, and the parsed values get the typed argument back; the parser's
// messages get it escaped. An option's value ("--name=value") is stood in
// for alone, so that the option is still recognised.
class StandIns {
public:
    std::vector<std::string> Hand(int argc, const char* const* argv)
    {
        std::vector<std::string> handed;
        for (int i = 0; i < argc; ++i) {
            const std::string argument = argv[i];
            const bool list = argument.size() >= 2 && argument.front() == '[' && argument.back() == ']';
            const bool unsafe = cli::EscapeControls(argument) != argument;
            if (i == 0 || !(list || unsafe || argument.find('\x01') != std::string::npos)) {
                handed.push_back(argument);
                continue;
            }
            const size_t equals = argument.find('=');
            size_t valueStart = argument.rfind("--", 0) == 0 && equals != std::string::npos ? equals + 1 : 0;
            const std::string name = argument.substr(0, valueStart);
            if (cli::EscapeControls(name) != name)
                valueStart = 0;
            handed.push_back(argument.substr(0, valueStart) + "\x01" + std::to_string(typed_.size()) + "\x02");
            typed_.push_back(argument.substr(valueStart));
        }
        return handed;
    }

    // Every stand-in in text (a value, or the parser's message) as typed;
    // escaped (for a message) when escape is set.
    std::string Restore(const std::string& text, bool escape = false) const
    {
        std::string result;
        size_t i = 0;
        while (i < text.size()) {
            const size_t end = text[i] == '\x01' ? text.find('\x02', i) : std::string::npos;
            if (end != std::string::npos) {
                const size_t index = std::stoul(text.substr(i + 1, end - i - 1));
                result += escape ? cli::EscapeControls(typed_.at(index)) : typed_.at(index);
                i = end + 1;
            } else {
                result.push_back(text[i++]);
            }
        }
        return result;
    }

    // Every option of every command that received a stand-in takes the
    // typed arguments again, one value each, and sets its variable anew.
    void RestoreParsed(CLI::App* app) const
    {
        std::vector<CLI::App*> commands = app->get_subcommands({});
        commands.push_back(app);
        for (CLI::App* command : commands) {
            for (CLI::Option* option : command->get_options()) {
                std::vector<std::string> values = option->results();
                bool restored = false;
                for (std::string& value : values) {
                    std::string typed = Restore(value);
                    restored = restored || typed != value;
                    value = std::move(typed);
                }
                if (!restored)
                    continue;
                option->clear();
                option->allow_extra_args(false);
                for (const std::string& value : values)
                    option->add_result(value);
                option->run_callback();
            }
        }
    }

private:
    std::vector<std::string> typed_;
};

// The parser's own texts (help, version, usage errors) through quorvel-cli's
// standard output and error; the arguments it quotes are stand-ins, given
// back escaped, and its own line ends stay.
int ParserExit(const CLI::App& app, const CLI::ParseError& error, const StandIns& standIns)
{
    std::ostringstream out;
    std::ostringstream err;
    const int code = app.exit(error, out, err);
    const std::string help = out.str();
    cli::WriteStdoutText(help.data(), help.size());
    std::string message = standIns.Restore(err.str(), true);
    if (!message.empty()) {
        if (message.back() != '\n')
            message.push_back('\n');
        cli::WriteStderrText(message);
    }
    return code == 0 ? cli::EXIT_DONE : cli::EXIT_FATAL;
}

// What is wrong with the arguments before the command, which the parser
// would only answer with "a command is required": an option the program
// does not have, or a first word that is no command. Empty when nothing is.
std::string UnknownBeforeCommand(const CLI::App& app, int argc, const char* const* argv)
{
    int i = 1;
    for (; i < argc && argv[i][0] == '-'; ++i) {
        const std::string option = argv[i];
        if (option != "-h" && option != "--help" && option != "--version")
            return "unknown option '" + option + "'; run with --help for more information";
    }
    if (i != 1 || argc < 2)
        return {};
    std::string commands;
    bool known = false;
    for (const CLI::App* command : app.get_subcommands({})) {
        known = known || command->get_name() == argv[1];
        commands += (commands.empty() ? "" : ", ") + command->get_name();
    }
    if (known)
        return {};
    return std::string("unknown command '") + argv[1] + "' (the commands: " + commands +
           "); run with --help for more information";
}

// The commands, each with what it runs and what the parser fills in for
// it. The options' variables must outlive the parse: the parser writes
// into them, and each runner reads them once the parse is over.
struct Commands {
    // Registered by each AddX: the command the parse chose is found here.
    std::vector<std::pair<const CLI::App*, std::function<int()>>> runners;

    void Add(const CLI::App* command, std::function<int()> run) { runners.emplace_back(command, std::move(run)); }

    cli::ListOptions listOptions;
    cli::ExtractOptions extractOptions;
    std::string overwrite;
    cli::CatOptions catOptions;
    cli::VerifyOptions verifyOptions;
    cli::CreateOptions createOptions;
    cli::UpdateOptions updateOptions;
    cli::DiffOptions diffOptions;
    cli::PatchOptions patchOptions;
    cli::MountOptions mountOptions;
};

// ---- The commands, in the order --help lists them --------------------------------

void AddList(CLI::App& app, Commands* commands)
{
    cli::ListOptions& list = commands->listOptions;
    CLI::App* command = app.add_subcommand("list", "One entry name per line, in directory order");
    auto* longFlag =
        command->add_flag("--long", list.longForm, "Index (counting from 0), size, offset (0x%08X) and name");
    command->add_flag("--json", list.json, "JSON Lines, one object per entry")->excludes(longFlag);
    command->add_option("PACK", list.pack, "The pack")->required();
    commands->Add(command, [&list] { return cli::RunList(list); });
}

void AddExtract(CLI::App& app, Commands* commands)
{
    cli::ExtractOptions& extract = commands->extractOptions;
    CLI::App* command = app.add_subcommand("extract", "Every entry, or those matching a PATTERN, into DIR");
    command->add_option("-C", extract.folder, "Folder to extract into (default: the current folder)")
        ->option_text("DIR");
    command
        ->add_option("--overwrite", commands->overwrite,
                     "An existing file: ask (default on a terminal), never (default otherwise), always")
        ->check(CLI::IsMember({"ask", "never", "always"}));
    command->add_flag("-q,--quiet", extract.quiet, "No progress, no summary");
    command->add_option("PACK", extract.pack, "The pack")->required();
    command->add_option("PATTERN", extract.patterns, "Glob over the whole name: * ? [...]; / and \\ both separators");
    commands->Add(command, [&extract, &overwrite = commands->overwrite] {
        if (overwrite == "ask")
            extract.overwrite = cli::Overwrite::Ask;
        else if (overwrite == "never")
            extract.overwrite = cli::Overwrite::Never;
        else if (overwrite == "always")
            extract.overwrite = cli::Overwrite::Always;
        return cli::RunExtract(extract);
    });
}

void AddCat(CLI::App& app, Commands* commands)
{
    cli::CatOptions& cat = commands->catOptions;
    CLI::App* command = app.add_subcommand("cat", "The entry's bytes on standard output");
    CLI::Option* index =
        command
            ->add_option("--index", cat.index,
                         "The entry with this index, counting from 0 (list --long shows it first, list --json "
                         "as index)")
            ->option_text("N");
    command->add_option("PACK", cat.pack, "The pack")->required();
    command->add_option("NAME", cat.name, "The entry's name as list prints it")->excludes(index);
    commands->Add(command, [&cat, index, command] {
        cat.byIndex = index->count() > 0;
        if (!cat.byIndex && command->count("NAME") == 0) {
            cli::Message("cat: NAME or --index N is required");
            return int(cli::EXIT_FATAL);
        }
        return cli::RunCat(cat);
    });
}

void AddVerify(CLI::App& app, Commands* commands)
{
    cli::VerifyOptions& verify = commands->verifyOptions;
    CLI::App* command = app.add_subcommand("verify", "Check the directory and the data area");
    command->add_flag("--json", verify.json, "One JSON object");
    command->add_option("PACK", verify.pack, "The pack")->required();
    commands->Add(command, [&verify] { return cli::RunVerify(verify); });
}

void AddCreate(CLI::App& app, Commands* commands)
{
    cli::CreateOptions& create = commands->createOptions;
    CLI::App* command = app.add_subcommand("create", "A pack of every regular file under SOURCE_DIR");
    command
        ->add_option("--from-list", create.fromList,
                     "Entry order: one name per line as list prints them, or the lines of list --json "
                     "(when every line is one; names then keep their stored bytes)")
        ->option_text("FILE");
    command->add_flag("--force", create.force, "Replace an existing PACK");
    command->add_flag("-q,--quiet", create.quiet, "No progress, no summary");
    command->add_option("PACK", create.pack, "The pack to write")->required();
    command->add_option("SOURCE_DIR", create.source, "The folder to pack")->required();
    commands->Add(command, [&create] { return cli::RunCreate(create); });
}

void AddUpdate(CLI::App& app, Commands* commands)
{
    cli::UpdateOptions& update = commands->updateOptions;
    CLI::App* command =
        app.add_subcommand("update", "Replace, add and remove entries: PACK rewritten with the files of SOURCE_DIR");
    command->add_option("-o", update.output, "Write the new pack to OUT and leave PACK as it is")
        ->option_text("OUT")
        ->check([](const std::string& out) { return out.empty() ? std::string("OUT is empty") : std::string(); });
    command->add_option("--remove", update.removals, "Remove the entries matching PATTERN (as extract's)")
        ->option_text("PATTERN ...")
        ->allow_extra_args(false);
    command->add_flag("--force", update.force, "Replace an existing OUT");
    command->add_flag("--dry-run", update.dryRun, "Print what would change, as diff does; write nothing");
    command->add_flag("-q,--quiet", update.quiet, "No progress, no summary");
    command->add_option("PACK", update.pack, "The pack to update")->required();
    command->add_option("SOURCE_DIR", update.source, "The folder of files to put in");
    commands->Add(command, [&update] { return cli::RunUpdate(update); });
}

void AddDiff(CLI::App& app, Commands* commands)
{
    cli::DiffOptions& diff = commands->diffOptions;
    CLI::App* command = app.add_subcommand("diff", "Entries added (A), removed (D), modified (M) from OLD to NEW");
    command->add_flag("--json", diff.json, "JSON Lines, one object per difference");
    command->add_option("--patch", diff.patch, "Also write the patch that turns OLD into NEW to FILE")
        ->option_text("FILE");
    command->add_flag("--force", diff.force, "With --patch: replace an existing FILE");
    command->add_option("OLD", diff.oldPack, "The older pack")->required();
    command->add_option("NEW", diff.newPack, "The newer pack")->required();
    commands->Add(command, [&diff, command] {
        if (command->count("--patch") > 0 && diff.patch.empty()) {
            cli::Message("diff: --patch needs a file name");
            return int(cli::EXIT_FATAL);
        }
        if (diff.force && diff.patch.empty()) {
            cli::Message("diff: --force replaces the FILE of --patch, which is not given");
            return int(cli::EXIT_FATAL);
        }
        return cli::RunDiff(diff);
    });
}

void AddPatch(CLI::App& app, Commands* commands)
{
    cli::PatchOptions& patch = commands->patchOptions;
    CLI::App* command = app.add_subcommand(
        "patch", "Apply a patch made by diff --patch: PACK rewritten with its entries, once all are checked");
    command->add_option("-o", patch.output, "Write the new pack to OUT and leave PACK as it is")->option_text("OUT");
    command->add_flag("--force", patch.force, "Replace an existing OUT");
    command->add_flag("--dry-run", patch.dryRun, "Check and print what would change, as diff does; write nothing");
    command->add_flag("-q,--quiet", patch.quiet, "No progress and no summary");
    command->add_option("PACK", patch.pack, "The pack to patch")->required();
    command->add_option("FILE", patch.patch, "The patch")->required();
    commands->Add(command, [&patch, command] {
        if (command->count("-o") > 0 && patch.output.empty()) {
            cli::Message("patch: -o needs a file name");
            return int(cli::EXIT_FATAL);
        }
        return cli::RunPatch(patch);
    });
}

void AddMount(CLI::App& app, Commands* commands)
{
    cli::MountOptions& mount = commands->mountOptions;
    CLI::App* command = app.add_subcommand("mount", "The pack as a read-only folder at MOUNTPOINT (Linux, FUSE)");
    command->add_flag("-f", mount.foreground, "Stay in the foreground; Ctrl+C unmounts (exit 0)");
    command->add_option("-o", mount.fuseOptions, "FUSE mount options, e.g. allow_other; not rw, max_read")
        ->option_text("OPTIONS")
        ->allow_extra_args(false);
    command->add_option("PACK", mount.pack, "The pack")->required();
    command->add_option("MOUNTPOINT", mount.mountpoint, "An existing folder; fusermount3 -u MOUNTPOINT unmounts")
        ->required();
    commands->Add(command, [&mount] { return cli::RunMount(mount); });
}

// The command that the parse chose, with what it was given.
int RunChosen(const Commands& commands)
{
    for (const auto& [command, run] : commands.runners) {
        if (*command)
            return run();
    }
    cli::Message("internal error: the command given has nothing to run");
    return cli::EXIT_FATAL;
}

int Run(int argc, const char* const* argv)
{
    using namespace cli;
    CLI::App app{"quorvel-cli: list, extract, check and write quorvel's .pak files.\n"
                 "Exit status: 0 everything done, 1 some entry refused, skipped or failed\n"
                 "(verify: findings), 2 usage error, unreadable or damaged pack, output that\n"
                 "could not be written, nothing written, 129 hung up (SIGHUP), 130 interrupted\n"
                 "(Ctrl+C), 143 terminated (SIGTERM): the file being written is removed."};
    app.set_version_flag("--version", std::string("quorvel-cli ") + QUORVEL_VERSION);
    app.require_subcommand(1);
    Commands commands;
    AddList(app, &commands);
    AddExtract(app, &commands);
    AddCat(app, &commands);
    AddVerify(app, &commands);
    AddCreate(app, &commands);
    AddUpdate(app, &commands);
    AddDiff(app, &commands);
    AddPatch(app, &commands);
    AddMount(app, &commands);

    const std::string unknown = UnknownBeforeCommand(app, argc, argv);
    if (!unknown.empty()) {
        Message(unknown);
        return EXIT_FATAL;
    }
    StandIns standIns;
    std::vector<std::string> handed = standIns.Hand(argc, argv);
    std::vector<const char*> pointers;
    for (const std::string& argument : handed)
        pointers.push_back(argument.c_str());
    try {
        app.parse(argc, pointers.data());
    } catch (const CLI::ParseError& e) {
        return ParserExit(app, e, standIns);
    }
    standIns.RestoreParsed(&app);
    return RunChosen(commands);
}

// The run, its standard output written out, and the one last handler: no
// exception ever leaves main.
int RunAndFinish(int argc, const char* const* argv)
{
    int code = cli::EXIT_FATAL;
    try {
        code = Run(argc, argv);
    } catch (const std::exception& e) {
        cli::Message(std::string("internal error: ") + e.what());
    } catch (...) {
        cli::Message("internal error");
    }
    // A command that failed has said why already (diff and update say so
    // of their own output); any other run whose output was lost fails here.
    cli::SystemError error;
    if (!cli::FlushStdout(&error) && code != cli::EXIT_FATAL) {
        cli::Message("cannot write to standard output: " + error.Text());
        code = cli::EXIT_FATAL;
    }
    cli::RunEnded();
    return code;
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
    return RunAndFinish(argc, pointers.data());
}

#else

int main(int argc, char** argv)
{
    return RunAndFinish(argc, argv);
}

#endif
