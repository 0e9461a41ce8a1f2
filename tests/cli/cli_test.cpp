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
        int status = 0;
        waitpid(child, &status, 0);
        Result result{WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status),
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
         {"bgm\\empty.ogg", {}},
         {Sjis("データ\\深い\\a.txt"), B("deep")},
         {"a.txt", B("not sorted: directory order is kept")}},
    };
    for (size_t i = 0; i < packs.size(); ++i) {
        WritePack(packs[i]);
        fs::remove_all(out_);
        fs::remove(base_ / "new.pak");
        const Result list = Run({"list", pack_});
        ASSERT_EQ(list.code, 0) << i;
        WriteText(base_ / "order.txt", list.out);
        ASSERT_EQ(Run({"extract", "-C", out_, pack_}).code, 0) << i;
        const Result create =
            Run({"create", "--from-list", base_ / "order.txt", base_ / "new.pak", out_});
        ASSERT_EQ(create.code, 0) << i << create.err;
        EXPECT_EQ(ReadText(base_ / "new.pak"), ReadText(pack_)) << "pack " << i;
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
    fs::create_directory(out_);
    std::atomic<pid_t> child{0};
    // Presses Ctrl+C once the program holds a file open in out_ (unnamed
    // or under a temporary name: /proc shows it either way).
    const auto writingIntoOut = [this](pid_t pid) {
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
                kill(child, SIGINT);
                return;
            }
            usleep(500);
        }
    });
    const Result r = Run({"extract", "-C", out_, pack_}, "", &child);
    interrupter.join();
    EXPECT_EQ(r.code, 130) << r.err;
    EXPECT_TRUE(fs::is_empty(out_));
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
