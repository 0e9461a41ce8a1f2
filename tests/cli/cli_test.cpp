// quorvel-cli end to end on Linux: the built program run on packs written
// by quorvel's pack writer, its files, output and exit codes checked.
#include "cli/names.h"
#include "pack_writer.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iconv.h>
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
            std::vector<char*> argv{const_cast<char*>(g_program.c_str())};
            for (const std::string& a : args)
                argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv(g_program.c_str(), argv.data());
            _exit(127);
        }
        if (started != nullptr)
            *started = child;
        int status = 0;
        waitpid(child, &status, 0);
        // A program killed by a signal is told apart from one that exits 128 + n.
        Result result{WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status),
                      ReadText(base_ / ".stdout"), ReadText(base_ / ".stderr")};
        return result;
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

    fs::path base_;
    fs::path pack_;
    fs::path out_;
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
        {"dot behind a lead byte", "\x81." "\x81./escape.txt"},
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
}

// ---- Names that are hostile to terminals, scripts and file systems

struct NameRow {
    const char* why;
    std::string stored;
    std::string shown;   // as list prints it
    std::string partner; // another name giving the same file, or ""
    bool partnerSameFileHere; // on Linux too, not only where case is ignored
    bool extracts;
    const char* finding;  // verify's finding for the name alone, or nullptr
    bool severalForms;    // a text list cannot keep its bytes, and says so
    bool textKeepsBytes;  // a text list gives the same bytes back
};

TEST_F(Cli, HostileNamesThroughListVerifyExtractAndBack)
{
    std::string hundred;
    for (int i = 0; i < 100; ++i)
        hundred += "あ";
    const std::vector<NameRow> rows = {
        {"CR and LF", "a\r\nb.txt", "a\\x0D\\x0Ab.txt", "", false, true, nullptr, false, true},
        {"terminal title and bell", "\x1B]0;t\x07.txt", "\\x1B]0;t\\x07.txt", "", false, true, nullptr, false, true},
        {"DEL", "d\x7F.txt", "d\\x7F.txt", "", false, true, nullptr, false, true},
        {"IBM numeral one", "\xFA\x4A.txt", "Ⅰ.txt", "\x87\x54.txt", true, true, nullptr, true, false},
        {"IBM kanji, NEC form", "\xED\x40.txt", "纊.txt", "\xFA\x5C.txt", true, true, nullptr, true, false},
        {"NEC sign", "\x87\x90.txt", "≒.txt", "\x81\xE0.txt", true, true, nullptr, true, false},
        {"0x2F as separator", "d/e.txt", "d/e.txt", "d\\e.txt", true, true, nullptr, false, false},
        {"canonical form", "\x87\x54.txt", "Ⅰ.txt", "", false, true, nullptr, true, true},
        {"letter case", "Case.txt", "Case.txt", "CASE.txt", false, true, nullptr, false, true},
        {"0x80", "b\x80.txt", "b\\x80.txt", "", false, false, "invalid_names", false, false},
        {"300 bytes in UTF-8", Sjis(hundred + ".txt"), hundred + ".txt", "", false, false, "long_parts", false, false},
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
        ASSERT_TRUE(pakwriter::WriteFile(
            pack, pakwriter::BuildPack({{row.stored, B("first")}, {row.partner, B("second")}})));
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
    WritePack({{"a", B("")}, {"b", B("")}, {"ab", B("")}, {"[]", B("")}, {"x", B("")}, {",", B("")},
               {"x,y", B("")}, {"Scene\\01", B("")}, {"scene\\02", B("")}, {"Scene\\0a", B("")}});
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
         {"bgm\\empty.ogg", {}},
         {Sjis("データ\\深い\\a.txt"), B("deep")},
         {"a.txt", B("not sorted: directory order is kept")}},
    };
    // The list as list prints it, as list --json prints it, and as a
    // Windows editor saves it (byte-order mark, CRLF, a blank line).
    const auto asWindowsEditorSaves = [](std::string text) {
        std::string saved = "\xEF\xBB\xBF";
        for (const char c : text)
            saved += c == '\n' ? std::string("\r\n") : std::string(1, c);
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
            const Result create =
                Run({"create", "--from-list", base_ / "order.txt", base_ / "new.pak", out_});
            ASSERT_EQ(create.code, 0) << i << " " << form << create.err;
            EXPECT_EQ(ReadText(base_ / "new.pak"), ReadText(pack_)) << "pack " << i << " list form " << form;
        }
        EXPECT_EQ(Run({"verify", base_ / "new.pak"}).code, 0) << i;
    }
}

