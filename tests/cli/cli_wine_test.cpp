// quorvel-cli.exe end to end under Wine: Japanese names, folders and
// refused names through the wide-character file calls.
#include "pack_writer.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

namespace {

std::wstring g_program; // quorvel-cli.exe beside this test program

std::string ToCodePage(UINT codePage, const std::wstring& wide)
{
    const int length = WideCharToMultiByte(codePage, 0, wide.data(), int(wide.size()), nullptr, 0, nullptr, nullptr);
    std::string bytes(size_t(length), '\0');
    WideCharToMultiByte(codePage, 0, wide.data(), int(wide.size()), bytes.data(), length, nullptr, nullptr);
    return bytes;
}

std::string Sjis(const std::wstring& wide)
{
    return ToCodePage(932, wide);
}

std::string Utf8(const std::wstring& wide)
{
    return ToCodePage(CP_UTF8, wide);
}

pakwriter::Bytes B(const std::string& text)
{
    return pakwriter::Bytes(text.begin(), text.end());
}

bool Exists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string ReadWhole(const std::wstring& path)
{
    std::string bytes;
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return "<missing>";
    char block[65536];
    DWORD got = 0;
    while (ReadFile(file, block, sizeof block, &got, nullptr) && got > 0)
        bytes.append(block, got);
    CloseHandle(file);
    return bytes;
}

void WriteWhole(const std::wstring& path, const std::string& bytes)
{
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    WriteFile(file, bytes.data(), DWORD(bytes.size()), &written, nullptr);
    CloseHandle(file);
}

int CountFiles(const std::wstring& folder)
{
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return 0;
    int count = 0;
    do {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L"..")
            continue;
        count += (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? CountFiles(folder + L"\\" + name) + 1 : 1;
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return count;
}

void RemoveTree(const std::wstring& folder)
{
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = found.cFileName;
            if (name == L"." || name == L"..")
                continue;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
                RemoveDirectoryW((folder + L"\\" + name).c_str()); // the link, never what it points to
            else if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveTree(folder + L"\\" + name);
            else
                DeleteFileW((folder + L"\\" + name).c_str());
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    RemoveDirectoryW(folder.c_str());
}

struct Result {
    DWORD code;
    std::string out; // UTF-8: standard output is a file here
    std::string err;
};

class CliWine : public ::testing::Test {
protected:
    void SetUp() override
    {
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        base_ = std::wstring(temp) + L"quorvel-cli-テスト-" + std::to_wstring(GetCurrentProcessId());
        RemoveTree(base_);
        CreateDirectoryW(base_.c_str(), nullptr);
        pack_ = base_ + L"\\データ.pak";
        out_ = base_ + L"\\展開先";
    }
    void TearDown() override { RemoveTree(base_); }

    Result Run(const std::wstring& arguments)
    {
        SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
        const std::wstring outPath = base_ + L"\\.stdout";
        const std::wstring errPath = base_ + L"\\.stderr";
        const HANDLE out =
            CreateFileW(outPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
        const HANDLE err =
            CreateFileW(errPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
        const HANDLE in = CreateFileW(L"NUL", GENERIC_READ, 0, &inherit, OPEN_EXISTING, 0, nullptr);
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = in;
        startup.hStdOutput = out;
        startup.hStdError = err;
        std::wstring commandLine = L"\"" + g_program + L"\" " + arguments;
        PROCESS_INFORMATION process = {};
        Result result{9999, {}, {}};
        if (CreateProcessW(g_program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, base_.c_str(),
                           &startup, &process)) {
            WaitForSingleObject(process.hProcess, 60000);
            GetExitCodeProcess(process.hProcess, &result.code);
            CloseHandle(process.hThread);
            CloseHandle(process.hProcess);
        }
        CloseHandle(out);
        CloseHandle(err);
        CloseHandle(in);
        result.out = ReadWhole(outPath);
        result.err = ReadWhole(errPath);
        DeleteFileW(outPath.c_str());
        DeleteFileW(errPath.c_str());
        return result;
    }

    void WritePack(const std::vector<pakwriter::Entry>& entries)
    {
        const pakwriter::Bytes bytes = pakwriter::BuildPack(entries);
        WriteWhole(pack_, std::string(bytes.begin(), bytes.end()));
    }

    static std::wstring Q(const std::wstring& path) { return L"\"" + path + L"\""; }

    std::wstring base_;
    std::wstring pack_;
    std::wstring out_;
};

TEST_F(CliWine, JapaneseNamesAndFoldersRoundTrip)
{
    const std::vector<pakwriter::Entry> entries = {
        {Sjis(L"表紙.bmp"), B("picture")},
        {Sjis(L"ソース一覧.txt"), B("0x5C trail byte")},
        {Sjis(L"音楽\\タイトル.ogg"), B("music")},
        {Sjis(L"音楽\\空.ogg"), {}},
        {"readme.txt", B("plain")},
    };
    WritePack(entries);

    const Result list = Run(L"list " + Q(pack_));
    ASSERT_EQ(list.code, 0u) << list.err;
    EXPECT_EQ(list.out, Utf8(L"表紙.bmp\nソース一覧.txt\n音楽/タイトル.ogg\n音楽/空.ogg\nreadme.txt\n"));
    WriteWhole(base_ + L"\\順序.txt", list.out);

    const Result extract = Run(L"extract -C " + Q(out_) + L" " + Q(pack_));
    ASSERT_EQ(extract.code, 0u) << extract.err;
    EXPECT_EQ(ReadWhole(out_ + L"\\ソース一覧.txt"), "0x5C trail byte");
    EXPECT_EQ(ReadWhole(out_ + L"\\音楽\\タイトル.ogg"), "music");
    EXPECT_EQ(ReadWhole(out_ + L"\\音楽\\空.ogg"), "");
    EXPECT_EQ(CountFiles(out_), 6);

    const Result pattern = Run(L"extract -C " + Q(base_ + L"\\一部") + L" " + Q(pack_) + L" 音楽/*");
    ASSERT_EQ(pattern.code, 0u) << pattern.err;
    EXPECT_EQ(CountFiles(base_ + L"\\一部"), 3);

    const Result create =
        Run(L"create --from-list " + Q(base_ + L"\\順序.txt") + L" " + Q(base_ + L"\\新.pak") + L" " + Q(out_));
    ASSERT_EQ(create.code, 0u) << create.err;
    EXPECT_EQ(ReadWhole(base_ + L"\\新.pak"), ReadWhole(pack_));
    EXPECT_EQ(Run(L"cat " + Q(pack_) + L" 音楽\\タイトル.ogg").out, "music");
}

// Pack names are code page 932 whatever the system's code page is: run
// also in a Western locale (code page 1252), where a 0x5C trail byte must
// still not split a name.
TEST_F(CliWine, NamesFollowCp932InAnyLocale)
{
    WritePack({{Sjis(L"ソース一覧.txt"), B("trail byte")}, {Sjis(L"表\\紙.bmp"), B("folder")}});
    const Result r = Run(L"extract -C " + Q(base_ + L"\\out") + L" " + Q(pack_));
    EXPECT_EQ(r.code, 0u) << r.err;
    EXPECT_EQ(ReadWhole(base_ + L"\\out\\ソース一覧.txt"), "trail byte");
    EXPECT_EQ(ReadWhole(base_ + L"\\out\\表\\紙.bmp"), "folder");
    EXPECT_EQ(Run(L"list " + Q(pack_)).out, Utf8(L"ソース一覧.txt\n表/紙.bmp\n"));
}

TEST_F(CliWine, RefusedNamesWriteNothingOutside)
{
    const std::vector<std::string> hostile = {
        "..\\escape.txt",
        "C:\\escape.txt",
        "C:escape.txt",
        "ok.txt:stream",
        "CON",
        "sub\\aux.txt",
        "\x81/..\x81/escape.txt",
        "\\escape.txt",
        // Windows would drop the trailing dot or space and write another
        // name; refused before any folder of theirs is made.
        "dot.",
        "space ",
        "folder.\\x.txt",
        Sjis(L"―..\\x.txt"),
    };
    std::vector<pakwriter::Entry> entries;
    for (const std::string& name : hostile)
        entries.push_back({name, B("bad")});
    entries.push_back({Sjis(L"良い.txt"), B("good")});
    WritePack(entries);
    CreateDirectoryW(out_.c_str(), nullptr);

    const Result r = Run(L"extract -C " + Q(out_) + L" " + Q(pack_));
    EXPECT_EQ(r.code, 1u);
    EXPECT_EQ(CountFiles(out_), 1);
    EXPECT_EQ(ReadWhole(out_ + L"\\良い.txt"), "good");
    EXPECT_EQ(CountFiles(base_), 3); // the pack, the folder, the good file
    EXPECT_FALSE(Exists(L"C:\\escape.txt"));
    for (size_t i = 0; i < hostile.size(); ++i)
        EXPECT_NE(r.err.find("entry " + std::to_string(i) + " "), std::string::npos) << hostile[i];
}

// The same answers as on Linux: 0x80 is no character, and two names that
// give one file are never written over each other (here: letter case, and
// the short 8.3 name the system gives a long one).
TEST_F(CliWine, NamesGetTheAnswersTheyGetOnLinux)
{
    // The short name of "longfilename.txt" in a folder of its own, as the
    // system makes it ("LONGFI~1.TXT" on Windows, a hashed form on Wine).
    const std::wstring scratch = base_ + L"\\short";
    CreateDirectoryW(scratch.c_str(), nullptr);
    WriteWhole(scratch + L"\\longfilename.txt", "");
    wchar_t shortPath[MAX_PATH] = {};
    GetShortPathNameW((scratch + L"\\longfilename.txt").c_str(), shortPath, MAX_PATH);
    const std::wstring alias = std::wstring(shortPath).substr(std::wstring(shortPath).find_last_of(L'\\') + 1);
    RemoveTree(scratch);
    ASSERT_NE(alias, L"longfilename.txt") << "no short names on this volume";
    WritePack({{"b\x80.txt", B("x")},
               {"Case.txt", B("first")},
               {"CASE.txt", B("second")},
               {"longfilename.txt", B("first")},
               {Utf8(alias), B("second")}});
    EXPECT_EQ(Run(L"list " + Q(pack_)).out, "b\\x80.txt\nCase.txt\nCASE.txt\nlongfilename.txt\n" + Utf8(alias) + "\n");
    const Result r = Run(L"extract --overwrite=always -C " + Q(out_) + L" " + Q(pack_));
    EXPECT_EQ(r.code, 1u);
    EXPECT_NE(r.err.find("entry 0 'b\\x80.txt'"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("same file as entry 1"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("entry 4 '" + Utf8(alias) + "'"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("same file as entry 3"), std::string::npos) << r.err;
    EXPECT_EQ(ReadWhole(out_ + L"\\case.txt"), "first");
    EXPECT_EQ(ReadWhole(out_ + L"\\longfilename.txt"), "first");
    EXPECT_EQ(CountFiles(out_), 2);
    const Result verify = Run(L"verify " + Q(pack_));
    EXPECT_EQ(verify.code, 1u);
    EXPECT_NE(verify.out.find("not valid code page 932"), std::string::npos) << verify.out;
    EXPECT_NE(verify.out.find("entry 2 'CASE.txt': same file as entry 1"), std::string::npos) << verify.out;
}

TEST_F(CliWine, CreateRefusesNamesWithoutCp932Form)
{
    const std::wstring source = base_ + L"\\素材";
    CreateDirectoryW(source.c_str(), nullptr);
    WriteWhole(source + L"\\ok.txt", "ok");
    WriteWhole(source + L"\\a\u00A5b.txt", "yen sign"); // would become a 0x5C separator
    const Result r = Run(L"create " + Q(pack_) + L" " + Q(source));
    EXPECT_EQ(r.code, 2u);
    EXPECT_FALSE(Exists(pack_));
    EXPECT_NE(r.err.find("code page 932"), std::string::npos) << r.err;
}

// update on Windows: the new pack put in place of the old one by the
// platform's replace, names matched as extract writes them (letter case
// does not tell two files apart there), and diff of the two.
TEST_F(CliWine, UpdateReplacesAddsRemovesAndDiffTellsIt)
{
    const std::vector<pakwriter::Entry> entries = {
        {Sjis(L"表紙.bmp"), B("picture")},
        {Sjis(L"音楽\\タイトル.ogg"), B("music")},
        {"Readme.TXT", B("old readme")},
        {Sjis(L"音楽\\空.ogg"), {}},
    };
    WritePack(entries);
    const std::string before = ReadWhole(pack_);
    const std::wstring source = base_ + L"\\素材";
    CreateDirectoryW(source.c_str(), nullptr);
    CreateDirectoryW((source + L"\\音楽").c_str(), nullptr);
    WriteWhole(source + L"\\音楽\\タイトル.ogg", "new music");
    WriteWhole(source + L"\\readme.txt", "new readme");
    WriteWhole(source + L"\\新規.txt", "added");

    const Result dryRun = Run(L"update --dry-run --remove 音楽/空.ogg " + Q(pack_) + L" " + Q(source));
    ASSERT_EQ(dryRun.code, 0u) << dryRun.err;
    const std::string changes = Utf8(L"M 音楽/タイトル.ogg\nM Readme.TXT\nA 新規.txt\nD 音楽/空.ogg\n");
    EXPECT_EQ(dryRun.out, changes);
    EXPECT_EQ(ReadWhole(pack_), before);

    WriteWhole(base_ + L"\\元.pak", before);
    const Result update = Run(L"update --remove 音楽/空.ogg " + Q(pack_) + L" " + Q(source));
    ASSERT_EQ(update.code, 0u) << update.err;
    EXPECT_NE(update.err.find("2 replaced, 1 added, 1 removed, 1 kept"), std::string::npos) << update.err;
    const pakwriter::Bytes expected = pakwriter::BuildPack({{Sjis(L"表紙.bmp"), B("picture")},
                                                            {Sjis(L"音楽\\タイトル.ogg"), B("new music")},
                                                            {"Readme.TXT", B("new readme")},
                                                            {Sjis(L"新規.txt"), B("added")}});
    EXPECT_EQ(ReadWhole(pack_), std::string(expected.begin(), expected.end()));
    EXPECT_EQ(CountFiles(base_), 7); // the two packs, the source folder with its three files and folder

    const Result diff = Run(L"diff " + Q(base_ + L"\\元.pak") + L" " + Q(pack_));
    EXPECT_EQ(diff.code, 1u) << diff.err;
    EXPECT_EQ(diff.out, changes);
    EXPECT_EQ(Run(L"diff " + Q(pack_) + L" " + Q(pack_)).code, 0u);

    // A refusal leaves the pack as it was and no file beside it.
    const std::string updated = ReadWhole(pack_);
    const Result refused = Run(L"update --remove 表紙.bmp --remove nothing* " + Q(pack_));
    EXPECT_EQ(refused.code, 2u);
    EXPECT_EQ(ReadWhole(pack_), updated);
    EXPECT_EQ(CountFiles(base_), 7);
    // OUT inside SOURCE_DIR, named in other letters: the same folder here.
    std::wstring upper = source;
    CharUpperW(upper.data());
    const Result inside = Run(L"update -o " + Q(upper + L"\\新規.txt") + L" " + Q(pack_) + L" " + Q(source));
    EXPECT_EQ(inside.code, 2u) << inside.err;
    EXPECT_NE(inside.err.find("inside SOURCE_DIR"), std::string::npos) << inside.err;
    EXPECT_EQ(ReadWhole(source + L"\\新規.txt"), "added");
    EXPECT_EQ(CountFiles(base_), 7);

    // The same change as a patch, applied to a copy of the old pack: the
    // updated pack byte for byte, then "already applied"; refused on a pack
    // that holds other bytes where the patch modifies.
    const std::wstring patch = base_ + L"\\翻訳.qvp";
    const std::wstring copy = base_ + L"\\写し.pak";
    const Result made = Run(L"diff --patch " + Q(patch) + L" " + Q(base_ + L"\\元.pak") + L" " + Q(pack_));
    EXPECT_EQ(made.code, 1u) << made.err;
    EXPECT_EQ(made.out, changes);
    WriteWhole(copy, before);
    const Result applied = Run(L"patch " + Q(copy) + L" " + Q(patch));
    EXPECT_EQ(applied.code, 0u) << applied.err;
    EXPECT_EQ(ReadWhole(copy), updated);
    const Result again = Run(L"patch " + Q(copy) + L" " + Q(patch));
    EXPECT_EQ(again.code, 0u) << again.err;
    EXPECT_NE(again.err.find("already applied"), std::string::npos) << again.err;
    const pakwriter::Bytes other = pakwriter::BuildPack({{"Readme.TXT", B("another readme")}});
    WriteWhole(copy, std::string(other.begin(), other.end()));
    const Result refusedPatch = Run(L"patch " + Q(copy) + L" " + Q(patch));
    EXPECT_EQ(refusedPatch.code, 2u);
    EXPECT_NE(refusedPatch.err.find("entry 'Readme.TXT'"), std::string::npos) << refusedPatch.err;
    EXPECT_EQ(ReadWhole(copy), std::string(other.begin(), other.end()));
    EXPECT_EQ(CountFiles(base_), 9);
}

TEST_F(CliWine, MountSaysItIsForLinuxOnly)
{
    WritePack({{"a.txt", B("a")}});
    const Result r = Run(L"mount " + Q(pack_) + L" " + Q(base_));
    EXPECT_EQ(r.code, 2u);
    EXPECT_NE(r.err.find("Linux only"), std::string::npos) << r.err;
}

} // namespace

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    g_program = self;
    g_program = g_program.substr(0, g_program.find_last_of(L'\\') + 1) + L"quorvel-cli.exe";
    return RUN_ALL_TESTS();
}
