// quorvel-cli end to end on Linux: the built program run on packs written
// by quorvel's pack writer, its files, output and exit codes checked.
#include "cli/glob.h"
#include "cli/names.h"
#include "cli/patch_file.h"
#include "cli/sha256.h"
#include "pack_writer.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iconv.h>
#include <map>
#include <poll.h>
#include <sched.h>
#include <set>
#include <sstream>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

std::string g_program; // the quorvel-cli under test, from the command line

struct Result {
    int code;
    std::string out;
    std::string err;
};

std::string ReadText(const fs::path& path)
{
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

uint64_t FileSize(const fs::path& path)
{
    return fs::file_size(path);
}

void WriteText(const fs::path& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary) << text;
}

// cp932 bytes by the platform's converter, independent of the program's.
std::string Sjis(const std::string& utf8)
{
    iconv_t converter = iconv_open("CP932", "UTF-8");
    std::string out(utf8.size() * 2, '\0');
    char* in = const_cast<char*>(utf8.data());
    size_t inLeft = utf8.size();
    char* o = out.data();
    size_t outLeft = out.size();
    iconv(converter, &in, &inLeft, &o, &outLeft);
    iconv_close(converter);
    out.resize(out.size() - outLeft);
    return out;
}

pakwriter::Bytes B(const std::string& text)
{
    return pakwriter::Bytes(text.begin(), text.end());
}

// In a forked child: becomes the program with args, run by wrapper when
// one is given (a tracer, with its own arguments); 127 when it cannot.
[[noreturn]] void ExecProgram(const std::vector<std::string>& args, const std::vector<std::string>& wrapper = {})
{
    std::vector<char*> argv;
    for (const std::string& w : wrapper)
        argv.push_back(const_cast<char*>(w.c_str()));
    argv.push_back(const_cast<char*>(g_program.c_str()));
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
}