TEST_F(Cli, CreateSortsByStoredBytesAndCatReadsBack)
{
    fs::create_directories(base_ / "src" / "b");
    WriteText(base_ / "src" / "b" / "z.txt", "z");
    WriteText(base_ / "src" / "ア.txt", "katakana");
    WriteText(base_ / "src" / "B.txt", "upper");
    ASSERT_EQ(Run({"create", pack_, base_ / "src"}).code, 0);
    // 'B' 0x42 < 'b' 0x62 < 0x83 (ア); the separator is stored as 0x5C.
    EXPECT_EQ(Run({"list", pack_}).out, "B.txt\nb/z.txt\nア.txt\n");
    EXPECT_EQ(Run({"cat", pack_, "ア.txt"}).out, "katakana");
    EXPECT_EQ(Run({"cat", pack_, "b\\z.txt"}).out, "z");
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
        for (const std::vector<std::string>& args :
             std::vector<std::vector<std::string>>{{"list", pack_},
                                                   {"list", "--json", pack_},
                                                   {"extract", "-C", out_, pack_},
                                                   {"cat", pack_, "a.txt"}}) {
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
    };
    const std::vector<Case> cases = {
        {{}, "", 1, "old", "old"}, // not a terminal: never
        {{"--overwrite=never"}, "", 1, "old", "old"},
        {{"--overwrite=always"}, "", 0, "new a", "new b"},
        {{"--overwrite=ask"}, "y\nn\n", 1, "new a", "old"},
        {{"--overwrite=ask"}, "A\n", 0, "new a", "new b"},
        {{"--overwrite=ask"}, "N\n", 1, "old", "old"},
        {{"--overwrite=ask"}, "", 1, "old", "old"}, // end of input: no
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        fs::remove_all(out_);
        fs::create_directory(out_);
        WriteText(out_ / "a.txt", "old");
        WriteText(out_ / "b.txt", "old");
        std::vector<std::string> args = {"extract", "-q", "-C", out_};
        args.insert(args.end(), cases[i].options.begin(), cases[i].options.end());
        args.push_back(pack_);
        EXPECT_EQ(Run(args, cases[i].input).code, cases[i].code) << i;
        EXPECT_EQ(ReadText(out_ / "a.txt"), cases[i].a) << i;
        EXPECT_EQ(ReadText(out_ / "b.txt"), cases[i].b) << i;
        EXPECT_EQ(Tree(), (std::set<std::string>{"out", "out/a.txt", "out/b.txt", "test.pak"})) << i;
    }
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
        {{}, 2},
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
        {{"verify", pack}, 0},
        {{"create", pack, out}, 2}, // exists, no --force
        {{"create", (base_ / "missing").string() + ".pak", (base_ / "no-such-folder").string()}, 2},
    };
    for (const Case& c : cases) {
        std::string shown;
        for (const std::string& a : c.args)
            shown += a + " ";
        const Result r = Run(c.args);
        EXPECT_EQ(r.code, c.code) << shown;
        EXPECT_NE((r.out + r.err).find(c.says), std::string::npos) << shown << r.err;
    }
    EXPECT_TRUE(fs::exists(out_ / "bgm" / "a.ogg"));
    EXPECT_FALSE(fs::exists(out_ / "se"));
}

