// quorvel-cli end to end on Linux: the built program run on packs written
// by quorvel's pack writer, its files, output and exit codes checked.
#include "cli/names.h"
#include "pack_writer.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iconv.h>
#include <poll.h>
#include <set>
#include <sstream>
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
    // child's id for tests that signal it.
    Result Run(const std::vector<std::string>& args, const std::string& input = "",
               std::atomic<pid_t>* started = nullptr)
    {
        WriteText(base_ / ".stdin", input);
        const pid_t child = fork();
        if (child == 0) {
            dup2(open((base_ / ".stdin").c_str(), O_RDONLY), 0);
            dup2(open((base_ / ".stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
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
        return {Wait(child), ReadText(base_ / ".stdout"), ReadText(base_ / ".stderr")};
    }

    // The exit code; a death by signal N as -N, so that a program killed by
    // SIGINT is never taken for one that ended itself with 130.
    static int Wait(pid_t child)
    {
        int status = 0;
        waitpid(child, &status, 0);
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
    for (size_t i = 0; i < packs.size(); ++i) {
        WritePack(packs[i]);
        fs::remove_all(out_);
        const Result list = Run({"list", pack_});
        ASSERT_EQ(list.code, 0) << i;
        ASSERT_EQ(Run({"extract", "-C", out_, pack_}).code, 0) << i;
        // The list as printed, and as an editor on Windows may save it.
        std::string crlf = "\r\n";
        for (const char c : list.out)
            crlf += c == '\n' ? std::string("\r\n\n") : std::string(1, c);
        for (const std::string& order : {list.out, crlf}) {
            fs::remove(base_ / "new.pak");
            WriteText(base_ / "order.txt", order);
            const Result create =
                Run({"create", "--from-list", base_ / "order.txt", base_ / "new.pak", out_});
            ASSERT_EQ(create.code, 0) << i << create.err;
            EXPECT_EQ(ReadText(base_ / "new.pak"), ReadText(pack_)) << "pack " << i << " list " << order;
            EXPECT_EQ(Run({"verify", base_ / "new.pak"}).code, 0) << i;
        }
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
        {"B.txt", "42"},
        {"b0.txt", "62 30"},
        {"bZ.txt", "62 5a"},
        {"b/z.txt", "62 5c"},
        {"b_.txt", "62 5f"},
        {"Ａ.txt", "82 60"},
        {"あ.txt", "82 a0 2e"},
        {LONGEST_FOLDER + "/" + LONGEST_FILE, "82 a0 82 a0"},
        {"ア.txt", "83 41"},
        {"亜.txt", "88 9f"},
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
    };
    const std::vector<Case> cases = {
        {{}, "", 1, "old", "old"}, // not a terminal: never
        {{"--overwrite=never"}, "", 1, "old", "old"},
        {{"--overwrite=always"}, "", 0, "new a", "new b"},
        {{"--overwrite=ask"}, "y\nn\n", 1, "new a", "old"},
        {{"--overwrite=ask"}, "A\n", 0, "new a", "new b"},
        {{"--overwrite=ask"}, "N\n", 1, "old", "old"},
        {{"--overwrite=ask"}, "N\ny\n", 1, "old", "old"}, // N answers for b too: y is never read
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

// ---- What list and verify print

TEST_F(Cli, ListFormsShowEveryField)
{
    // Size and offset differ in every record, and the largest values fill
    // the columns: a swapped or narrowed field shows.
    pakwriter::Layout layout;
    layout.records = {{"a.txt", 3, 0},
                      {Sjis("bgm\\ソース.ogg"), 4294967295u, 0xDEADBEEF},
                      {"bad\x81\x20x\xFF.txt", 0, 0x1F}};
    layout.data = B("abc");
    layout.data.resize(0x1F);
    ASSERT_TRUE(pakwriter::WriteFile(pack_, pakwriter::Encode(layout)));
    EXPECT_EQ(Run({"list", pack_}).out, "a.txt\nbgm/ソース.ogg\nbad\\x81 x\\xFF.txt\n");
    EXPECT_EQ(Run({"list", "--long", pack_}).out, "         3  0x00000000  a.txt\n"
                                                  "4294967295  0xDEADBEEF  bgm/ソース.ogg\n"
                                                  "         0  0x0000001F  bad\\x81 x\\xFF.txt\n");
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
}

// ---- Exit codes and what verify finds

TEST_F(Cli, ExitCodes)
{
    WritePack({{"bgm\\a.ogg", B("a")}, {"se\\b.wav", B("b")}});
    struct Case {
        std::vector<std::string> args;
        int code;
    };
    const std::string pack = pack_;
    const std::string out = out_;
    const std::vector<Case> cases = {
        {{}, 2},
        {{"--help"}, 0},
        {{"--version"}, 0},
        {{"list", "--help"}, 0},
        {{"frobnicate"}, 2},
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
        EXPECT_EQ(Run(c.args).code, c.code) << shown;
    }
    EXPECT_TRUE(fs::exists(out_ / "bgm" / "a.ogg"));
    EXPECT_FALSE(fs::exists(out_ / "se"));
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
          {"middle", 40, 10},  // inside outer
          {"inner", 10, 20},   // inside middle, so inside outer
          {"later", 10, 60},   // inside outer, behind middle
          {"tail", 10, 100},   // over outer's last 5 bytes and on past it
          {"empty", 0, 112},   // no bytes: splits no gap
          {"last", 5, 115}},
         125,
         {{1, 0, 10, 40}, {2, 0, 20, 10}, {3, 0, 60, 10}, {4, 0, 100, 5}},
         {{0, 5}, {110, 5}, {120, 5}},
         {},
         {},
         {}},
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
        EXPECT_EQ(report["findings"], row.overlaps.size() + row.gaps.size() + row.pastEnd.size() +
                                          row.duplicates.size() + row.refused.size())
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
}

// ---- Interruption

TEST_F(Cli, InterruptedRunsEndWith130AndLeaveNothing)
{
    ASSERT_TRUE(pakwriter::WriteGeneratedPack(pack_, {{"huge.bin", 256ull * 1024 * 1024}},
                                              pakwriter::FillPattern));
    fs::create_directory(out_);
    fs::create_directory(base_ / "src");
    WriteText(base_ / "src" / "a.txt", "a");
    // Sparse: the program reads 256 MiB without the test writing them.
    std::ofstream(base_ / "src" / "huge.bin").close();
    fs::resize_file(base_ / "src" / "huge.bin", 256ull * 1024 * 1024);
    struct Row {
        std::vector<std::string> args;
        fs::path writesInto; // where the program's unfinished file lies
    };
    const std::vector<Row> rows = {
        {{"extract", "-C", out_, pack_}, out_},
        {{"create", base_ / "new.pak", base_ / "src"}, base_},
    };
    for (const Row& row : rows) {
        const std::set<std::string> before = Tree();
        std::atomic<pid_t> child{0};
        // Presses Ctrl+C once the program holds a file open in the folder
        // (unnamed or under a temporary name: /proc shows it either way);
        // not a folder it walks, nor the test's own standard streams.
        const auto writing = [&](pid_t pid) {
            std::error_code ignored;
            for (const auto& fd : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ignored)) {
                const fs::path target = fs::read_symlink(fd.path(), ignored);
                if (target.parent_path() == row.writesInto && target.filename().string().rfind(".std", 0) != 0 &&
                    !fs::is_directory(target, ignored))
                    return true;
            }
            return false;
        };
        std::thread interrupter([&] {
            for (int i = 0; i < 20000; ++i) {
                if (child != 0 && writing(child)) {
                    kill(child, SIGINT);
                    return;
                }
                usleep(500);
            }
        });
        const Result r = Run(row.args, "", &child);
        interrupter.join();
        EXPECT_EQ(r.code, 130) << row.args[0] << r.err;
        EXPECT_NE(r.err.find("interrupted"), std::string::npos) << row.args[0] << r.err;
        EXPECT_EQ(Tree(), before) << row.args[0];
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
        std::vector<char*> argv{const_cast<char*>(g_program.c_str())};
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(g_program.c_str(), argv.data());
        _exit(127);
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
    WritePack({{"a.txt", B("new a")}, {"b.txt", B("new b")}});
    struct Row {
        const char* why;
        std::vector<std::string> options;
        bool stdinTerminal, stderrTerminal;
        bool asks, showsProgress;
    };
    // Progress waits a second before it shows: the question is answered
    // after longer than that.
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
        const Result r =
            RunAtTerminal(args, row.stdinTerminal, row.stderrTerminal, "n\n", base_ / ".stdout", 1.3);
        EXPECT_EQ(r.code, 1) << row.why;
        EXPECT_EQ(ReadText(out_ / "a.txt"), "old") << row.why;
        EXPECT_EQ(ReadText(out_ / "b.txt"), "new b") << row.why;
        EXPECT_EQ(r.err.find("replace") != std::string::npos, row.asks) << row.why << r.err;
        EXPECT_EQ(r.err.find(" entries, ") != std::string::npos, row.showsProgress) << row.why << r.err;
        EXPECT_NE(r.err.find("skipped"), std::string::npos) << row.why << r.err;
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