class Cli : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/quorvel-cli-test-XXXXXX";
        base_ = mkdtemp(pattern);
        pack_ = base_ / "test.pak";
        out_ = base_ / "out";
    }
    void TearDown() override { fs::remove_all(base_); }

    // Runs the program with the given standard input; start fills in the
    // child's id for tests that signal it; inChild runs in the child before
    // the program starts; standard output goes to stdoutPath when given.
    Result Run(const std::vector<std::string>& args, const std::string& input = "",
               std::atomic<pid_t>* started = nullptr, const std::function<void()>& inChild = {},
               const char* stdoutPath = nullptr)
    {
        WriteText(base_ / ".stdin", input);
        fs::remove(base_ / ".stdout");
        const pid_t child = fork();
        if (child == 0) {
            if (inChild)
                inChild();
            dup2(open((base_ / ".stdin").c_str(), O_RDONLY), 0);
            const std::string out = stdoutPath != nullptr ? stdoutPath : (base_ / ".stdout").string();
            dup2(open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
            dup2(open((base_ / ".stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
            ExecProgram(args, wrapper_);
        }
        if (started != nullptr)
            *started = child;
        return {Wait(child), ReadText(base_ / ".stdout"), ReadText(base_ / ".stderr")};
    }

    // The exit code; a death by signal N as -N, so that a program killed by
    // SIGINT is never taken for one that ended itself with 130. A program
    // that hangs (a copy loop that never ends) fails its test instead of
    // stopping the whole run.
    static int Wait(pid_t child)
    {
        int status = 0;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
        while (waitpid(child, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                ADD_FAILURE() << "still running after two minutes; killed";
                kill(child, SIGKILL);
                waitpid(child, &status, 0);
                break;
            }
            usleep(2000);
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    }

    void WritePack(const std::vector<pakwriter::Entry>& entries)
    {
        ASSERT_TRUE(pakwriter::WriteFile(pack_, pakwriter::BuildPack(entries)));
    }

    // Every path under the test folder but the program's own scratch files.
    std::set<std::string> Tree()
    {
        std::set<std::string> paths;
        for (const auto& item : fs::recursive_directory_iterator(base_)) {
            const std::string name = item.path().filename();
            if (name.rfind(".std", 0) != 0)
                paths.insert(fs::relative(item.path(), base_));
        }
        return paths;
    }

    // Every path under the test folder with what it holds (a file's bytes,
    // a link's target), the program's scratch files aside.
    std::map<std::string, std::string> Snapshot()
    {
        std::map<std::string, std::string> held;
        for (const std::string& path : Tree()) {
            const fs::path at = base_ / path;
            held[path] = fs::is_symlink(at)        ? "-> " + fs::read_symlink(at).string()
                         : fs::is_regular_file(at) ? ReadText(at)
                                                   : "(folder)";
        }
        return held;
    }

    // Starts the program without waiting for it, standard error to errPath.
    static pid_t Start(const std::vector<std::string>& args, const fs::path& errPath)
    {
        const pid_t child = fork();
        if (child == 0) {
            dup2(open("/dev/null", O_RDWR), 0);
            dup2(open("/dev/null", O_RDWR), 1);
            dup2(open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
            ExecProgram(args);
        }
        return child;
    }

    fs::path base_;
    fs::path pack_;
    fs::path out_;
    std::vector<std::string> wrapper_; // what Run starts the program with
};

// ---- Names that must never be written outside DIR

struct HostileName {
    const char* why;
    std::string name;
};

TEST_F(Cli, HostileNamesAreRefusedAndTheOthersGoOn)
{
    std::string kana90;
    for (int i = 0; i < 90; ++i)
        kana90 += "あ";
    const std::vector<HostileName> hostile = {
        {"absolute", "/tmp/quorvel-escape.txt"},
        {"absolute, backslash", "\\escape.txt"},
        {"drive", "C:\\escape.txt"},
        {"drive-relative", "C:escape.txt"},
        {"parent", "..\\escape.txt"},
        {"parent, slash", "../escape.txt"},
        {"parent deeper", "a\\..\\..\\escape.txt"},
        {"stream", "ok.txt:hidden"},
        {"device", "CON"},
        {"device with extension", "sub\\nul.txt"},
        {"numbered device", "COM1.log"},
        {"dots and spaces", "a\\ . \\x.txt"},
        {"empty part", "a\\\\x.txt"},
        {"separator behind a lead byte", "\x81/..\x81/escape.txt"},
        {"dot behind a lead byte", "\x81."
                                   "\x81./escape.txt"},
        {"control byte", "line\nfeed.txt"},
        {"control byte in a folder part", "esc\x1B]0;x\x07\\a.txt"},
        {"the last control byte", "us\x1F.txt"},
        {"delete byte", "del\x7F.txt"},
        // 270 bytes in UTF-8: the folder made for it must not stay behind.
        {"a new folder, then a name Linux cannot make", "new\\" + Sjis(kana90)},
    };
    std::vector<pakwriter::Entry> entries;
    for (const HostileName& row : hostile)
        entries.push_back({row.name, B("bad")});
    entries.push_back({Sjis("ソース\\良い.txt"), B("good")});
    WritePack(entries);
    fs::create_directory(out_);
    const std::set<std::string> before = Tree();

    const Result r = Run({"extract", "-C", out_, pack_});
    EXPECT_EQ(r.code, 1);
    std::set<std::string> expected = before;
    expected.insert("out/ソース");
    expected.insert("out/ソース/良い.txt");
    EXPECT_EQ(Tree(), expected);
    EXPECT_FALSE(fs::exists("/tmp/quorvel-escape.txt"));
    for (size_t i = 0; i < hostile.size(); ++i) {
        const std::string hex = cli::HexBytes(hostile[i].name);
        EXPECT_NE(r.err.find("entry " + std::to_string(i) + " "), std::string::npos) << hostile[i].why;
        EXPECT_NE(r.err.find("name_hex " + hex), std::string::npos) << hostile[i].why;
    }
}

TEST_F(Cli, LinksInDirAreNeverFollowed)
{
    fs::create_directories(out_);
    fs::create_directories(base_ / "outside");
    fs::create_directory_symlink(base_ / "outside", out_ / "link");
    fs::create_symlink(base_ / "outside" / "target.txt", out_ / "target.txt");
    WriteText(out_ / "afile", "a file");
    WritePack({{"link\\evil.txt", B("x")},
               {"link\\deeper\\evil.txt", B("x")},
               {"target.txt", B("x")},
               {"afile\\x.txt", B("x")},
               {"fine.txt", B("ok")}});
    for (const char* policy : {"--overwrite=never", "--overwrite=always"}) {
        const Result r = Run({"extract", policy, "-C", out_, pack_});
        EXPECT_EQ(r.code, 1) << policy;
        EXPECT_TRUE(fs::is_empty(base_ / "outside")) << policy;
        EXPECT_TRUE(fs::is_symlink(out_ / "target.txt")) << policy;
        EXPECT_EQ(ReadText(out_ / "fine.txt"), "ok") << policy;
        EXPECT_NE(r.err.find("symbolic link"), std::string::npos) << policy;
        EXPECT_NE(r.err.find("not a folder"), std::string::npos) << policy;
    }
    // One file under two names that no name rule links (as a short 8.3
    // name or another letter case can be): a folder mounted over another.
    if (geteuid() != 0) {
        std::printf("a new mount namespace needs root: the mounted folder is left out\n");
        return;
    }
    fs::create_directories(out_ / "a");
    fs::create_directories(out_ / "b");
    WritePack({{"a\\x.txt", B("first")}, {"b\\x.txt", B("second")}});
    const std::string a = out_ / "a";
    const std::string b = out_ / "b";
    const Result r = Run({"extract", "--overwrite=always", "-C", out_, pack_}, "", nullptr, [&] {
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount(a.c_str(), b.c_str(), nullptr, MS_BIND, nullptr) != 0)
            _exit(125);
    });
    EXPECT_EQ(r.code, 1) << r.err;
    EXPECT_NE(r.err.find("entry 1 'b/x.txt' (name_hex 625c782e747874): refused: same file as entry 0"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(ReadText(out_ / "a" / "x.txt"), "first");
}

// ---- Names that are hostile to terminals, scripts and file systems

struct NameRow {
    const char* why;
    std::string stored;
    std::string shown;        // as list prints it
    std::string partner;      // another name giving the same file, or ""
    bool partnerSameFileHere; // on Linux too, not only where case is ignored
    bool extracts;
    const char* finding; // verify's finding for the name alone, or nullptr
    bool severalForms;   // a text list cannot keep its bytes, and says so
    bool textKeepsBytes; // a text list gives the same bytes back
};

TEST_F(Cli, HostileNamesThroughListVerifyExtractAndBack)
{
    std::string hundred;
    for (int i = 0; i < 100; ++i)
        hundred += "あ";
    std::string halfWidth; // 85 single cp932 bytes, 255 in UTF-8: the longest part Linux takes
    for (int i = 0; i < 17; ++i)
        halfWidth += "｡ｱｶﾝﾟ";
    const std::vector<NameRow> rows = {
        {"CR and LF", "a\r\nb.txt", "a\\x0D\\x0Ab.txt", "", false, false, "refused_names", false, false},
        {"terminal title and bell", "\x1B]0;t\x07.txt", "\\x1B]0;t\\x07.txt", "", false, false, "refused_names", false,
         false},
        {"DEL", "d\x7F.txt", "d\\x7F.txt", "", false, false, "refused_names", false, false},
        {"0x1F", "u\x1F.txt", "u\\x1F.txt", "", false, false, "refused_names", false, false},
        {"IBM numeral one", "\xFA\x4A.txt", "Ⅰ.txt", "\x87\x54.txt", true, true, nullptr, true, false},
        {"IBM kanji, NEC form", "\xED\x40.txt", "纊.txt", "\xFA\x5C.txt", true, true, nullptr, true, false},
        {"NEC sign", "\x87\x90.txt", "≒.txt", "\x81\xE0.txt", true, true, nullptr, true, false},
        {"0x2F as separator", "d/e.txt", "d/e.txt", "d\\e.txt", true, true, nullptr, false, false},
        {"canonical form", "\x87\x54.txt", "Ⅰ.txt", "", false, true, nullptr, true, true},
        {"letter case", "Case.txt", "Case.txt", "CASE.txt", false, true, nullptr, false, true},
        {"a JSON object", "{}", "{}", "", false, true, nullptr, false, true},
        {"0x80", "b\x80.txt", "b\\x80.txt", "", false, false, "invalid_names", false, false},
        {"300 bytes in UTF-8", Sjis(hundred + ".txt"), hundred + ".txt", "", false, false, "long_parts", false, false},
        {"255 bytes in UTF-8", Sjis(halfWidth), halfWidth, "", false, true, nullptr, false, true},
    };
    // Shift_JIS file names, as packs unpacked on Linux often have: not UTF-8.
    const fs::path pack = base_ / "\x83\x70\x83\x62\x83\x4E.pak";
    const std::string p = pack;
    const std::string out = out_;
    const std::string copy = base_ / "copy.pak";
    const std::string order = base_ / "order";
    for (const NameRow& row : rows) {
        ASSERT_TRUE(pakwriter::WriteFile(pack, pakwriter::BuildPack({{row.stored, B("first")}})));
        fs::remove_all(out_);
        const Result list = Run({"list", p});
        EXPECT_EQ(list.out, row.shown + "\n") << row.why;
        const Result json = Run({"list", "--json", p});
        ASSERT_EQ(json.code, 0) << row.why;
        EXPECT_EQ(nlohmann::json::parse(json.out)["name_hex"], cli::HexBytes(row.stored)) << row.why;
        const Result verify = Run({"verify", "--json", p});
        EXPECT_EQ(verify.code, row.finding == nullptr ? 0 : 1) << row.why;
        const auto report = nlohmann::json::parse(verify.out);
        EXPECT_EQ(report["pack_hex"], cli::HexBytes(p)) << row.why;
        if (row.finding != nullptr)
            EXPECT_EQ(report[row.finding].size(), 1u) << row.why;
        const Result extract = Run({"extract", "-C", out, p});
        EXPECT_EQ(extract.code, row.extracts ? 0 : 1) << row.why << extract.err;
        EXPECT_EQ(extract.err.find('\x1B'), std::string::npos) << row.why;
        if (row.extracts) {
            // Back through list --json: the same bytes. Through a text list:
            // the same bytes, or a word that they change.
            for (const bool asJson : {true, false}) {
                WriteText(order, asJson ? json.out : list.out);
                fs::remove(copy);
                const Result create = Run({"create", "--from-list", order, copy, out});
                EXPECT_EQ(create.code, 0) << row.why << create.err;
                EXPECT_EQ(ReadText(copy) == ReadText(pack), asJson || row.textKeepsBytes) << row.why << asJson;
                EXPECT_EQ(create.err.find("more than one code page 932 form") != std::string::npos,
                          !asJson && row.severalForms)
                    << row.why << asJson;
            }
        } else {
            EXPECT_EQ(Tree().count("out"), 1u) << row.why;
            EXPECT_TRUE(fs::is_empty(out_)) << row.why;
        }
        if (row.partner.empty())
            continue;
        // Two names, one file: the later never replaces the earlier.
        ASSERT_TRUE(
            pakwriter::WriteFile(pack, pakwriter::BuildPack({{row.stored, B("first")}, {row.partner, B("second")}})));
        fs::remove_all(out_);
        const Result both = Run({"extract", "--overwrite=always", "-C", out, p});
        if (row.partnerSameFileHere) {
            EXPECT_EQ(both.code, 1) << row.why;
            EXPECT_NE(both.err.find("same file as entry 0"), std::string::npos) << row.why;
            std::vector<std::string> parts;
            ASSERT_TRUE(cli::SplitStoredName(row.stored, &parts));
            EXPECT_EQ(ReadText(out_ / cli::FileKey(parts, false)), "first") << row.why;
        } else {
            EXPECT_EQ(both.code, 0) << row.why;
        }
        const auto pair = nlohmann::json::parse(Run({"verify", "--json", p}).out);
        ASSERT_EQ(pair["same_file"].size(), 1u) << row.why;
        EXPECT_EQ(pair["same_file"][0]["index"], 1) << row.why;
        EXPECT_EQ(pair["same_file"][0]["first"], 0) << row.why;
        EXPECT_EQ(pair["same_file"][0]["case_only"], !row.partnerSameFileHere) << row.why;
    }
}

// ---- Patterns reach the glob as typed

TEST_F(Cli, PatternsReachTheGlobAsTyped)
{
    WritePack({{"a", B("")},
               {"b", B("")},
               {"ab", B("")},
               {"[]", B("")},
               {"x", B("")},
               {",", B("")},
               {"x,y", B("")},
               {"Scene\\01", B("")},
               {"scene\\02", B("")},
               {"Scene\\0a", B("")}});
    const std::vector<std::pair<std::string, std::set<std::string>>> rows = {
        {"[ab]", {"a", "b"}},
        {"[]", {"[]"}},
        {"[x,y]", {"x", ","}},
        {"[Ss]cene/0[0-9]", {"Scene", "Scene/01", "scene", "scene/02"}},
    };
    for (const auto& [pattern, files] : rows) {
        fs::remove_all(out_);
        EXPECT_EQ(Run({"extract", "-C", out_, pack_, pattern}).code, 0) << pattern;
        std::set<std::string> found;
        for (const auto& item : fs::recursive_directory_iterator(out_))
            found.insert(fs::relative(item.path(), out_));
        EXPECT_EQ(found, files) << pattern;
    }
}

// ---- Round trip

TEST_F(Cli, ListExtractCreateGivesTheSamePack)
{
    pakwriter::Bytes big(3 * 1024 * 1024 + 17);
    pakwriter::FillPattern(1, 0, big.data(), big.size());
    const std::vector<std::vector<pakwriter::Entry>> packs = {
        {},
        {{"empty.dat", {}}},
        {{Sjis("表紙.bmp"), B("picture")},
         {Sjis("ソース一覧.txt"), B("0x5C trail byte")},
         {Sjis("bgm\\タイトル.ogg"), big},
         {"bgm\\empty.ogg"},
         {Sjis("データ\\深い\\a.txt"), B("deep")},
         {"a.txt", B("not sorted: directory order is kept")}},
    };
    // The list as list prints it, as list --json prints it, and as a
    // Windows editor saves it (byte-order mark, CRLF, a blank line).
    const auto asWindowsEditorSaves = [](std::string text) {
        std::string saved = "\xEF\xBB\xBF";
        for (const char c : text)
            saved += c == '\n' ? std::string("\r\n\n") : std::string(1, c);
        return saved + "\r\n";
    };
    for (size_t i = 0; i < packs.size(); ++i) {
        WritePack(packs[i]);
        fs::remove_all(out_);
        const Result list = Run({"list", pack_});
        ASSERT_EQ(list.code, 0) << i;
        const std::vector<std::string> orders = {list.out, Run({"list", "--json", pack_}).out,
                                                 asWindowsEditorSaves(list.out)};
        ASSERT_EQ(Run({"extract", "-C", out_, pack_}).code, 0) << i;
        for (size_t form = 0; form < orders.size(); ++form) {
            fs::remove(base_ / "new.pak");
            WriteText(base_ / "order.txt", orders[form]);
            const Result create = Run({"create", "--from-list", base_ / "order.txt", base_ / "new.pak", out_});
            ASSERT_EQ(create.code, 0) << i << " " << form << create.err;
            EXPECT_EQ(ReadText(base_ / "new.pak"), ReadText(pack_)) << "pack " << i << " list form " << form;
        }
        EXPECT_EQ(Run({"verify", base_ / "new.pak"}).code, 0) << i;
    }
}

// A name of exactly 255 bytes in code page 932 (382 in UTF-8), in two parts
// that each fit a Linux file name.
const std::string LONGEST_FOLDER = [] {
    std::string text;
    for (int i = 0; i < 80; ++i)
        text += "あ";
    return text;
}();
const std::string LONGEST_FILE = [] {
    std::string text;
    for (int i = 0; i < 47; ++i)
        text += "い";
    return text;
}();

TEST_F(Cli, CreateSortsByStoredBytesAndCatReadsBack)
{
    const fs::path src = base_ / "src";
    // Each name with the stored bytes that order it; UTF-8 would order
    // "/" (0x2F) before digits and full-width letters after kana.
    const std::vector<std::pair<std::string, const char*>> files = {
        {"B.txt", "42"},        {"b0.txt", "62 30"},
        {"bZ.txt", "62 5a"},    {"b/z.txt", "62 5c"},
        {"b_.txt", "62 5f"},    {"Ａ.txt", "82 60"},
        {"あ.txt", "82 a0 2e"}, {LONGEST_FOLDER + "/" + LONGEST_FILE, "82 a0 82 a0"},
        {"ア.txt", "83 41"},    {"亜.txt", "88 9f"},
        {"ｱ.txt", "b1"},
    };
    std::string expected;
    for (auto it = files.rbegin(); it != files.rend(); ++it) {
        fs::create_directories((src / it->first).parent_path());
        WriteText(src / it->first, it->first);
    }
    for (const auto& file : files)
        expected += file.first + "\n";
    const Result create = Run({"create", pack_, src});
    ASSERT_EQ(create.code, 0) << create.err;
    EXPECT_EQ(Run({"list", pack_}).out, expected);
    EXPECT_EQ(Run({"cat", pack_, "ア.txt"}).out, "ア.txt");
    EXPECT_EQ(Run({"cat", pack_, "b\\z.txt"}).out, "b/z.txt");
    const std::string longest = LONGEST_FOLDER + "/" + LONGEST_FILE;
    EXPECT_EQ(Run({"cat", pack_, longest}).out, longest);
}

// ---- Damaged packs

TEST_F(Cli, DamagedPacksExitTwoAndWriteNothing)
{
    pakwriter::Layout good = pakwriter::LayoutFor({{"a.txt", B("abc")}, {"b.txt", B("def")}});
    struct Damage {
        const char* why;
        pakwriter::Layout layout;
        const char* where;
    };
    std::vector<Damage> damages;
    damages.push_back({"cut in the count", good, "entry count"});
    damages.back().layout.truncateTo = 2;
    damages.push_back({"too long", good, "record 1 at file position 22"});
    damages.back().layout.records[1].lengthOverride = 265;
    damages.push_back({"unended", good, "record 0 at file position 4"});
    damages.back().layout.records[0].omitTerminator = true;
    damages.push_back({"too short", good, "record 1"});
    damages.back().layout.records[1].omitSizeAndOffset = true;
    damages.push_back({"cut in a record", good, "record 1 at file position 22"});
    damages.back().layout.truncateTo = 30;
    for (const Damage& d : damages) {
        ASSERT_TRUE(pakwriter::WriteFile(pack_, pakwriter::Encode(d.layout)));
        for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
                 {"list", pack_}, {"list", "--json", pack_}, {"extract", "-C", out_, pack_}, {"cat", pack_, "a.txt"}}) {
            const Result r = Run(args);
            EXPECT_EQ(r.code, 2) << d.why << " " << args[0];
            EXPECT_EQ(r.out, "") << d.why << " " << args[0];
        }
        EXPECT_FALSE(fs::exists(out_)) << d.why;
        const Result verify = Run({"verify", pack_});
        EXPECT_EQ(verify.code, 2) << d.why;
        EXPECT_NE(verify.out.find(d.where), std::string::npos) << d.why << ": " << verify.out;
    }
}

TEST_F(Cli, PackCutInsideAnEntryFailsThatEntryOnly)
{
    // More than one transfer block, so a cut can fall behind a full block.
    pakwriter::Bytes big(2 * 1024 * 1024 + 5);
    pakwriter::FillPattern(1, 0, big.data(), big.size());
    const pakwriter::Layout whole = pakwriter::LayoutFor({{"a.txt", B("abc")}, {"big.bin", big}});
    const size_t packBytes = pakwriter::Encode(whole).size();
    struct Cut {
        const char* why;
        size_t missing; // bytes of big.bin cut off
    };
    const std::vector<Cut> cuts = {
        {"no byte of it left", big.size()},
        {"inside the first block", big.size() - 1000},
        {"behind the first block", big.size() - 1024 * 1024 - 7},
        {"its last byte", 1},
    };
    for (const Cut& cut : cuts) {
        pakwriter::Layout layout = whole;
        layout.truncateTo = packBytes - cut.missing;
        ASSERT_TRUE(pakwriter::WriteFile(pack_, pakwriter::Encode(layout)));
        fs::remove_all(out_);
        EXPECT_EQ(Run({"list", pack_}).code, 0) << cut.why;
        const Result extract = Run({"extract", "-C", out_, pack_});
        EXPECT_EQ(extract.code, 1) << cut.why;
        EXPECT_EQ(Tree(), (std::set<std::string>{"out", "out/a.txt", "test.pak"})) << cut.why;
        EXPECT_NE(extract.err.find("entry 1 'big.bin'"), std::string::npos) << cut.why << extract.err;
        const Result cat = Run({"cat", pack_, "big.bin"});
        EXPECT_EQ(cat.code, 2) << cut.why;
        EXPECT_LT(cat.out.size(), big.size()) << cut.why;
        EXPECT_NE(cat.err.find("big.bin"), std::string::npos) << cut.why;
        EXPECT_EQ(Run({"cat", pack_, "a.txt"}).out, "abc") << cut.why;
        const Result verify = Run({"verify", "--json", pack_});
        EXPECT_EQ(verify.code, 1) << cut.why;
        EXPECT_EQ(nlohmann::json::parse(verify.out)["past_end"][0]["index"], 1) << cut.why;
    }
}

// ---- Overwriting

TEST_F(Cli, OverwritePolicies)
{
    WritePack({{"a.txt", B("new a")}, {"b.txt", B("new b")}});
    struct Case {
        std::vector<std::string> options;
        std::string input;
        int code;
        const char* a;
        const char* b;
        bool hint = false; // once, at the end: how to replace what nobody was asked about
    };
    const std::vector<Case> cases = {
        {{}, "", 1, "old", "old", true}, // not a terminal: never
        {{"--overwrite=never"}, "", 1, "old", "old"},
        {{"--overwrite=always"}, "", 0, "new a", "new b"},
        {{"--overwrite=ask"}, "y\nn\n", 1, "new a", "old"},
        {{"--overwrite=ask"}, "A\n", 0, "new a", "new b"},
        {{"--overwrite=ask"}, "N\n", 1, "old", "old"},
        {{"--overwrite=ask"}, "N\ny\n", 1, "old", "old"},       // N answers for b too: y is never read
        {{"--overwrite=ask"}, "", 1, "old", "old"},             // end of input: no
        {{"--overwrite=ask"}, "y\r\nN\r\n", 1, "new a", "old"}, // lines from Windows end in CR
        {{"--overwrite=ask"}, "\ny\n", 1, "old", "new b"},      // an empty line: no
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        fs::remove_all(out_);
        fs::create_directory(out_);
        WriteText(out_ / "a.txt", "old");
        WriteText(out_ / "b.txt", "old");
        std::vector<std::string> args = {"extract", "-q", "-C", out_};
        args.insert(args.end(), cases[i].options.begin(), cases[i].options.end());
        args.push_back(pack_);
        const Result r = Run(args, cases[i].input);
        EXPECT_EQ(r.code, cases[i].code) << i;
        // Both files exist: both are counted.
        const std::string hintText = "2 skipped because the file exists; --overwrite=always overwrites such files";
        const size_t hint = r.err.find(hintText);
        EXPECT_EQ(hint != std::string::npos, cases[i].hint) << i << r.err;
        if (cases[i].hint)
            EXPECT_EQ(r.err.find("--overwrite", hint + hintText.size()), std::string::npos) << i << r.err;
        EXPECT_EQ(ReadText(out_ / "a.txt"), cases[i].a) << i;
        EXPECT_EQ(ReadText(out_ / "b.txt"), cases[i].b) << i;
        EXPECT_EQ(Tree(), (std::set<std::string>{"out", "out/a.txt", "out/b.txt", "test.pak"})) << i;
    }
}

// ---- What list and verify print

TEST_F(Cli, ListFormsShowEveryField)
{
    // Size and offset differ in every record, and the largest values fill
    // the columns: a swapped or narrowed field shows.
    pakwriter::Layout layout;
    layout.records = {
        {"a.txt", 3, 0}, {Sjis("bgm\\ソース.ogg"), 4294967295u, 0xDEADBEEF}, {"bad\x81\x20x\xFF.txt", 0, 0x1F}};
    layout.data = B("abc");
    layout.data.resize(0x1F);
    ASSERT_TRUE(pakwriter::WriteFile(pack_, pakwriter::Encode(layout)));
    EXPECT_EQ(Run({"list", pack_}).out, "a.txt\nbgm/ソース.ogg\nbad\\x81 x\\xFF.txt\n");
    EXPECT_EQ(Run({"list", "--long", pack_}).out, "0           3  0x00000000  a.txt\n"
                                                  "1  4294967295  0xDEADBEEF  bgm/ソース.ogg\n"
                                                  "2           0  0x0000001F  bad\\x81 x\\xFF.txt\n");
    // name_hex is the stored bytes, the 0x5C trail byte of ソ included.
    const std::vector<nlohmann::json> objects = {
        {{"index", 0}, {"name", "a.txt"}, {"name_hex", "612e747874"}, {"size", 3}, {"offset", 0}},
        {{"index", 1},
         {"name", "bgm/ソース.ogg"},
         {"name_hex", "62676d5c835c815b83582e6f6767"},
         {"size", 4294967295u},
         {"offset", 3735928559u}},
        {{"index", 2},
         {"name", "bad\xEF\xBF\xBD x\xEF\xBF\xBD.txt"},
         {"name_hex", "626164812078ff2e747874"},
         {"size", 0},
         {"offset", 31}},
    };
    std::istringstream lines(Run({"list", "--json", pack_}).out);
    std::string line;
    for (const nlohmann::json& expected : objects) {
        ASSERT_TRUE(std::getline(lines, line));
        EXPECT_EQ(nlohmann::json::parse(line), expected);
    }
    EXPECT_FALSE(std::getline(lines, line)) << line;

    const Result verify = Run({"verify", "--json", pack_});
    EXPECT_EQ(verify.code, 1);
    const auto report = nlohmann::json::parse(verify.out);
    ASSERT_EQ(report["past_end"].size(), 1u);
    EXPECT_EQ(report["past_end"][0]["name_hex"], objects[1]["name_hex"]);
    EXPECT_EQ(report["past_end"][0]["end"], FileSize(pack_) - 0x1F + 0xDEADBEEFull + 0xFFFFFFFFull);
    ASSERT_EQ(report["invalid_names"].size(), 1u);
    EXPECT_EQ(report["invalid_names"][0]["name"], objects[2]["name"]);
    EXPECT_EQ(report["invalid_names"][0]["name_hex"], objects[2]["name_hex"]);
}

// ---- Names that are not code page 932

TEST_F(Cli, NamesThatAreNotCp932KeepTheirBytes)
{
    const std::string bad = "bad\x81\x20x\xFF.txt"; // lead byte before a space, undefined 0xFF
    WritePack({{bad, B("x")}, {"good.txt", B("y")}});
    EXPECT_EQ(Run({"list", pack_}).out, "bad\\x81 x\\xFF.txt\ngood.txt\n");
    const Result json = Run({"list", "--json", pack_});
    const auto first = nlohmann::json::parse(json.out.substr(0, json.out.find('\n')));
    EXPECT_EQ(first["name"], "bad\xEF\xBF\xBD x\xEF\xBF\xBD.txt");
    EXPECT_EQ(first["name_hex"], cli::HexBytes(bad));
    const Result verify = Run({"verify", "--json", pack_});
    EXPECT_EQ(verify.code, 1);
    EXPECT_EQ(nlohmann::json::parse(verify.out)["invalid_names"][0]["index"], 0);
    // Addressed as list shows it.
    EXPECT_EQ(Run({"cat", pack_, "bad\\x81 x\\xFF.txt"}).out, "x");
    EXPECT_EQ(Run({"extract", "-C", out_, pack_, "bad\\x81*"}).code, 1); // matched, then refused
    const Result extract = Run({"extract", "-C", out_, pack_});
    EXPECT_EQ(extract.code, 1);
    EXPECT_EQ(Tree(), (std::set<std::string>{"out", "out/good.txt", "test.pak"}));
    // Names that print alike are told apart by their index.
    WritePack({{"\x85", B("lone lead byte")}, {"\\x85", B("separator and x85")}});
    EXPECT_EQ(Run({"cat", pack_, "\\x85"}).out, "lone lead byte");
    EXPECT_EQ(Run({"cat", "--index", "1", pack_}).out, "separator and x85");
}

// ---- Exit codes and what verify finds

TEST_F(Cli, ExitCodes)
{
    WritePack({{"bgm\\a.ogg", B("a")}, {"se\\b.wav", B("b")}});
    struct Case {
        std::vector<std::string> args;
        int code;
        const char* says = ""; // on standard output or error
    };
    const std::string pack = pack_;
    const std::string out = out_;
    const std::vector<Case> cases = {
        {{}, 2, "A subcommand is required\nRun with --help"},
        {{"--versoin"}, 2, "unknown option '--versoin'"},
        {{"-z", "list", pack}, 2, "unknown option '-z'"},
        {{"list", pack, "b\nc"}, 2, "not expected: b\\x0Ac\nRun with --help"},
        {{"extract", "--overwrite=\x1B[2J", pack}, 2, "--overwrite: \\x1B[2J not in"},
        {{"list", "x\xC2\x9B"
                  "2J"},
         2,
         "x\\xC2\\x9B2J: No such file"},
        {{"--help"}, 0, "create"},
        {{"--version"}, 0},
        {{"list", "--help"}, 0},
        {{"frobnicate"}, 2, "unknown command 'frobnicate'"},
        {{"\x1B[2J"}, 2, "unknown command '\\x1B[2J'"},
        {{"list", "[x]"}, 2, "[x]: No such file"},
        {{"cat", "--index", "1", pack}, 0, "b"},
        {{"cat", "--index", "2", pack}, 2, "no entry 2"},
        {{"cat", "--index", "-1", pack}, 2},
        {{"cat", "--index", "0", pack, "se/b.wav"}, 2},
        {{"cat", pack}, 2, "NAME or --index"},
        {{"list"}, 2},
        {{"list", "--long", "--json", pack}, 2},
        {{"extract", "--overwrite=sometimes", pack}, 2},
        {{"list", (base_ / "missing.pak").string()}, 2},
        {{"cat", pack, "nothing.txt"}, 2},
        {{"extract", "-C", out, pack, "bgm/*", "nothing*"}, 2},
        {{"extract", "-C", out, pack, "bgm\\*.ogg"}, 0},
        {{"extract", "--overwrite=always", "-C", out, pack, "bgm/*", "bgm/a.ogg"}, 0}, // both match, one would do
        {{"verify", pack}, 0},
        {{"create", pack, out}, 2, "exists (--force replaces it); nothing written"},
        {{"create", (base_ / "missing").string() + ".pak", (base_ / "no-such-folder").string()}, 2},
        {{"update", "-o", "", "--remove", "se/*", pack}, 2, "OUT is empty"}, // an unset variable, not PACK
    };
    for (const Case& c : cases) {
        std::string shown;
        for (const std::string& a : c.args)
            shown += a + " ";
        const Result r = Run(c.args);
        EXPECT_EQ(r.code, c.code) << shown;
        EXPECT_NE((r.out + r.err).find(c.says), std::string::npos) << shown << r.err;
        // Names escaped, C1 controls too; every message a whole line.
        EXPECT_EQ(r.err.find_first_of("\x1B\x9B"), std::string::npos) << shown << r.err;
        EXPECT_TRUE(r.err.empty() || r.err.back() == '\n') << shown << r.err;
    }
    EXPECT_TRUE(fs::exists(out_ / "bgm" / "a.ogg"));
    EXPECT_FALSE(fs::exists(out_ / "se"));
    EXPECT_EQ(Run({"list", pack}).out, "bgm/a.ogg\nse/b.wav\n");
}

// Standard output that cannot be written, and a pack that cannot be read
// at a position, are the system's errors, never a success or damage.
TEST_F(Cli, FailedWritesAndReadsExitTwo)
{
    WritePack({{"a.txt", B("abc")}});
    const std::string pack = pack_;
    const std::string fifo = base_ / "fifo.pak";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string refused = base_ / "refused.pak";
    ASSERT_TRUE(pakwriter::WriteFile(refused, pakwriter::BuildPack({{"bell\x07.txt", B("abc")}})));
    struct Row {
        std::vector<std::string> args;
        bool toFullDisk; // else PACK is a FIFO fed with the pack
        const char* says;
    };
    const std::vector<Row> rows = {
        {{"list", pack}, true, "No space left on device"},
        {{"list", "--json", pack}, true, "No space left on device"},
        {{"verify", pack}, true, "No space left on device"},
        {{"verify", "--json", pack}, true, "No space left on device"},
        {{"cat", pack, "a.txt"}, true, "No space left on device"},
        {{"--help"}, true, "No space left on device"},
        {{"verify", refused}, true, "No space left on device"}, // would end with 1: a finding
        {{"list", fifo}, false, "Illegal seek"},
        {{"verify", fifo}, false, "Illegal seek"},
        {{"extract", "-C", out_, fifo}, false, "Illegal seek"},
        {{"cat", fifo, "a.txt"}, false, "Illegal seek"},
    };
    const std::string bytes = ReadText(pack_);
    for (const Row& row : rows) {
        std::thread feeder;
        if (!row.toFullDisk) {
            // Small enough for the pipe's buffer: written whole at once, or
            // refused (EPIPE, SIGPIPE blocked here) when the program has
            // already given up on the FIFO.
            feeder = std::thread([&] {
                sigset_t pipe;
                sigemptyset(&pipe);
                sigaddset(&pipe, SIGPIPE);
                pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
                WriteText(fifo, bytes);
            });
        }
        const Result r = Run(row.args, "", nullptr, {}, row.toFullDisk ? "/dev/full" : nullptr);
        if (feeder.joinable())
            feeder.join();
        EXPECT_EQ(r.code, 2) << row.args[0] << " " << row.toFullDisk;
        EXPECT_NE(r.err.find(row.says), std::string::npos) << row.args[0] << ": " << r.err;
        EXPECT_EQ(r.err.find("damaged"), std::string::npos) << row.args[0] << ": " << r.err;
    }
    EXPECT_FALSE(fs::exists(out_));
}

TEST_F(Cli, VerifyFindsPlacementAndNameTrouble)
{
    // Positions are given from the start of the data area.
    struct Overlap {
        uint32_t index, other;
        uint64_t position, bytes;
    };
    struct Gap {
        uint64_t position, bytes;
    };
    struct Row {
        const char* why;
        std::vector<pakwriter::Record> records;
        size_t dataBytes;
        std::vector<Overlap> overlaps;
        std::vector<Gap> gaps;
        std::vector<int> pastEnd, duplicates, refused;
        std::vector<int> fileAndFolder = {}; // a file where another entry has a folder
    };
    const std::vector<Row> rows = {
        {"side by side",
         {{"a.txt", 4, 0}, {"b.txt", 4, 2}, {"a.txt", 2, 10}, {"..\\c.txt", 1, 20}, {"d.txt", 1, 100}},
         22,
         {{1, 0, 2, 2}},
         {{6, 4}, {12, 8}, {21, 1}},
         {4},
         {2},
         {3}},
        {"nested",
         {{"outer", 100, 5},
          {"middle", 40, 10}, // inside outer
          {"inner", 10, 20},  // inside middle, so inside outer
          {"later", 10, 60},  // inside outer, behind middle
          {"tail", 10, 100},  // over outer's last 5 bytes and on past it
          {"empty", 0, 112},  // no bytes: splits no gap
          {"last", 5, 115}},
         125,
         {{1, 0, 10, 40}, {2, 0, 20, 10}, {3, 0, 60, 10}, {4, 0, 100, 5}},
         {{0, 5}, {110, 5}, {120, 5}},
         {},
         {},
         {}},
        {"one byte shared, then touching", {{"a", 4, 0}, {"b", 4, 3}, {"c", 2, 7}}, 9, {{1, 0, 3, 1}}, {}, {}, {}, {}},
        {"a file and a folder of one name, either first, letter case aside",
         {{"a\\b.txt", 1, 0}, {"a", 1, 1}, {"c", 1, 2}, {"C\\d\\e.txt", 1, 3}, {"d", 1, 4}},
         5,
         {},
         {},
         {},
         {},
         {},
         {1, 2}},
    };
    for (const Row& row : rows) {
        pakwriter::Layout layout;
        layout.records = row.records;
        layout.data = pakwriter::Bytes(row.dataBytes, 'x');
        ASSERT_TRUE(pakwriter::WriteFile(pack_, pakwriter::Encode(layout)));
        const uint64_t start = FileSize(pack_) - row.dataBytes;
        const Result r = Run({"verify", "--json", pack_});
        EXPECT_EQ(r.code, 1) << row.why;
        const auto report = nlohmann::json::parse(r.out);
        ASSERT_EQ(report["overlaps"].size(), row.overlaps.size()) << row.why << r.out;
        for (size_t i = 0; i < row.overlaps.size(); ++i) {
            const auto& found = report["overlaps"][i];
            EXPECT_EQ(found["index"], row.overlaps[i].index) << row.why << i;
            EXPECT_EQ(found["other"], row.overlaps[i].other) << row.why << i;
            EXPECT_EQ(found["position"], start + row.overlaps[i].position) << row.why << i;
            EXPECT_EQ(found["bytes"], row.overlaps[i].bytes) << row.why << i;
        }
        ASSERT_EQ(report["gaps"].size(), row.gaps.size()) << row.why << r.out;
        for (size_t i = 0; i < row.gaps.size(); ++i) {
            EXPECT_EQ(report["gaps"][i]["position"], start + row.gaps[i].position) << row.why << i;
            EXPECT_EQ(report["gaps"][i]["bytes"], row.gaps[i].bytes) << row.why << i;
        }
        const auto indexes = [&](const char* kind) {
            std::vector<int> found;
            for (const auto& item : report[kind])
                found.push_back(item["index"]);
            return found;
        };
        EXPECT_EQ(indexes("past_end"), row.pastEnd) << row.why;
        EXPECT_EQ(indexes("duplicates"), row.duplicates) << row.why;
        EXPECT_EQ(indexes("refused_names"), row.refused) << row.why;
        EXPECT_EQ(indexes("file_and_folder"), row.fileAndFolder) << row.why;
        EXPECT_EQ(report["findings"], row.overlaps.size() + row.gaps.size() + row.pastEnd.size() +
                                          row.duplicates.size() + row.refused.size() + row.fileAndFolder.size())
            << row.why;
        // The same findings as text, one line each, and the summary.
        const Result text = Run({"verify", pack_});
        EXPECT_EQ(text.code, 1) << row.why;
        EXPECT_EQ(size_t(std::count(text.out.begin(), text.out.end(), '\n')), size_t(report["findings"]) + 1)
            << row.why << text.out;
    }
}

// ---- create's refusals: all or nothing

TEST_F(Cli, CreateRefusesAndWritesNothing)
{
    struct Case {
        const char* why;
        std::function<void(const fs::path& src)> prepare;
        const char* list = nullptr; // given with --from-list
    };
    const std::vector<Case> cases = {
        {"link", [](const fs::path& s) { fs::create_symlink("/etc/passwd", s / "link"); }},
        {"folder link", [](const fs::path& s) { fs::create_directory_symlink("/etc", s / "etc"); }},
        {"yen sign would become a separator", [](const fs::path& s) { WriteText(s / "a¥b.txt", ""); }},
        {"no cp932 form", [](const fs::path& s) { WriteText(s / "emoji😀.txt", ""); }},
        {"backslash in a name", [](const fs::path& s) { WriteText(s / "a\\b", ""); }},
        {"device", [](const fs::path& s) { WriteText(s / "aux.txt", ""); }},
        {"line feed in a name", [](const fs::path& s) { WriteText(s / "a\nb.txt", ""); }},
        {"256 bytes in code page 932",
         [](const fs::path& s) {
             fs::create_directory(s / LONGEST_FOLDER);
             WriteText(s / LONGEST_FOLDER / (LONGEST_FILE + "x"), "");
         }},
        {"missing from the list", [](const fs::path& s) { WriteText(s / "extra.txt", ""); }, "ok.txt\n"},
        {"listed without a file", [](const fs::path& s) { fs::remove(s / "ok.txt"); }, "ok.txt\n"},
        {"listed twice", [](const fs::path&) {}, "ok.txt\nok.txt\n"},
        {"listed twice, once with \\",
         [](const fs::path& s) {
             fs::create_directory(s / "d");
             fs::rename(s / "ok.txt", s / "d" / "ok.txt");
         },
         "d/ok.txt\nd\\ok.txt\n"},
    };
    for (const Case& c : cases) {
        const fs::path src = base_ / "src";
        fs::remove_all(src);
        fs::create_directory(src);
        WriteText(src / "ok.txt", "fine");
        c.prepare(src);
        std::vector<std::string> args = {"create"};
        if (c.list != nullptr) {
            WriteText(base_ / "list.txt", c.list);
            args.insert(args.end(), {"--from-list", base_ / "list.txt"});
        }
        args.insert(args.end(), {pack_, src});
        const Result r = Run(args);
        EXPECT_EQ(r.code, 2) << c.why;
        EXPECT_FALSE(fs::exists(pack_)) << c.why;
        EXPECT_NE(r.err.find("nothing written"), std::string::npos) << c.why;
        for (const auto& item : fs::directory_iterator(base_))
            EXPECT_EQ(item.path().filename().string().find(".quorvel-"), std::string::npos) << c.why;
    }
}

TEST_F(Cli, CreateReplacesOnlyWithForce)
{
    fs::create_directory(base_ / "src");
    WriteText(base_ / "src" / "new.txt", "new");
    WriteText(pack_, "old pack");
    EXPECT_EQ(Run({"create", pack_, base_ / "src"}).code, 2);
    EXPECT_EQ(ReadText(pack_), "old pack");
    EXPECT_EQ(Run({"create", "--force", pack_, base_ / "src"}).code, 0);
    EXPECT_EQ(Run({"list", pack_}).out, "new.txt\n");
    // The old pack inside the folder being packed is not packed again.
    const fs::path inside = base_ / "src" / "self.pak";
    fs::copy_file(pack_, inside);
    EXPECT_EQ(Run({"create", "--force", inside, base_ / "src"}).code, 0);
    EXPECT_EQ(Run({"list", inside}).out, "new.txt\n");

    // The pack replaced may be the only copy: the new one reaches the disk
    // before it takes the name, by create --force and by update alike. The
    // leak checker cannot work under a tracer.
    if (std::system("strace -o /dev/null true >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "strace is missing or cannot trace here";
    const std::string trace = base_ / "trace";
    for (const std::string run : {"create --force", "update"}) {
        WriteText(base_ / "src" / "new.txt", run); // an update that changes nothing writes nothing
        const std::string command = "ASAN_OPTIONS=detect_leaks=0 strace -f -qq -o '" + trace +
                                    "' -e trace=fsync,fdatasync,rename,renameat,renameat2 '" + g_program + "' " + run +
                                    " '" + pack_.string() + "' '" + (base_ / "src").string() + "' 2>/dev/null";
        ASSERT_EQ(std::system(command.c_str()), 0) << run;
        const std::string calls = ReadText(trace);
        EXPECT_NE(calls.find("rename"), std::string::npos) << run << "\n" << calls;
        EXPECT_LT(calls.find("sync("), calls.find("rename")) << run << "\n" << calls;
    }
}

// ---- Interruption

// Whether the process is stopped, or gone.
bool Stopped(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    const std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const size_t close = text.rfind(')');
    return close == std::string::npos || close + 2 >= text.size() ||
           std::string_view("TtZX").find(text[close + 2]) != std::string_view::npos;
}

// A thread that sends signal to the child once ready(child) holds. The
// child is stopped while the test looks, so that on a busy machine it
// cannot finish between the look and the signal: the signal is the first
// thing it meets when it goes on.
std::thread ActOnce(const std::atomic<pid_t>& child, std::function<bool(pid_t)> ready, std::function<void(pid_t)> act)
{
    return std::thread([&child, ready, act] {
        for (int i = 0; i < 20000; ++i) {
            const pid_t pid = child;
            if (pid != 0) {
                kill(pid, SIGSTOP);
                for (int wait = 0; wait < 1000 && !Stopped(pid); ++wait)
                    usleep(100);
                const bool found = ready(pid);
                if (found)
                    act(pid);
                kill(pid, SIGCONT);
                if (found)
                    return;
            }
            usleep(300);
        }
    });
}

std::thread SignalOnce(const std::atomic<pid_t>& child, int signal, std::function<bool(pid_t)> ready)
{
    return ActOnce(child, ready, [signal](pid_t pid) { kill(pid, signal); });
}

// Whether the process writes a new file in folder: an unnamed one, or one
// under a temporary name.
bool WritesInto(pid_t pid, const fs::path& folder)
{
    std::error_code ignored;
    for (const auto& fd : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ignored)) {
        const std::string target = fs::read_symlink(fd.path(), ignored).string();
        if (target.rfind(folder.string() + "/", 0) == 0 &&
            (target.find("(deleted)") != std::string::npos || target.find("/.quorvel-") != std::string::npos))
            return true;
    }
    return false;
}

TEST_F(Cli, InterruptedRunsEndWith128PlusTheSignalAndLeaveNothing)
{
    ASSERT_TRUE(pakwriter::WriteGeneratedPack(pack_, {{"huge.bin", 256ull * 1024 * 1024}}, pakwriter::FillPattern));
    // Without /proc the program cannot name an unnamed file and writes
    // under a temporary name instead: that file must go too. The sanitizers
    // read their options from /proc/self/environ, and the leak checker
    // needs the real /proc: it is turned off there.
    const auto withoutProc = [] {
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("none", "/proc", "tmpfs", 0, nullptr) != 0 || mkdir("/proc/self", 0755) != 0)
            _exit(125);
        static const char options[] = "ASAN_OPTIONS=detect_leaks=0";
        std::ofstream("/proc/self/environ", std::ios::binary).write(options, sizeof options);
    };
    fs::create_directory(out_);
    fs::create_directory(base_ / "src");
    WriteText(base_ / "src" / "a.txt", "a");
    // Sparse: the program reads 256 MiB without the test writing them.
    std::ofstream(base_ / "src" / "huge.bin").close();
    fs::resize_file(base_ / "src" / "huge.bin", 256ull * 1024 * 1024);
    struct Row {
        std::vector<std::string> args;
        fs::path writesInto; // where the program's unfinished file lies
        int signal;
        bool named; // written under a temporary name
    };
    const std::vector<Row> rows = {
        {{"extract", "-C", out_, pack_}, out_, SIGINT, false},
        {{"extract", "-C", out_, pack_}, out_, SIGTERM, false},
        {{"extract", "-C", out_, pack_}, out_, SIGHUP, false},
        {{"extract", "-C", out_, pack_}, out_, SIGHUP, true},
        {{"create", base_ / "new.pak", base_ / "src"}, base_, SIGINT, false},
        {{"create", base_ / "new.pak", base_ / "src"}, base_, SIGTERM, true},
    };
    for (const Row& row : rows) {
        const std::string shown = row.args[0] + " " + strsignal(row.signal) + (row.named ? " named" : "");
        if (row.named && geteuid() != 0) {
            std::printf("a new mount namespace needs root: '%s' is left out\n", shown.c_str());
            continue;
        }
        const std::set<std::string> before = Tree();
        std::atomic<pid_t> child{0};
        // Signals once the program holds a file open in the folder (unnamed
        // or under a temporary name: /proc shows it either way; not a folder
        // it walks, nor the test's own standard streams), and for the named
        // rows once that name is there.
        const auto writing = [&](pid_t pid) {
            std::error_code ignored;
            bool named = false;
            for (const auto& item : fs::directory_iterator(row.writesInto, ignored))
                named = named || item.path().filename().string().rfind(".quorvel-", 0) == 0;
            if (row.named && !named)
                return false;
            for (const auto& fd : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ignored)) {
                const fs::path target = fs::read_symlink(fd.path(), ignored);
                if (target.parent_path() == row.writesInto && target.filename().string().rfind(".std", 0) != 0 &&
                    !fs::is_directory(target, ignored))
                    return true;
            }
            return false;
        };
        std::thread interrupter = SignalOnce(child, row.signal, writing);
        const Result r =
            Run(row.args, "", &child, row.named ? std::function<void()>(withoutProc) : std::function<void()>());
        interrupter.join();
        EXPECT_EQ(r.code, 128 + row.signal) << shown << r.err;
        EXPECT_NE(r.err.find("interrupted"), std::string::npos) << shown << r.err;
        EXPECT_EQ(Tree(), before) << shown;
    }
}

// ---- Terminal

// Runs the program with standard input and standard error each on a
// terminal or on a pipe, waits pause seconds at the first question and
// answers it; Result::err is what the terminal or pipe showed.
Result RunAtTerminal(const std::vector<std::string>& args, bool stdinTerminal, bool stderrTerminal,
                     const std::string& answer, const fs::path& stdoutPath, double pauseSeconds)
{
    const int terminal = posix_openpt(O_RDWR | O_NOCTTY);
    EXPECT_GE(terminal, 0);
    grantpt(terminal);
    unlockpt(terminal);
    // Held open here too, so that reading the terminal never fails before
    // the program's last output has been read.
    const int terminalSide = open(ptsname(terminal), O_RDWR | O_NOCTTY);
    int inPipe[2];
    int errPipe[2];
    EXPECT_EQ(pipe(inPipe), 0);
    EXPECT_EQ(pipe(errPipe), 0);
    const pid_t child = fork();
    if (child == 0) {
        dup2(stdinTerminal ? terminalSide : inPipe[0], 0);
        dup2(open(stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
        dup2(stderrTerminal ? terminalSide : errPipe[1], 2);
        for (const int fd : {terminal, terminalSide, inPipe[0], inPipe[1], errPipe[0], errPipe[1]})
            close(fd);
        ExecProgram(args);
    }
    close(inPipe[0]);
    close(errPipe[1]);
    const int errFrom = stderrTerminal ? terminal : errPipe[0];
    const int answerTo = stdinTerminal ? terminal : inPipe[1];
    std::string shown;
    bool answered = false;
    bool ended = false;
    int status = 0;
    for (;;) {
        pollfd ready{errFrom, POLLIN, 0};
        char buffer[4096];
        const bool readable = poll(&ready, 1, ended ? 0 : 50) > 0;
        const ssize_t got = readable ? read(errFrom, buffer, sizeof buffer) : 0;
        if (got > 0) {
            shown.append(buffer, size_t(got));
            continue;
        }
        if (ended)
            break;
        if (!answered && shown.find("replace") != std::string::npos) {
            usleep(useconds_t(pauseSeconds * 1e6));
            EXPECT_EQ(write(answerTo, answer.data(), answer.size()), ssize_t(answer.size()));
            answered = true;
        }
        ended = waitpid(child, &status, WNOHANG) == child;
    }
    for (const int fd : {terminal, terminalSide, inPipe[1], errPipe[0]})
        close(fd);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status), ReadText(stdoutPath), shown};
}

TEST_F(Cli, ProgressAndQuestionsOnlyOnATerminal)
{
    WritePack({{"b.txt", B("new b")}, {"a.txt", B("new a")}});
    struct Row {
        const char* why;
        std::vector<std::string> options;
        bool stdinTerminal, stderrTerminal;
        bool asks, showsProgress;
    };
    // Progress waits a second before it shows: the question, for the last
    // entry, is answered after longer than that, so the line then drawn
    // counts the skipped entry as done.
    const std::vector<Row> rows = {
        {"terminal", {}, true, true, true, true},
        {"terminal, quiet", {"-q"}, true, true, true, false},
        {"standard error a pipe", {"--overwrite=ask"}, true, false, true, false},
        {"standard error a pipe, by default", {}, true, false, false, false}, // a question nobody sees
        {"pipes", {"--overwrite=ask"}, false, false, true, false},
        {"standard input a pipe", {}, false, true, false, false},
    };
    for (const Row& row : rows) {
        fs::remove_all(out_);
        fs::create_directory(out_);
        WriteText(out_ / "a.txt", "old");
        std::vector<std::string> args = {"extract", "-C", out_};
        args.insert(args.end(), row.options.begin(), row.options.end());
        args.push_back(pack_);
        const Result r = RunAtTerminal(args, row.stdinTerminal, row.stderrTerminal, "n\n", base_ / ".stdout", 1.3);
        EXPECT_EQ(r.code, 1) << row.why;
        EXPECT_EQ(ReadText(out_ / "a.txt"), "old") << row.why;
        EXPECT_EQ(ReadText(out_ / "b.txt"), "new b") << row.why;
        EXPECT_EQ(r.err.find("replace") != std::string::npos, row.asks) << row.why << r.err;
        EXPECT_EQ(r.err.find("2/2 entries, 5 B of 10 B, ") != std::string::npos, row.showsProgress) << row.why << r.err;
        EXPECT_NE(r.err.find("skipped"), std::string::npos) << row.why << r.err;
    }
}

// The work's one-line summary: where progress would show, and only then.
TEST_F(Cli, SummaryOnlyOnATerminalUnlessQuiet)
{
    WritePack({{"a.txt", B("12345")}, {"b/c.txt", B("abc")}});
    fs::create_directories(base_ / "src" / "d");
    WriteText(base_ / "src" / "d" / "e.txt", "hello");
    const std::string created = (base_ / "new.pak").string();
    struct Row {
        std::vector<std::string> args;
        bool stderrTerminal;
        std::string summary; // empty: nothing on standard error
    };
    const std::vector<Row> rows = {
        {{"extract", "-C", out_, pack_}, true, out_.string() + ": 2 entries extracted, 8 B"},
        {{"extract", "-C", out_, "--overwrite=always", pack_, "b/*"}, true, out_.string() + ": 1 entry extracted, 3 B"},
        {{"extract", "-C", out_, "--overwrite=always", pack_}, false, ""},
        {{"extract", "-q", "-C", out_, "--overwrite=always", pack_}, true, ""},
        {{"create", created, base_ / "src"}, true, created + ": 1 entry written, 5 B"},
        {{"create", "--force", created, base_ / "src"}, false, ""},
        {{"create", "-q", "--force", created, base_ / "src"}, true, ""},
        {{"update", "-q", "--remove", "a.txt", pack_}, false, ""},
    };
    for (const Row& row : rows) {
        const Result r = RunAtTerminal(row.args, false, row.stderrTerminal, "", base_ / ".stdout", 0);
        EXPECT_EQ(r.code, 0) << row.args[0] << r.err;
        std::string shown = r.err;
        std::erase(shown, '\r'); // the terminal's own line ends
        EXPECT_EQ(shown, row.summary.empty() ? "" : "quorvel-cli: " + row.summary + "\n") << row.args[0];
    }
}

// ---- update and diff

// Every temporary file the program may leave beside a pack.
std::vector<std::string> Leftovers(const fs::path& folder)
{
    std::vector<std::string> found;
    for (const auto& item : fs::recursive_directory_iterator(folder)) {
        if (item.path().filename().string().rfind(".quorvel-", 0) == 0)
            found.push_back(item.path());
    }
    return found;
}

struct SourceFileRow {
    std::string relative; // UTF-8, below the source folder
    std::string bytes;
};

struct UpdateRow {
    const char* why;
    std::vector<pakwriter::Entry> pack;
    std::vector<SourceFileRow> files;
    std::vector<std::string> removals;
    std::vector<pakwriter::Entry> merged; // the pack create would write of the merged tree
    std::string changes;                  // diff PACK NEW
    const char* summary;
};

TEST_F(Cli, UpdateWritesWhatCreateWritesOfTheMergedTree)
{
    pakwriter::Bytes big(2 * 1024 * 1024 + 5);
    pakwriter::FillPattern(3, 0, big.data(), big.size());
    const std::string romanOne = "\xFA\x4A.txt"; // Ⅰ in the IBM range; create would store 87 54
    const std::vector<pakwriter::Entry> base = {
        {Sjis("表紙.bmp"), B("picture")},
        {romanOne, B("roman")},
        {Sjis("bgm\\タイトル.ogg"), big},
        {"empty.dat", {}},
        {Sjis("ソース一覧.txt"), B("0x5C trail byte")},
        {"voice\\001.wav", B("one")},
        {"voice\\002.wav", B("two")},
    };
    const std::vector<UpdateRow> rows = {
        {"replace, add and remove in one run",
         base,
         {{"Ⅰ.txt", "ROMAN"},
          {"bgm/タイトル.ogg", "short now"},
          {"zz/新しい.txt", "new"},
          {"a.txt", "new a"},
          {"voice/002.wav", "two"}}, // the same bytes: kept, not replaced
         {"voice/*1.wav"},
         {{Sjis("表紙.bmp"), B("picture")},
          {romanOne, B("ROMAN")},
          {Sjis("bgm\\タイトル.ogg"), B("short now")},
          {"empty.dat", {}},
          {Sjis("ソース一覧.txt"), B("0x5C trail byte")},
          {"voice\\002.wav", B("two")},
          {"a.txt", B("new a")},
          {Sjis("zz\\新しい.txt"), B("new")}},
         "M Ⅰ.txt\nM bgm/タイトル.ogg\nA a.txt\nA zz/新しい.txt\nD voice/001.wav\n",
         "2 replaced, 2 added, 1 removed, 4 kept"},
        {"a file that holds the entry's bytes already changes nothing",
         base,
         {{"ソース一覧.txt", "0x5C trail byte"}, {"empty.dat", ""}},
         {},
         base,
         "",
         "nothing to change, left as it was (7 kept)"},
        {"an empty entry, and an entry emptied",
         base,
         {{"empty.dat", "filled"}, {"voice/002.wav", ""}},
         {},
         {base[0], base[1], base[2], {"empty.dat", B("filled")}, base[4], base[5], {"voice\\002.wav", {}}},
         "M empty.dat\nM voice/002.wav\n",
         "2 replaced, 0 added, 0 removed, 5 kept"},
        {"the same size, only the last byte differs",
         base,
         {{"voice/001.wav", "onf"}},
         {},
         {base[0], base[1], base[2], base[3], base[4], {"voice\\001.wav", B("onf")}, base[6]},
         "M voice/001.wav\n",
         "1 replaced, 0 added, 0 removed, 6 kept"},
        {"removals only",
         base,
         {},
         {"*.wav", "empty.dat"},
         {base[0], base[1], base[2], base[4]},
         "D empty.dat\nD voice/001.wav\nD voice/002.wav\n",
         "0 replaced, 0 added, 3 removed, 4 kept"},
        // Added in create's order, which UTF-8 order is not: "/" before
        // digits, full-width letters after kana.
        {"into an empty pack",
         {},
         {{"b.txt", "b"}, {"ア/a.txt", "a"}, {"b/c.txt", "c"}, {"b0.txt", "0"}, {"Ａ.txt", "A"}},
         {},
         {{"b.txt", B("b")},
          {"b0.txt", B("0")},
          {"b\\c.txt", B("c")},
          {Sjis("Ａ.txt"), B("A")},
          {Sjis("ア\\a.txt"), B("a")}},
         "A b.txt\nA b0.txt\nA b/c.txt\nA Ａ.txt\nA ア/a.txt\n",
         "0 replaced, 5 added, 0 removed, 0 kept"},
    };
    for (const UpdateRow& row : rows) {
        WritePack(row.pack);
        const fs::path original = base_ / "original.pak";
        fs::remove(original);
        fs::copy_file(pack_, original);
        const fs::path src = base_ / "src";
        fs::remove_all(src);
        fs::create_directory(src);
        for (const SourceFileRow& file : row.files) {
            fs::create_directories((src / file.relative).parent_path());
            WriteText(src / file.relative, file.bytes);
        }
        std::vector<std::string> args = {"update"};
        for (const std::string& pattern : row.removals)
            args.insert(args.end(), {"--remove", pattern});
        args.push_back(pack_);
        if (!row.files.empty())
            args.push_back(src);
        std::vector<std::string> dryRun = args;
        dryRun.insert(dryRun.begin() + 1, "--dry-run");

        const Result preview = Run(dryRun);
        EXPECT_EQ(preview.code, 0) << row.why << preview.err;
        EXPECT_EQ(preview.out, row.changes) << row.why;
        EXPECT_EQ(ReadText(pack_), ReadText(original)) << row.why << ": --dry-run wrote";
        struct stat before;
        ASSERT_EQ(stat(pack_.c_str(), &before), 0);
        const Result update = Run(args);
        ASSERT_EQ(update.code, 0) << row.why << update.err;
        EXPECT_EQ(update.err, "quorvel-cli: " + pack_.string() + ": " + row.summary + "\n") << row.why;
        // A pack that nothing changes is not written again.
        struct stat after;
        ASSERT_EQ(stat(pack_.c_str(), &after), 0);
        const bool same = before.st_ino == after.st_ino && before.st_mtim.tv_nsec == after.st_mtim.tv_nsec &&
                          before.st_mtim.tv_sec == after.st_mtim.tv_sec;
        EXPECT_EQ(same, row.changes.empty()) << row.why;
        ASSERT_TRUE(pakwriter::WriteFile(base_ / "expected.pak", pakwriter::BuildPack(row.merged)));
        EXPECT_EQ(ReadText(pack_), ReadText(base_ / "expected.pak")) << row.why;
        // create --from-list of the JSON list of the merged tree writes the same.
        const fs::path tree = base_ / "merged";
        fs::remove_all(tree);
        fs::remove(base_ / "created.pak");
        ASSERT_EQ(Run({"extract", "-C", tree, base_ / "expected.pak"}).code, 0) << row.why;
        WriteText(base_ / "list.jsonl", Run({"list", "--json", base_ / "expected.pak"}).out);
        const Result create = Run({"create", "--from-list", base_ / "list.jsonl", base_ / "created.pak", tree});
        ASSERT_EQ(create.code, 0) << row.why << create.err;
        EXPECT_EQ(ReadText(pack_), ReadText(base_ / "created.pak")) << row.why;
        const Result diff = Run({"diff", original, pack_});
        EXPECT_EQ(diff.out, row.changes) << row.why;
        EXPECT_EQ(diff.code, row.changes.empty() ? 0 : 1) << row.why;
        EXPECT_TRUE(Leftovers(base_).empty()) << row.why;
    }
}

TEST_F(Cli, UpdateRefusesAndLeavesThePackAsItWas)
{
    struct Case {
        const char* why;
        pakwriter::Layout pack;
        std::function<void(const fs::path& src)> prepare;
        std::vector<std::string> options;
        const char* said;
    };
    const pakwriter::Layout good = pakwriter::LayoutFor({{"a.txt", B("abc")}, {"a.txt", B("twin")}, {"b.txt", B("b")}});
    pakwriter::Layout damaged = good;
    damaged.records[1].lengthOverride = 265;
    pakwriter::Layout pastEnd = good;
    pastEnd.records[2].size = 100;
    const auto nothing = [](const fs::path&) {};
    const std::vector<Case> cases = {
        {"damaged directory", damaged, nothing, {}, "damaged pack"},
        {"entry past the end of the file", pastEnd, nothing, {}, "runs past the end"},
        {"a link in SOURCE_DIR",
         good,
         [](const fs::path& s) { fs::create_symlink("/etc/passwd", s / "link"); },
         {},
         "symbolic link"},
        {"a name with no cp932 form",
         good,
         [](const fs::path& s) { WriteText(s / "emoji😀.txt", ""); },
         {},
         "no code page 932 form"},
        {"SOURCE_DIR missing", good, [](const fs::path& s) { fs::remove_all(s); }, {}, "src"},
        {"a pattern that matches nothing", good, nothing, {"--remove", "zzz*"}, "matches no entry"},
        {"a file and a removal for one entry",
         good,
         [](const fs::path& s) { WriteText(s / "b.txt", "new"); },
         {"--remove", "b.txt"},
         "which --remove removes"},
        {"a file two entries extract to",
         good,
         [](const fs::path& s) { WriteText(s / "a.txt", "new"); },
         {},
         "both extracted to this file"},
        {"a folder where the pack has a file",
         good,
         [](const fs::path& s) {
             fs::create_directory(s / "b.txt");
             WriteText(s / "b.txt" / "x", "");
         },
         {},
         "needs a folder of that name"},
        {"a file where the pack has a folder",
         pakwriter::LayoutFor({{"d\\e.txt", B("e")}}),
         [](const fs::path& s) { WriteText(s / "d", "a file"); },
         {},
         "needs a folder of that name"},
        {"OUT inside SOURCE_DIR", good, nothing, {"-o", (base_ / "src" / "." / "c.txt").string()}, "inside SOURCE_DIR"},
        {"OUT whose folder cannot be resolved",
         good,
         nothing,
         {"-o", (base_ / std::string(300, 'x') / "out.pak").string()},
         "File name too long"},
        {"OUT another file, without --force",
         good,
         [](const fs::path& s) { WriteText(s / ".." / "other.pak", "x"); },
         {"-o", (base_ / "other.pak").string()},
         "--force replaces it"},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(pakwriter::WriteFile(pack_, pakwriter::Encode(c.pack)));
        const fs::path src = base_ / "src";
        fs::remove(base_ / "other.pak");
        fs::remove_all(src);
        fs::create_directory(src);
        WriteText(src / "c.txt", "an ordinary new file");
        c.prepare(src);
        const auto held = Snapshot();
        const bool hasOut = std::find(c.options.begin(), c.options.end(), "-o") != c.options.end();
        for (const bool toOut : {false, true}) {
            if (toOut && hasOut)
                continue;
            std::vector<std::string> args = {"update"};
            args.insert(args.end(), c.options.begin(), c.options.end());
            if (toOut)
                args.insert(args.end(), {"-o", base_ / "out" / "new" / "out.pak"});
            args.insert(args.end(), {pack_, src});
            const Result r = Run(args);
            EXPECT_EQ(r.code, 2) << c.why;
            EXPECT_NE(r.err.find(c.said), std::string::npos) << c.why << ": " << r.err;
            EXPECT_NE(r.err.find("nothing written"), std::string::npos) << c.why << ": " << r.err;
            EXPECT_EQ(Snapshot(), held) << c.why;
        }
    }
    fs::remove(pack_);
    const auto held = Snapshot();
    for (const fs::path& missing : {pack_, base_ / "no-such-folder" / "x.pak"}) {
        EXPECT_EQ(Run({"update", missing, base_ / "src"}).code, 2) << missing;
        EXPECT_EQ(Snapshot(), held) << missing;
    }
}

TEST_F(Cli, UpdateKeepsPermissionsWritesOutAndCopiesSharedBytes)
{
    // Two entries share their bytes, a third overlaps them.
    pakwriter::Layout layout;
    layout.records = {{"a.txt", 4, 0}, {"same-as-a.txt", 4, 0}, {"tail.txt", 3, 2}, {"b.txt", 2, 5}};
    layout.data = B("AAAAtBB");
    ASSERT_TRUE(pakwriter::WriteFile(pack_, pakwriter::Encode(layout)));
    const fs::perms mode = fs::perms::set_gid | fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read;
    fs::permissions(pack_, mode);
    const std::string before = ReadText(pack_);
    fs::create_directory(base_ / "src");
    WriteText(base_ / "src" / "b.txt", "new b");

    const Result toOut = Run({"update", "-o", base_ / "out.pak", pack_, base_ / "src"});
    ASSERT_EQ(toOut.code, 0) << toOut.err;
    EXPECT_EQ(ReadText(pack_), before);
    EXPECT_NE(toOut.err.find("3 kept entries shared their bytes"), std::string::npos) << toOut.err;
    EXPECT_EQ(ReadText(base_ / "out.pak"), ReadText([&] {
                  pakwriter::WriteFile(base_ / "expected.pak", pakwriter::BuildPack({{"a.txt", B("AAAA")},
                                                                                     {"same-as-a.txt", B("AAAA")},
                                                                                     {"tail.txt", B("AAt")},
                                                                                     {"b.txt", B("new b")}}));
                  return base_ / "expected.pak";
              }()));

    // PACK named through a link: the pack it leads to is updated, the link stays.
    fs::create_symlink(pack_, base_ / "link.pak");
    const Result inPlace = Run({"update", base_ / "link.pak", base_ / "src"});
    ASSERT_EQ(inPlace.code, 0) << inPlace.err;
    EXPECT_TRUE(fs::is_symlink(base_ / "link.pak"));
    EXPECT_EQ(ReadText(pack_), ReadText(base_ / "out.pak"));
    EXPECT_EQ(fs::status(pack_).permissions(), mode);
    WriteText(base_ / "src" / "b.txt", "newer b");
    const Result forced = Run({"update", "--force", "-o", base_ / "out.pak", pack_, base_ / "src"});
    EXPECT_EQ(forced.code, 0) << forced.err;
    EXPECT_EQ(Run({"cat", base_ / "out.pak", "b.txt"}).out, "newer b");
    // patch follows the link as update does.
    ASSERT_EQ(Run({"diff", "--patch", base_ / "b.qvp", pack_, base_ / "out.pak"}).code, 1);
    const Result patched = Run({"patch", base_ / "link.pak", base_ / "b.qvp"});
    ASSERT_EQ(patched.code, 0) << patched.err;
    EXPECT_TRUE(fs::is_symlink(base_ / "link.pak"));
    EXPECT_EQ(ReadText(pack_), ReadText(base_ / "out.pak"));
    EXPECT_EQ(fs::status(pack_).permissions(), mode);
    fs::remove(base_ / "b.qvp");
    fs::remove(base_ / "src" / "b.txt");
    // The pack inside SOURCE_DIR is never taken for a file of it.
    fs::copy_file(pack_, base_ / "src" / "self.pak");
    const Result self = Run({"update", base_ / "src" / "self.pak", base_ / "src"});
    EXPECT_EQ(self.code, 0) << self.err;
    EXPECT_EQ(Run({"list", base_ / "src" / "self.pak"}).out, "a.txt\nsame-as-a.txt\ntail.txt\nb.txt\n");

    // -o onto another file system: no name there can be a link to the pack.
    struct stat here;
    struct stat shm;
    if (stat(base_.c_str(), &here) != 0 || stat("/dev/shm", &shm) != 0 || here.st_dev == shm.st_dev)
        GTEST_SKIP() << "/dev/shm is no file system of its own here";
    char folder[] = "/dev/shm/quorvel-cli-test-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const fs::path elsewhere = fs::path(folder) / "out.pak";
    fs::remove(base_ / "src" / "self.pak");
    const Result other = Run({"update", "-o", elsewhere, pack_, base_ / "src"});
    EXPECT_EQ(other.code, 0) << other.err;
    EXPECT_EQ(ReadText(elsewhere), ReadText(pack_));
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 1);
    fs::remove_all(folder);
}

TEST_F(Cli, InterruptedUpdateOrPatchLeavesThePackAsItWas)
{
    ASSERT_TRUE(pakwriter::WriteGeneratedPack(pack_, {{"huge.bin", 16ull * 1024 * 1024}, {"small.bin", 10}},
                                              pakwriter::FillPattern));
    const std::string before = ReadText(pack_);
    fs::create_directory(base_ / "src");
    {
        std::ofstream big(base_ / "src" / "huge.bin", std::ios::binary);
        const std::string block(1024 * 1024, 'x');
        for (int i = 0; i < 64; ++i)
            big << block;
    }
    // The same change as a patch, whose new bytes are copied from the patch.
    const fs::path updated = base_ / "updated.pak";
    const fs::path patch = base_ / "change.qvp";
    ASSERT_EQ(Run({"update", "-q", "-o", updated, pack_, base_ / "src"}).code, 0);
    ASSERT_EQ(Run({"diff", "--patch", patch, pack_, updated}).code, 1);
    fs::remove(updated);
    // The signal goes once the program writes the new pack.
    const auto writingBesidePack = [this](pid_t pid) { return WritesInto(pid, base_); };
    const std::vector<std::vector<std::string>> runs = {{"update", "-q", pack_, base_ / "src"},
                                                        {"patch", "-q", pack_, patch}};
    for (const std::vector<std::string>& args : runs) {
        for (const int signal : {SIGINT, SIGTERM, SIGKILL}) {
            std::atomic<pid_t> child{0};
            std::thread interrupter = SignalOnce(child, signal, writingBesidePack);
            const Result r = Run(args, "", &child);
            interrupter.join();
            if (signal == SIGKILL)
                EXPECT_EQ(r.code, -SIGKILL) << args[0];
            else
                EXPECT_EQ(r.code, 128 + signal) << args[0] << ": " << r.err;
            EXPECT_TRUE(ReadText(pack_) == before) << args[0] << " " << signal;
            EXPECT_TRUE(Leftovers(base_).empty()) << args[0] << " " << signal;
        }
    }
}

// Races made certain: the program is stopped once it writes its new pack,
// after it read SOURCE_DIR and PACK, while the test changes them; a large
// file first in the copy order keeps it writing long enough to be seen.
TEST_F(Cli, SourceFilesChangedAfterTheWalkAreRefused)
{
    WriteText(base_ / "secret.txt", "SECRET");
    struct Row {
        const char* why;
        const char* walked; // zz.txt when the folder is read
        std::function<void(const fs::path& file)> change;
    };
    const std::vector<Row> rows = {
        {"a link put in its place", "public",
         [this](const fs::path& file) {
             fs::remove(file);
             fs::create_symlink(base_ / "secret.txt", file);
         }},
        {"another file of its size put in its place", "public",
         [this](const fs::path& file) {
             fs::copy_file(base_ / "secret.txt", base_ / "other.txt");
             fs::rename(base_ / "other.txt", file);
         }},
        {"empty at first, then written", "", [](const fs::path& file) { WriteText(file, "SECRET"); }},
    };
    const fs::path src = base_ / "src";
    for (const char* command : {"create", "update"}) {
        for (const Row& row : rows) {
            const std::string shown = std::string(command) + ", " + row.why;
            fs::remove_all(src);
            fs::create_directory(src);
            WriteText(src / "keep.txt", "k");
            WriteText(src / "zz.txt", row.walked);
            // Copied first, and long enough for the test to see the copy.
            std::ofstream(src / "big.bin").close();
            fs::resize_file(src / "big.bin", 16ull * 1024 * 1024);
            fs::remove(pack_);
            if (std::string(command) == "update")
                WritePack({{"keep.txt", B("k")}});
            const bool existed = fs::exists(pack_);
            const std::string before = existed ? ReadText(pack_) : "";
            std::atomic<pid_t> child{0};
            std::thread changer = ActOnce(
                child, [this](pid_t pid) { return WritesInto(pid, base_); },
                [&](pid_t) { row.change(src / "zz.txt"); });
            const Result r = Run({command, "-q", pack_, src}, "", &child);
            changer.join();
            EXPECT_EQ(r.code, 2) << shown << r.err;
            EXPECT_NE(r.err.find("zz.txt: refused"), std::string::npos) << shown << r.err;
            EXPECT_EQ(fs::exists(pack_), existed) << shown;
            if (existed)
                EXPECT_EQ(ReadText(pack_), before) << shown;
            EXPECT_TRUE(Leftovers(base_).empty()) << shown;
        }
    }
}

TEST_F(Cli, ConcurrentUpdatesLoseNoEditAndAPackReplacedMeanwhileStays)
{
    fs::create_directories(base_ / "a");
    std::ofstream(base_ / "a" / "big.bin").close();
    fs::resize_file(base_ / "a" / "big.bin", 64ull * 1024 * 1024);
    fs::create_directories(base_ / "b");
    const auto writing = [this](pid_t pid) { return WritesInto(pid, base_); };
    // The edit of b.txt made by update, or by patch with a patch that
    // makes the same change.
    const fs::path patch = base_ / "b.qvp";
    const auto editOfB = [&](bool byPatch) -> std::vector<std::string> {
        if (!byPatch)
            return {"update", "-q", pack_, base_ / "b"};
        const fs::path next = base_ / "next.pak";
        EXPECT_EQ(Run({"update", "-q", "-o", next, pack_, base_ / "b"}).code, 0);
        EXPECT_EQ(Run({"diff", "--force", "--patch", patch, pack_, next}).code, 1);
        fs::remove(next);
        return {"patch", "-q", pack_, patch};
    };

    for (const bool byPatch : {false, true}) {
        WritePack({{"big.bin", B("small")}, {"b.txt", B("old b")}});
        WriteText(base_ / "b" / "b.txt", "new b");
        const std::vector<std::string> secondArgs = editOfB(byPatch);
        // The second run starts while the first update is stopped in the
        // middle of its copy: it waits for the lock, or (without one) ends
        // meanwhile.
        const fs::path secondErr = base_ / ".stderr-second";
        pid_t second = 0;
        int secondStatus = -1;
        std::atomic<pid_t> first{0};
        std::thread starter = ActOnce(first, writing, [&](pid_t) {
            second = Start(secondArgs, secondErr);
            for (int i = 0; i < 30000; ++i) {
                if (ReadText(secondErr).find("waiting") != std::string::npos)
                    return;
                int status = 0;
                if (waitpid(second, &status, WNOHANG) == second) {
                    secondStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
                    return;
                }
                usleep(1000);
            }
        });
        const Result firstRun = Run({"update", "-q", pack_, base_ / "a"}, "", &first);
        starter.join();
        ASSERT_NE(second, 0) << secondArgs[0];
        if (secondStatus == -1)
            secondStatus = Wait(second);
        EXPECT_EQ(firstRun.code, 0) << firstRun.err;
        EXPECT_EQ(secondStatus, 0) << secondArgs[0] << ": " << ReadText(secondErr);
        EXPECT_EQ(Run({"cat", pack_, "b.txt"}).out, "new b") << secondArgs[0];
        const std::string listed = Run({"list", "--json", pack_}).out;
        EXPECT_EQ(nlohmann::json::parse(listed.substr(0, listed.find('\n')))["size"], 64ull * 1024 * 1024)
            << secondArgs[0];
    }

    // A pack that another program puts under the name meanwhile stays.
    for (const bool byPatch : {false, true}) {
        WriteText(base_ / "b" / "b.txt", "newer b");
        WritePack({{"other.txt", B("other")}});
        const std::string other = ReadText(pack_);
        fs::copy_file(pack_, base_ / "other.pak", fs::copy_options::overwrite_existing);
        ASSERT_EQ(Run({"create", "--force", pack_, base_ / "a"}).code, 0);
        const std::vector<std::string> args = editOfB(byPatch);
        std::atomic<pid_t> child{0};
        std::thread replacer = ActOnce(child, writing, [&](pid_t) { fs::rename(base_ / "other.pak", pack_); });
        const Result replaced = Run(args, "", &child);
        replacer.join();
        EXPECT_EQ(replaced.code, 2) << args[0] << ": " << replaced.err;
        EXPECT_NE(replaced.err.find("replaced by another program"), std::string::npos)
            << args[0] << ": " << replaced.err;
        EXPECT_TRUE(ReadText(pack_) == other) << args[0];
        EXPECT_TRUE(Leftovers(base_).empty()) << args[0];
    }
}

// Faults and signals at chosen system calls, made by strace: the run ends
// as it says and leaves every file and folder as it was.
TEST_F(Cli, InjectedFaultsLeaveEverythingAsItWas)
{
    if (access("/usr/bin/strace", X_OK) != 0)
        GTEST_SKIP() << "strace is not installed";
    WritePack({{"a.txt", B("old a")}, {"b.txt", B("b")}});
    const fs::path src = base_ / "src";
    fs::create_directories(src / "sub");
    WriteText(src / "a.txt", "new a");
    WriteText(src / "sub" / "c.txt", "c");
    struct Row {
        const char* why;
        std::vector<std::string> strace; // what is injected, and where
        std::vector<std::string> args;
        int code;
        std::string says;
    };
    const std::string pack = pack_;
    const std::vector<Row> rows = {
        {"Ctrl+C while update flushes",
         {"-e", "inject=fsync:signal=SIGINT:when=1"},
         {"update", pack, src},
         130,
         "interrupted; " + pack + " is as it was"},
        {"Ctrl+C while create --force flushes",
         {"-e", "inject=fsync:signal=SIGINT:when=1"},
         {"create", "--force", pack, src},
         130,
         "interrupted; nothing written"},
        {"a failed copy into folders made for OUT",
         {"-e", "inject=copy_file_range:error=EIO"},
         {"update", "-o", base_ / "x" / "y" / "out.pak", "--remove", "b.txt", pack},
         2,
         "Input/output error"},
        {"a folder of SOURCE_DIR that cannot be read",
         {"-e", "inject=getdents64:error=EIO:when=2"},
         {"update", pack, src},
         2,
         (src / "sub").string() + ": Input/output error"},
        {"--dry-run of a new file that cannot be opened",
         {"-P", src / "sub" / "c.txt", "-e", "inject=openat:error=EACCES"},
         {"update", "--dry-run", pack, src},
         2,
         (src / "sub" / "c.txt").string() + ": Permission denied"},
        {"a folder that takes no new file, unnamed or named",
         {"-P", base_ / "ro", "-e", "inject=openat:error=EROFS:when=2+"},
         {"create", base_ / "ro" / "new.pak", src},
         2,
         "cannot create a file beside " + (base_ / "ro" / "new.pak").string() + ": Read-only file system"},
    };
    fs::create_directory(base_ / "ro");
    // The leak checker stops the process's threads by tracing them, which a
    // traced process cannot be.
    const char* sanitizer = getenv("ASAN_OPTIONS");
    setenv("ASAN_OPTIONS", (std::string(sanitizer ? sanitizer : "") + ":detect_leaks=0").c_str(), 1);
    for (const Row& row : rows) {
        const auto held = Snapshot();
        wrapper_ = {"/usr/bin/strace", "-f", "-qq", "-o", "/dev/null"};
        wrapper_.insert(wrapper_.end(), row.strace.begin(), row.strace.end());
        const Result r = Run(row.args);
        wrapper_.clear();
        EXPECT_EQ(r.code, row.code) << row.why << r.err;
        EXPECT_NE(r.err.find(row.says), std::string::npos) << row.why << r.err;
        EXPECT_EQ(r.out, "") << row.why;
        EXPECT_EQ(Snapshot(), held) << row.why;
    }
    if (sanitizer != nullptr)
        setenv("ASAN_OPTIONS", sanitizer, 1);
    else
        unsetenv("ASAN_OPTIONS");
}

TEST_F(Cli, DiffComparesEntriesByNameAndStoredBytes)
{
    const fs::path older = base_ / "old.pak";
    ASSERT_TRUE(pakwriter::WriteFile(older, pakwriter::BuildPack({{"a.txt", B("aaaa")},
                                                                  {Sjis("表.txt"), B("same")},
                                                                  {"gone.txt", B("x")},
                                                                  {"dup", B("1")},
                                                                  {"dup", B("2")},
                                                                  {"grown.txt", B("g")}})));
    struct Case {
        const char* why;
        std::vector<pakwriter::Entry> newer;
        int code;
        std::string text;
    };
    const std::vector<Case> cases = {
        {"moved in the directory and the data area only",
         {{"grown.txt", B("g")},
          {"dup", B("1")},
          {Sjis("表.txt"), B("same")},
          {"a.txt", B("aaaa")},
          {"dup", B("2")},
          {"gone.txt", B("x")}},
         0,
         ""},
        {"same size, other bytes; grown; added; removed",
         {{"new.txt", B("n")},
          {"a.txt", B("aaab")},
          {Sjis("表.txt"), B("same")},
          {"dup", B("1")},
          {"dup", B("3")},
          {"grown.txt", B("gg")}},
         1,
         "A new.txt\nM a.txt\nM dup\nM grown.txt\nD gone.txt\n"},
        {"a name held twice pairs in order",
         {{"dup", B("1")}},
         1,
         "D a.txt\nD 表.txt\nD gone.txt\nD dup\nD grown.txt\n"},
    };
    for (const Case& c : cases) {
        WritePack(c.newer);
        const Result text = Run({"diff", older, pack_});
        EXPECT_EQ(text.code, c.code) << c.why;
        EXPECT_EQ(text.out, c.text) << c.why;
    }
    WritePack({{"a.txt", B("aaab")}, {"added", {}}});
    const Result json = Run({"diff", "--json", older, pack_});
    std::istringstream lines(json.out);
    std::string line;
    std::getline(lines, line);
    const auto modified = nlohmann::json::parse(line);
    EXPECT_EQ(modified["status"], "modified");
    EXPECT_EQ(modified["name"], "a.txt");
    EXPECT_EQ(modified["name_hex"], "612e747874");
    EXPECT_EQ(modified["old_size"], 4);
    EXPECT_EQ(modified["new_size"], 4);
    std::getline(lines, line);
    const auto added = nlohmann::json::parse(line);
    EXPECT_EQ(added["status"], "added");
    EXPECT_TRUE(added["old_size"].is_null());
    EXPECT_EQ(added["new_size"], 0);
    std::getline(lines, line);
    const auto removed = nlohmann::json::parse(line);
    EXPECT_EQ(removed["status"], "removed");
    EXPECT_EQ(removed["name"], "表.txt");
    EXPECT_EQ(removed["name_hex"], "955c2e747874"); // the stored bytes, 0x5C trail byte included
    EXPECT_EQ(removed["old_size"], 4);
    EXPECT_TRUE(removed["new_size"].is_null());

    EXPECT_EQ(Run({"diff", older, older}).code, 0);
    // Entries longer than the block the comparison reads, unequal only in their last byte.
    const std::string longText(2 * 1024 * 1024 + 1, 'b');
    ASSERT_TRUE(pakwriter::WriteFile(older, pakwriter::BuildPack({{"long.bin", B(longText)}})));
    WritePack({{"long.bin", B(longText.substr(1) + "c")}});
    EXPECT_EQ(Run({"diff", older, pack_}).out, "M long.bin\n");
    pakwriter::Layout cut = pakwriter::LayoutFor({{"a.txt", B("abc")}});
    cut.truncateTo = 10;
    ASSERT_TRUE(pakwriter::WriteFile(pack_, pakwriter::Encode(cut)));
    const Result damaged = Run({"diff", older, pack_});
    EXPECT_EQ(damaged.code, 2);
    EXPECT_NE(damaged.err.find("damaged pack"), std::string::npos);
    EXPECT_EQ(Run({"diff", older, base_ / "missing.pak"}).code, 2);
}

// ---- Patches

// Two forms of one character: Ⅰ as NEC (0x8754) and as IBM (0xFA4A) stores it.
const std::string NEC_ONE = "\x87\x54";
const std::string IBM_ONE = "\xFA\x4A";

TEST_F(Cli, PatchTurnsOldIntoNewByteForByte)
{
    const std::vector<pakwriter::Entry> older = {{"readme.txt", B("old text")},
                                                 {Sjis("シナリオ\\01.txt"), B("scenario")},
                                                 {"empty.dat", {}},
                                                 {NEC_ONE + ".txt", B("nec")},
                                                 {"dup", B("1")},
                                                 {"dup", B("2")},
                                                 {"gone.bin", B("x")},
                                                 {"last.bin", B("z")}};
    struct Case {
        const char* why;
        std::vector<pakwriter::Entry> newer;
    };
    std::vector<pakwriter::Entry> noNewBytes = older;
    noNewBytes[0].bytes.clear(); // readme.txt
    noNewBytes.push_back({"added-empty", {}});
    const std::vector<Case> cases = {
        {"modified, added in a run, removed, a name in its other form added, an empty one last",
         {{"readme.txt", B("new text")},
          {Sjis("シナリオ\\01.txt"), B("scenario")},
          {Sjis("シナリオ\\02.txt"), B("two")},
          {"added/empty", {}},
          {"empty.dat", {}},
          {NEC_ONE + ".txt", B("nec")},
          {IBM_ONE + ".txt", B("ibm")},
          {"dup", B("1")},
          {"dup", B("2")},
          {"last.bin", B("z")},
          {"added/last and empty", {}}}},
        {"added at the start, an entry emptied, the second of a name changed",
         {{"first", B("f")},
          {"readme.txt", {}},
          {Sjis("シナリオ\\01.txt"), B("scenario")},
          {"empty.dat", B("now")},
          {NEC_ONE + ".txt", B("nec")},
          {"dup", B("1")},
          {"dup", B("two")},
          {"gone.bin", B("x")},
          {"last.bin", B("z")}}},
        {"only moved",
         {{"last.bin", B("z")},
          {"dup", B("1")},
          {"readme.txt", B("old text")},
          {"gone.bin", B("x")},
          {"empty.dat", {}},
          {Sjis("シナリオ\\01.txt"), B("scenario")},
          {NEC_ONE + ".txt", B("nec")},
          {"dup", B("2")}}},
        {"nothing left", {}},
        {"the same", older},
        {"no new bytes at all: an entry emptied, an empty one added", noNewBytes},
    };
    const fs::path oldPack = base_ / "old.pak";
    const fs::path newPack = base_ / "new.pak";
    const fs::path patch = base_ / "change.qvp";
    ASSERT_TRUE(pakwriter::WriteFile(oldPack, pakwriter::BuildPack(older)));
    for (const Case& c : cases) {
        ASSERT_TRUE(pakwriter::WriteFile(newPack, pakwriter::BuildPack(c.newer)));
        const Result diff = Run({"diff", "--patch", patch, "--force", oldPack, newPack});
        EXPECT_EQ(diff.out, Run({"diff", oldPack, newPack}).out) << c.why;
        ASSERT_EQ(diff.code, diff.out.empty() ? 0 : 1) << c.why << diff.err;
        const std::string patchBytes = ReadText(patch);
        ASSERT_EQ(Run({"diff", "--patch", patch, "--force", oldPack, newPack}).code, diff.code);
        EXPECT_TRUE(ReadText(patch) == patchBytes) << c.why << ": two runs, two patches";

        fs::copy_file(oldPack, pack_, fs::copy_options::overwrite_existing);
        const Result dry = Run({"patch", "--dry-run", pack_, patch});
        EXPECT_EQ(dry.code, 0) << c.why << dry.err;
        EXPECT_EQ(dry.out, diff.out) << c.why;
        const Result applied = Run({"patch", pack_, patch});
        EXPECT_EQ(applied.code, 0) << c.why << applied.err;
        EXPECT_TRUE(ReadText(pack_) == ReadText(newPack)) << c.why;
        const auto untouched = fs::last_write_time(pack_);
        const Result again = Run({"patch", pack_, patch});
        EXPECT_EQ(again.code, 0) << c.why;
        EXPECT_NE(again.err.find("already applied"), std::string::npos) << c.why << again.err;
        EXPECT_EQ(fs::last_write_time(pack_), untouched) << c.why;
    }
    EXPECT_EQ(Tree(), (std::set<std::string>{"old.pak", "new.pak", "change.qvp", "test.pak"}));
}

TEST_F(Cli, PatchOnAnotherEditionChangesOnlyItsEntriesOrRefuses)
{
    const fs::path oldPack = base_ / "old.pak";
    const fs::path newPack = base_ / "new.pak";
    const fs::path patch = base_ / "change.qvp";
    ASSERT_TRUE(pakwriter::WriteFile(
        oldPack, pakwriter::BuildPack({{"a", B("a")}, {"b", B("b")}, {"c", B("c")}, {"d", B("d")}})));
    ASSERT_TRUE(pakwriter::WriteFile(newPack, pakwriter::BuildPack({{"a", B("a")},
                                                                    {"a2", B("new")},
                                                                    {"a3", B("new")},
                                                                    {"b", B("B!")},
                                                                    {"c", B("c")},
                                                                    {"x", B("after c")},
                                                                    {"tail", B("t")}})));
    ASSERT_EQ(Run({"diff", "--patch", patch, oldPack, newPack}).code, 1);
    struct Case {
        const char* why;
        std::vector<pakwriter::Entry> pack;
        int code;
        std::vector<pakwriter::Entry> expected; // empty: PACK as it was
        std::string message;
        uint64_t cut = 0; // bytes cut from the end of PACK
    };
    const std::vector<Case> cases = {
        {"another edition: an entry the patch leaves changed, an extra entry",
         {{"extra", B("e")}, {"a", B("a")}, {"b", B("b")}, {"c", B("other c")}, {"d", B("d")}},
         0,
         {{"extra", B("e")},
          {"a", B("a")},
          {"a2", B("new")},
          {"a3", B("new")},
          {"b", B("B!")},
          {"c", B("other c")},
          {"x", B("after c")},
          {"tail", B("t")}},
         "1 changed, 4 added, 1 removed"},
        {"the entry added ones follow is missing: they go at the end, in order",
         {{"d", B("d")}, {"b", B("b")}, {"a", B("a")}},
         0,
         {{"b", B("B!")}, {"a", B("a")}, {"a2", B("new")}, {"a3", B("new")}, {"x", B("after c")}, {"tail", B("t")}},
         "1 changed, 4 added, 1 removed"},
        {"partly applied already",
         {{"a", B("a")}, {"b", B("B!")}, {"c", B("c")}, {"d", B("d")}},
         0,
         {{"a", B("a")},
          {"a2", B("new")},
          {"a3", B("new")},
          {"b", B("B!")},
          {"c", B("c")},
          {"x", B("after c")},
          {"tail", B("t")}},
         "0 changed, 4 added, 1 removed; 1 already applied"},
        {"a modified entry holds other bytes",
         {{"a", B("a")}, {"b", B("mine")}, {"d", B("d")}},
         2,
         {},
         "entry 'b' (name_hex 62): holds 4 other bytes; expected the 1 bytes the patch was made from (SHA-256 "
         "3e23e8160039594a33894f6564e1b1348bbd7a0088d42c4acb73eeaed59c009d)"},
        {"a modified entry is missing", {{"a", B("a")}, {"d", B("d")}}, 2, {}, "entry 'b' (name_hex 62): missing"},
        {"an added name is there with other bytes",
         {{"a", B("a")}, {"b", B("b")}, {"tail", B("T")}},
         2,
         {},
         "entry 'tail' (name_hex 7461696c): holds 1 other bytes"},
        {"a removed entry holds other bytes", {{"b", B("b")}, {"d", B("dd")}}, 2, {}, "entry 'd'"},
        {"a modified entry cut short with the pack",
         {{"a", B("a")}, {"b", B("b")}},
         2,
         {},
         "entry 1 'b': the entry runs past the end of the pack; nothing written",
         1},
    };
    for (const Case& c : cases) {
        WritePack(c.pack);
        fs::resize_file(pack_, fs::file_size(pack_) - c.cut);
        const std::string before = ReadText(pack_);
        const Result dry = Run({"patch", "--dry-run", pack_, patch});
        EXPECT_EQ(dry.code, c.code) << c.why;
        const Result r = Run({"patch", pack_, patch});
        EXPECT_EQ(r.code, c.code) << c.why << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << c.why << r.err;
        const pakwriter::Bytes expected = pakwriter::BuildPack(c.expected);
        EXPECT_TRUE(ReadText(pack_) == (c.expected.empty() ? before : std::string(expected.begin(), expected.end())))
            << c.why << "\n"
            << Run({"list", pack_}).out;
    }
    // An entry kept as stored whose bytes run past the end of the file is
    // refused, as update refuses it, before anything is written.
    pakwriter::Layout pastEnd =
        pakwriter::LayoutFor({{"a", B("a")}, {"b", B("b")}, {"c", B("c")}, {"d", B("d")}, {"z", B("z")}});
    pastEnd.records[4].size = 100;
    ASSERT_TRUE(pakwriter::WriteFile(pack_, pakwriter::Encode(pastEnd)));
    const std::string cut = ReadText(pack_);
    const Result past = Run({"patch", pack_, patch});
    EXPECT_EQ(past.code, 2);
    EXPECT_NE(past.err.find("entry 4 'z' runs past the end of the file"), std::string::npos) << past.err;
    EXPECT_TRUE(ReadText(pack_) == cut);
    // -o: a new file beside PACK, an existing one only with --force, never an empty name.
    WritePack({{"a", B("a")}, {"b", B("b")}, {"c", B("c")}, {"d", B("d")}});
    const std::string before = ReadText(pack_);
    EXPECT_EQ(Run({"patch", "-o", base_ / "out.pak", pack_, patch}).code, 0);
    EXPECT_TRUE(ReadText(base_ / "out.pak") == ReadText(newPack));
    EXPECT_EQ(Run({"patch", "-o", base_ / "out.pak", pack_, patch}).code, 2);
    EXPECT_EQ(Run({"patch", "-o", base_ / "out.pak", "--force", pack_, patch}).code, 0);
    EXPECT_EQ(Run({"patch", "-o", "", pack_, patch}).code, 2);
    EXPECT_TRUE(ReadText(pack_) == before);
    // diff --patch keeps an existing file unless told.
    EXPECT_EQ(Run({"diff", "--patch", patch, oldPack, newPack}).code, 2);
    EXPECT_EQ(Run({"diff", "--patch", patch, "--force", oldPack, newPack}).code, 1);
}

// Every single flipped bit, the file cut anywhere, another magic or version:
// the whole patch is refused before anything is looked at in a pack.
TEST_F(Cli, DamagedPatchesAreRefusedWhole)
{
    const fs::path oldPack = base_ / "old.pak";
    const fs::path newPack = base_ / "new.pak";
    const fs::path patch = base_ / "change.qvp";
    ASSERT_TRUE(pakwriter::WriteFile(oldPack, pakwriter::BuildPack({{"a", B("a")}, {"gone", B("g")}})));
    ASSERT_TRUE(pakwriter::WriteFile(newPack, pakwriter::BuildPack({{"a", B("b")}, {"new", B("n")}})));
    ASSERT_EQ(Run({"diff", "--patch", patch, oldPack, newPack}).code, 1);
    const std::string good = ReadText(patch);
    cli::InputFile file;
    cli::Patch read;
    std::string why;
    ASSERT_TRUE(cli::ReadPatch(patch, &file, &read, &why)) << why;
    ASSERT_EQ(read.records.size(), 3u);
    const fs::path damaged = base_ / "damaged.qvp";
    size_t refused = 0;
    for (size_t bit = 0; bit < good.size() * 8; ++bit) {
        std::string bytes = good;
        bytes[bit / 8] = char(bytes[bit / 8] ^ (1 << (bit % 8)));
        WriteText(damaged, bytes);
        refused += cli::ReadPatch(damaged, &file, &read, &why) ? 0 : 1;
    }
    EXPECT_EQ(refused, good.size() * 8);
    for (size_t length = 0; length < good.size(); ++length) {
        WriteText(damaged, good.substr(0, length));
        EXPECT_FALSE(cli::ReadPatch(damaged, &file, &read, &why)) << length;
    }
    // Made by hand, check and all: every record is read within its bounds
    // and every new byte matches its digest, whatever the check says.
    const auto resealed = [](std::string bytes) {
        cli::Sha256 check;
        check.Add(bytes.data(), bytes.size() - 32);
        const cli::Sha256Digest digest = check.Finish();
        bytes.replace(bytes.size() - 32, 32, reinterpret_cast<const char*>(digest.data()), 32);
        return bytes;
    };
    struct Forged {
        const char* why;
        size_t at;
        char byte;
        const char* reason; // what ReadPatch says
    };
    // The first record, 'M' for "a", begins behind the 16-byte header; the
    // new bytes of its two records lie just before the check.
    const std::vector<Forged> forged = {
        {"a record count past the records", 12, 4, "damaged: record 3 cannot be read"},
        {"a kind that does not exist", 16, 'X', "damaged: record 0 cannot be read"},
        {"an empty name", 17, 0, "damaged: record 0 cannot be read"},
        {"a name longer than what follows", 17, char(0xFF), "damaged: record 0 cannot be read"},
        {"a new byte unlike its digest", good.size() - 33, 0x55, "damaged: new bytes that do not match their SHA-256"},
    };
    for (const Forged& f : forged) {
        std::string bytes = good;
        bytes[f.at] = f.byte;
        WriteText(damaged, resealed(bytes));
        EXPECT_FALSE(cli::ReadPatch(damaged, &file, &read, &why)) << f.why;
        EXPECT_EQ(why, f.reason) << f.why;
    }
    WriteText(damaged, resealed(good));
    EXPECT_TRUE(cli::ReadPatch(damaged, &file, &read, &why)) << why;
    // Through the program: the reason, exit 2, the pack untouched.
    fs::copy_file(oldPack, pack_);
    struct Case {
        std::string bytes;
        std::string message;
    };
    std::string version2 = good;
    version2[8] = 2;
    std::string flipped = good;
    flipped[good.size() / 2] ^= 0x10;
    const std::vector<Case> cases = {
        {good.substr(0, good.size() - 1), "damaged"},
        {flipped, "damaged"},
        {"PK\x03\x04" + good.substr(4), "not a quorvel patch"},
        {version2, "format version 2; this quorvel-cli reads version 1"},
        {ReadText(oldPack), "not a quorvel patch"},
    };
    for (const Case& c : cases) {
        WriteText(damaged, c.bytes);
        const Result r = Run({"patch", pack_, damaged});
        EXPECT_EQ(r.code, 2) << c.message;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_TRUE(ReadText(pack_) == ReadText(oldPack)) << c.message;
    }
}

// ---- Glob

TEST(CliGlob, Patterns)
{
    struct Row {
        const char* pattern;
        const char* name;
        bool matches;
    };
    const Row rows[] = {
        {"bgm/*.ogg", "bgm/title.ogg", true},
        {"bgm\\*.ogg", "bgm/title.ogg", true},
        {"bgm/*.ogg", "se/title.ogg", false},
        {"*", "a/b/c", true},
        {"?.txt", "あ.txt", true},
        {"??.txt", "あ.txt", false},
        {"[a-c]*", "b.txt", true},
        {"[!a-c]*", "b.txt", false},
        {"[a-c]*", "a", true},
        {"[a-c]*", "c", true},
        {"[a-c]*", "d", false},
        {"[^a]*", "b.txt", true},
        {"*.txt", "a.txt.bak", false},
        {"a*b*c", "aXbYbZc", true},
        {"[abc", "[abc", true},
        {"bgm/*", "bgm", false},
        {"", "", true},
    };
    for (const Row& row : rows)
        EXPECT_EQ(cli::GlobMatch(row.pattern, row.name), row.matches) << row.pattern << " " << row.name;
}

// What JSON gets of a path that is not UTF-8: each byte that begins no
// well-formed sequence becomes U+FFFD; the edges of every range.
TEST(CliNames, ValidUtf8KeepsWellFormedSequencesOnly)
{
    const std::string bad = "\xEF\xBF\xBD";
    const std::pair<std::string, std::string> rows[] = {
        {"a\x7F", "a\x7F"},
        {"\xC1\xBF", bad + bad}, // overlong
        {"\xC2\x80\xDF\xBF", "\xC2\x80\xDF\xBF"},
        {"\xE0\x9F\x80", bad + bad + bad}, // overlong
        {"\xE0\xA0\x80", "\xE0\xA0\x80"},
        {"\xED\x9F\xBF", "\xED\x9F\xBF"},
        {"\xED\xA0\x80", bad + bad + bad},           // a surrogate
        {"\xF0\x8F\xBF\xBF", bad + bad + bad + bad}, // overlong
        {"\xF0\x90\x80\x80", "\xF0\x90\x80\x80"},
        {"\xF4\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF"},
        {"\xF4\x90\x80\x80", bad + bad + bad + bad}, // above U+10FFFF
        {"\xF5\x80", bad + bad},
        {"\xE3\x81", bad + bad},                     // cut short
        {"\xE3\x41\x81\x82", bad + "A" + bad + bad}, // not a continuation
    };
    for (const auto& [bytes, json] : rows)
        EXPECT_EQ(cli::ValidUtf8(bytes), json) << cli::HexBytes(bytes);
}

// Names that one case-folding volume takes for one file: the edges of
// every range of code page 932 letters that have a case, and their
// neighbours that have none.
TEST(CliNames, PathKeyFoldsEachCp932LetterWithACase)
{
    const std::pair<const char*, const char*> rows[] = {
        {"a/z{`", "A/Z{`"},
        {"ａｚ｀", "ＡＺ｀"}, // full-width Latin
        {"αως", "ΑΩς"},       // Greek; final sigma has no capital in cp932
        {"аяѐё", "АЯѐЁ"},     // Cyrillic; U+0450 is not in cp932
        {"ⅰⅿↀ", "ⅠⅯↀ"},       // small Roman numerals
        {"ＡΩЯⅫ", "ＡΩЯⅫ"},
        {"\xEF\xBF\xBF\xF0\x90\x80\x80", "\xEF\xBF\xBF\xF0\x90\x80\x80"}, // either side of U+10000, as it was
    };
    for (const auto& [name, key] : rows) {
        EXPECT_EQ(cli::PathKey(name, true), key) << name;
        EXPECT_EQ(cli::PathKey(name, false), name) << name;
    }
}

} // namespace

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: cli_test PATH-TO-quorvel-cli\n");
        return 2;
    }
    g_program = fs::absolute(argv[1]);
    return RUN_ALL_TESTS();
}