// Standard output that cannot be written, and a pack that cannot be read
// at a position, are the system's errors, never a success or damage.
TEST_F(Cli, FailedWritesAndReadsExitTwo)
{
    WritePack({{"a.txt", B("abc")}});
    const std::string pack = pack_;
    const std::string fifo = base_ / "fifo.pak";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
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
        {{"list", fifo}, false, "Illegal seek"},
        {{"verify", fifo}, false, "Illegal seek"},
        {{"extract", "-C", out_, fifo}, false, "Illegal seek"},
        {{"cat", fifo, "a.txt"}, false, "Illegal seek"},
    };
    const std::string bytes = ReadText(pack_);
    for (const Row& row : rows) {
        std::thread feeder;
        if (!row.toFullDisk) {
            // Small enough for the pipe's buffer: written whole at once.
            feeder = std::thread([&] { WriteText(fifo, bytes); });
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
    pakwriter::Layout layout;
    layout.records = {{"a.txt", 4, 0}, {"b.txt", 4, 2}, {"a.txt", 2, 10}, {"..\\c.txt", 1, 20}, {"d.txt", 1, 100}};
    layout.data = pakwriter::Bytes(22, 'x');
    ASSERT_TRUE(pakwriter::WriteFile(pack_, pakwriter::Encode(layout)));
    const Result r = Run({"verify", "--json", pack_});
    EXPECT_EQ(r.code, 1);
    const auto report = nlohmann::json::parse(r.out);
    EXPECT_EQ(report["overlaps"].size(), 1u);
    EXPECT_EQ(report["overlaps"][0]["index"], 1);
    EXPECT_EQ(report["overlaps"][0]["other"], 0);
    EXPECT_EQ(report["gaps"].size(), 3u); // 6..10, 12..20, 21..22
    EXPECT_EQ(report["gaps"][0]["bytes"], 4);
    EXPECT_EQ(report["duplicates"][0]["index"], 2);
    EXPECT_EQ(report["refused_names"][0]["index"], 3);
    EXPECT_EQ(report["past_end"][0]["index"], 4);
    EXPECT_EQ(report["findings"], 7);
}

// ---- create's refusals: all or nothing

TEST_F(Cli, CreateRefusesAndWritesNothing)
{
    struct Case {
        const char* why;
        std::function<void(const fs::path& src)> prepare;
        std::vector<std::string> extra;
    };
    const std::vector<Case> cases = {
        {"link", [](const fs::path& s) { fs::create_symlink("/etc/passwd", s / "link"); }, {}},
        {"folder link", [](const fs::path& s) { fs::create_directory_symlink("/etc", s / "etc"); }, {}},
        {"yen sign would become a separator", [](const fs::path& s) { WriteText(s / "a¥b.txt", ""); }, {}},
        {"no cp932 form", [](const fs::path& s) { WriteText(s / "emoji😀.txt", ""); }, {}},
        {"backslash in a name", [](const fs::path& s) { WriteText(s / "a\\b", ""); }, {}},
        {"device", [](const fs::path& s) { WriteText(s / "aux.txt", ""); }, {}},
        {"longer than 255 bytes",
         [](const fs::path& s) {
             fs::create_directory(s / std::string(60, 'b'));
             WriteText(s / std::string(60, 'b') / std::string(200, 'a'), "");
         },
         {}},
        {"missing from the list", [](const fs::path& s) { WriteText(s / "extra.txt", ""); }, {"--from-list"}},
        {"listed without a file", [](const fs::path& s) { fs::remove(s / "ok.txt"); }, {"--from-list"}},
    };
    for (const Case& c : cases) {
        const fs::path src = base_ / "src";
        fs::remove_all(src);
        fs::create_directory(src);
        WriteText(src / "ok.txt", "fine");
        WriteText(base_ / "list.txt", "ok.txt\n");
        c.prepare(src);
        std::vector<std::string> args = {"create"};
        if (!c.extra.empty())
            args.insert(args.end(), {"--from-list", base_ / "list.txt"});
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
}

// ---- Interruption

TEST_F(Cli, InterruptedExtractionLeavesNothing)
{
    ASSERT_TRUE(pakwriter::WriteGeneratedPack(pack_, {{"huge.bin", 256ull * 1024 * 1024}},
                                              pakwriter::FillPattern));
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
    struct Row {
        int signal;
        bool named; // written under a temporary name
    };
    const Row rows[] = {{SIGINT, false}, {SIGTERM, false}, {SIGHUP, false}, {SIGHUP, true}, {SIGINT, true}};
    for (const Row& row : rows) {
        if (row.named && geteuid() != 0) {
            std::printf("a new mount namespace needs root: the temporary-name row is left out\n");
            continue;
        }
        fs::remove_all(out_);
        fs::create_directory(out_);
        std::atomic<pid_t> child{0};
        // Signals once the program holds a file open in out_ (unnamed or
        // under a temporary name: /proc shows it either way), and for the
        // named rows once that name is there.
        const auto writingIntoOut = [&](pid_t pid) {
            if (row.named && fs::is_empty(out_))
                return false;
            std::error_code ignored;
            for (const auto& fd : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ignored)) {
                if (fs::read_symlink(fd.path(), ignored).string().rfind(out_.string() + "/", 0) == 0)
                    return true;
            }
            return false;
        };
        std::thread interrupter([&] {
            for (int i = 0; i < 20000; ++i) {
                if (child != 0 && writingIntoOut(child)) {
                    kill(child, row.signal);
                    return;
                }
                usleep(500);
            }
        });
        const Result r = Run({"extract", "-C", out_, pack_}, "", &child,
                               row.named ? std::function<void()>(withoutProc) : std::function<void()>());
        interrupter.join();
        EXPECT_EQ(r.code, 128 + row.signal) << row.signal << r.err;
        EXPECT_NE(r.err.find("interrupted"), std::string::npos) << row.signal;
        EXPECT_TRUE(fs::is_empty(out_)) << row.signal << " " << row.named;
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
        {"bgm/*.ogg", "bgm/title.ogg", true},   {"bgm\\*.ogg", "bgm/title.ogg", true},
        {"bgm/*.ogg", "se/title.ogg", false},   {"*", "a/b/c", true},
        {"?.txt", "あ.txt", true},              {"??.txt", "あ.txt", false},
        {"[a-c]*", "b.txt", true},              {"[!a-c]*", "b.txt", false},
        {"[^a]*", "b.txt", true},               {"*.txt", "a.txt.bak", false},
        {"a*b*c", "aXbYbZc", true},             {"[abc", "[abc", true},
        {"bgm/*", "bgm", false},                {"", "", true},
    };
    for (const Row& row : rows)
        EXPECT_EQ(cli::GlobMatch(row.pattern, row.name), row.matches) << row.pattern << " " << row.name;
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
