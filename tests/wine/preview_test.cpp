// Previewing entries through the shell from the preview folder, and the
// removal of that folder when the program ends.
//
// What the shell is given is watched by replacing ShellExecuteA as the
// program reaches it (shell32 is loaded on first use, so the function is
// looked up by name): the replacement records each call with the file as it
// lay on disk at that moment and starts nothing. A real association would only
// show that some program was started, later and in any order; under Wine a
// fresh prefix has none, and the real ShellExecuteA on an unassociated type
// returns 31 and shows nothing, which one test checks without the patch.
#include "harness/program_fixture.h"
#include "harness/import_patch.h"
#include "extraction_support.h"

#include <shellapi.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <set>
#include <thread>

#include "pack/pack.h"
#include "preview/preview.h"
#include "preview/zone_mark.h"
#include "resources/resource.h"
#include "resources/texts.h"
#include "shell/app_state.h"

namespace {

// ---------------------------------------------------------------------------
// Files and folders

std::string TempRoot()
{
    char path[MAX_PATH + 1] = {};
    GetTempPathA(MAX_PATH, path);
    return path;
}

std::string CurrentFolder()
{
    char path[MAX_PATH + 1] = {};
    GetCurrentDirectoryA(MAX_PATH, path);
    return path;
}

// Names in a folder, "." and ".." left out, in the order the search gives them.
std::vector<std::string> SearchOrder(const std::string& folder)
{
    std::vector<std::string> names;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return names;
    do {
        const std::string name = found.cFileName;
        if (name != "." && name != "..")
            names.push_back(name);
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return names;
}

std::vector<std::string> Listing(const std::string& folder)
{
    std::vector<std::string> names = SearchOrder(folder);
    std::sort(names.begin(), names.end());
    return names;
}

bool IsFolder(const std::string& path)
{
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// The temporary folder as the program finds it, set for one test.
class TempVariable {
public:
    explicit TempVariable(const std::string& value)
    {
        char saved[32768];
        const DWORD length = GetEnvironmentVariableA("TMP", saved, sizeof saved);
        had_ = length != 0 && length < sizeof saved;
        if (had_)
            saved_ = saved;
        SetEnvironmentVariableA("TMP", value.c_str());
    }
    ~TempVariable() { SetEnvironmentVariableA("TMP", had_ ? saved_.c_str() : nullptr); }

private:
    bool had_ = false;
    std::string saved_;
};

// ---------------------------------------------------------------------------
// Folder links. Wine cannot make one itself (its CreateSymbolicLinkA reports
// success and makes nothing), but a symbolic link made on the Linux side is
// reported to Wine's programs as a folder with FILE_ATTRIBUTE_REPARSE_POINT,
// as Windows reports a junction or a symbolic link to a folder.

using UnixFileNameFunction = char*(CDECL*)(LPCWSTR);

std::string UnixPath(const std::string& windowsPath)
{
    auto unixName = reinterpret_cast<UnixFileNameFunction>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
    if (unixName == nullptr)
        return "";
    wchar_t wide[MAX_PATH * 2] = {};
    MultiByteToWideChar(CP_ACP, 0, windowsPath.c_str(), -1, wide, MAX_PATH * 2);
    char* name = unixName(wide);
    if (name == nullptr)
        return "";
    std::string result = name;
    HeapFree(GetProcessHeap(), 0, name);
    return result;
}

// Runs a shell command on the Linux side (Wine starts Linux programs
// beside the prefix) and waits until it is done. Wine gives no handle to
// wait on for such a process, so the command leaves a marker file last.
bool RunLinux(const std::string& command)
{
    static int counter = 0;
    char marker[MAX_PATH + 64];
    wsprintfA(marker, "%squorvel-linux-%lu-%d.done", TempRoot().c_str(), GetCurrentProcessId(), ++counter);
    const std::string markerPath = UnixPath(marker);
    if (markerPath.empty())
        return false;
    std::string commandLine = "/bin/sh -c \"" + command + "; touch '" + markerPath + "'\"";
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA("Z:\\bin\\sh", commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process))
        return false;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    const bool done = PumpUntil([&] { return FileExists(marker); }, 10000);
    DeleteFileA(marker);
    return done;
}

bool MakeFolderLink(const std::string& link, const std::string& target)
{
    const size_t cut = link.rfind('\\');
    const std::string linkFolder = UnixPath(link.substr(0, cut));
    const std::string targetPath = UnixPath(target);
    if (linkFolder.empty() || targetPath.empty())
        return CreateSymbolicLinkA(link.c_str(), target.c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY | 0x2) != FALSE;
    return RunLinux("ln -s '" + targetPath + "' '" + linkFolder + "/" + link.substr(cut + 1) + "'");
}

bool IsLink(const std::string& path)
{
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// Wine cannot remove a link to a folder that holds files: it removes, or
// refuses to remove, the folder the link points at. Under Wine a whole tree
// with links in it, dangling ones included, goes on the Linux side, where
// removal never follows a link.
void RemoveTreeWithLinks(const std::string& folder)
{
    const std::string path = UnixPath(folder);
    if (path.empty()) {
        if (IsLink(folder))
            RemoveDirectoryA(folder.c_str());
        else
            RemoveTree(folder);
        return;
    }
    RunLinux("rm -rf '" + path + "'");
}

// ---------------------------------------------------------------------------
// What the shell is given

struct ShellCall {
    HWND owner = nullptr;
    bool withVerb = false;
    std::string file;
    bool withParameters = false;
    bool withFolder = false;
    int show = 0;
    bool fileThere = false;
    std::vector<uint8_t> bytes;           // the file as the shell would have found it
    std::vector<std::string> folderNames; // the preview folder at that moment
};

std::vector<ShellCall>& ShellCalls()
{
    static std::vector<ShellCall> calls;
    return calls;
}

HINSTANCE WINAPI RecordShellExecute(HWND owner, LPCSTR verb, LPCSTR file, LPCSTR parameters, LPCSTR folder, INT show)
{
    ShellCall call;
    call.owner = owner;
    call.withVerb = verb != nullptr;
    call.file = file != nullptr ? file : "";
    call.withParameters = parameters != nullptr;
    call.withFolder = folder != nullptr;
    call.show = show;
    call.fileThere = ReadBytes(call.file, &call.bytes);
    const size_t cut = call.file.rfind('\\');
    if (cut != std::string::npos)
        call.folderNames = Listing(call.file.substr(0, cut));
    ShellCalls().push_back(call);
    return reinterpret_cast<HINSTANCE>(42);
}

using LookUpFunction = FARPROC(WINAPI*)(HMODULE, LPCSTR);

// The real GetProcAddress, taken from kernel32's own exports.
LookUpFunction RealLookUp()
{
    static const LookUpFunction real = reinterpret_cast<LookUpFunction>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "GetProcAddress")));
    return real;
}

// Hands out the recorder wherever ShellExecuteA is looked up by name.
FARPROC WINAPI LookUpWithRecorder(HMODULE module, LPCSTR name)
{
    if (HIWORD(reinterpret_cast<ULONG_PTR>(name)) != 0 && lstrcmpA(name, "ShellExecuteA") == 0)
        return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&RecordShellExecute));
    return RealLookUp()(module, name);
}

std::vector<std::string> ShellFiles()
{
    std::vector<std::string> files;
    for (const ShellCall& call : ShellCalls())
        files.push_back(call.file);
    return files;
}

// ---------------------------------------------------------------------------

class PreviewTest : public ProgramTest {
protected:
    void SetUp() override
    {
        ProgramTest::SetUp();
        tempRoot = TempRoot();
        preview = tempRoot + "$PAKTEMP";
        RemovePreviewLeftovers();
        // Anything made relative to the current folder lands in this test's own.
        SetCurrentDirectoryA(temp.c_str());
        ShellCalls().clear();
        RecordShell(true);
    }

    void TearDown() override
    {
        RecordShell(false);
        // A folder that is the current one cannot be removed.
        SetCurrentDirectoryA(tempRoot.c_str());
        RemovePreviewLeftovers();
        ProgramTest::TearDown();
    }

    // Both ways to reach ShellExecuteA: the import, if the program has one,
    // and the look-up by name.
    void RecordShell(bool on)
    {
        shellImport.reset();
        shellLookUp.reset();
        if (!on)
            return;
        ASSERT_NE(RealLookUp(), nullptr);
        shellImport =
            std::make_unique<ImportPatch>("shell32.dll", "ShellExecuteA", reinterpret_cast<void*>(&RecordShellExecute));
        shellLookUp = std::make_unique<ImportPatch>("kernel32.dll", "GetProcAddress",
                                                    reinterpret_cast<void*>(&LookUpWithRecorder));
        ASSERT_TRUE(shellLookUp->Installed());
    }

    void RemovePreviewLeftovers() { RemoveTreeWithLinks(preview); }

    void OpenThreeEntries()
    {
        packPath = WritePack(temp, "three.pak", {{"a.qvdat", {1, 2, 3}}, {"b.qvdat", {4, 5}}, {"c.qvdat", {6}}});
        ASSERT_EQ(OpenPack(packPath.c_str()), 0);
    }

    // The notification the entry list view sends on a double-click.
    void Notify(HWND from, UINT code)
    {
        NMITEMACTIVATE activate = {};
        activate.hdr.hwndFrom = from;
        activate.hdr.idFrom = static_cast<UINT_PTR>(GetDlgCtrlID(from));
        activate.hdr.code = code;
        activate.iItem = 0;
        SendMessageA(g_app.mainWindow, WM_NOTIFY, activate.hdr.idFrom, reinterpret_cast<LPARAM>(&activate));
    }

    void DoubleClick() { Notify(g_app.entryListView, static_cast<UINT>(NM_DBLCLK)); }

    std::string InPreview(const std::string& name) const { return preview + "\\" + name; }

    std::unique_ptr<ImportPatch> shellImport;
    std::unique_ptr<ImportPatch> shellLookUp;
    std::string tempRoot; // with its trailing backslash
    std::string preview;  // without one
    std::string packPath;
};

// ---------------------------------------------------------------------------
// Previewing

TEST_F(PreviewTest, NothingSelectedDoesNothing)
{
    // Without a pack, and with a pack but no selected row.
    DoubleClick();
    OpenThreeEntries();
    SelectRows({});
    DoubleClick();
    EXPECT_EQ(dialogs.Count(), 0u);
    EXPECT_TRUE(ShellCalls().empty());
    EXPECT_FALSE(FileExists(preview));
    EXPECT_EQ(CurrentFolder(), temp);
}

TEST_F(PreviewTest, OnlyTheEntryListsDoubleClickPreviews)
{
    OpenThreeEntries();
    SelectRows({0});
    const struct {
        const char* what;
        HWND from;
        UINT code;
    } ignored[] = {
        {"click in the entry list", g_app.entryListView, static_cast<UINT>(NM_CLICK)},
        {"Enter in the entry list", g_app.entryListView, static_cast<UINT>(NM_RETURN)},
        {"right double-click in the entry list", g_app.entryListView, static_cast<UINT>(NM_RDBLCLK)},
        {"double-click in the tree", g_app.treeView, static_cast<UINT>(NM_DBLCLK)},
        {"double-click in the status bar", g_app.statusBar, static_cast<UINT>(NM_DBLCLK)},
    };
    for (const auto& notification : ignored) {
        Notify(notification.from, notification.code);
        EXPECT_TRUE(ShellCalls().empty()) << notification.what;
    }
    EXPECT_FALSE(FileExists(preview));
    DoubleClick();
    EXPECT_EQ(ShellFiles(), std::vector<std::string>{InPreview("a.qvdat")});
    EXPECT_EQ(dialogs.Count(), 0u);
}

TEST_F(PreviewTest, OneRowIsExtractedAndHandedToTheShellWithoutAQuestion)
{
    OpenThreeEntries();
    SelectRows({1});
    DoubleClick();
    EXPECT_EQ(dialogs.Count(), 0u);
    ASSERT_EQ(ShellCalls().size(), 1u);
    const ShellCall& call = ShellCalls()[0];
    EXPECT_EQ(call.owner, g_app.mainWindow);
    EXPECT_FALSE(call.withVerb);
    EXPECT_EQ(call.file, InPreview("b.qvdat"));
    EXPECT_FALSE(call.withParameters);
    EXPECT_FALSE(call.withFolder);
    EXPECT_EQ(call.show, SW_SHOWNORMAL);
    EXPECT_TRUE(call.fileThere);
    EXPECT_EQ(call.bytes, (std::vector<uint8_t>{4, 5}));
}

TEST_F(PreviewTest, SeveralRowsAskFirstThenGoInRowOrder)
{
    for (int answer : {IDNO, IDYES}) {
        OpenThreeEntries();
        RemoveTree(preview);
        ShellCalls().clear();
        dialogs.Clear();
        dialogs.Answer({{answer}});
        SelectRows({2, 0});
        DoubleClick();
        ASSERT_EQ(dialogs.Count(), 1u) << answer;
        EXPECT_EQ(dialogs.Seen()[0].caption, WARNING_CAPTION);
        EXPECT_EQ(dialogs.Seen()[0].text, MANY_ROWS_QUESTION);
        if (answer == IDNO) {
            EXPECT_TRUE(ShellCalls().empty());
            EXPECT_FALSE(FileExists(preview));
            continue;
        }
        // Each row is complete and handed over before the next one is written.
        ASSERT_EQ(ShellFiles(), (std::vector<std::string>{InPreview("a.qvdat"), InPreview("c.qvdat")}));
        EXPECT_EQ(ShellCalls()[0].bytes, (std::vector<uint8_t>{1, 2, 3}));
        EXPECT_EQ(ShellCalls()[0].folderNames, std::vector<std::string>{"a.qvdat"});
        EXPECT_EQ(ShellCalls()[1].bytes, std::vector<uint8_t>{6});
        EXPECT_EQ(ShellCalls()[1].folderNames, (std::vector<std::string>{"a.qvdat", "c.qvdat"}));
    }
}

TEST_F(PreviewTest, SameEntryAgainReplacesItsCopyWithoutTheOverwriteQuestion)
{
    OpenThreeEntries();
    SelectRows({0});
    DoubleClick();
    ASSERT_TRUE(WriteBytes(InPreview("a.qvdat"), {9, 9, 9, 9, 9, 9}));
    DoubleClick();
    EXPECT_EQ(dialogs.Count(), 0u);
    ASSERT_EQ(ShellCalls().size(), 2u);
    EXPECT_EQ(ShellCalls()[1].file, InPreview("a.qvdat"));
    EXPECT_EQ(ShellCalls()[1].bytes, (std::vector<uint8_t>{1, 2, 3}));
}

TEST_F(PreviewTest, ExistingPreviewFolderIsReusedAndEntered)
{
    for (bool existed : {false, true}) {
        OpenThreeEntries();
        SetCurrentDirectoryA(temp.c_str());
        RemoveTree(preview);
        if (existed) {
            ASSERT_TRUE(CreateDirectoryA(preview.c_str(), nullptr));
            ASSERT_TRUE(WriteBytes(InPreview("earlier.qvdat"), {7}));
        }
        SelectRows({1});
        DoubleClick();
        EXPECT_EQ(dialogs.Count(), 0u);
        EXPECT_TRUE(IsFolder(preview));
        EXPECT_TRUE(FileExists(InPreview("b.qvdat")));
        EXPECT_EQ(FileExists(InPreview("earlier.qvdat")), existed);
        // Entering is how the folder is tested; a folder just made is not entered.
        EXPECT_EQ(CurrentFolder(), existed ? preview : temp);
    }
}

TEST_F(PreviewTest, EntryThatCannotBeExtractedIsStillHandedToTheShell)
{
    OpenThreeEntries();
    SelectRows({0});
    DoubleClick();
    ASSERT_TRUE(DeleteFileA(packPath.c_str()));
    DoubleClick();
    ASSERT_EQ(dialogs.Count(), 1u);
    EXPECT_EQ(dialogs.Seen()[0].text, PACK_UNOPENED_TEXT);
    // The earlier copy is what the shell finds.
    ASSERT_EQ(ShellCalls().size(), 2u);
    EXPECT_EQ(ShellCalls()[1].file, InPreview("a.qvdat"));
    EXPECT_EQ(ShellCalls()[1].bytes, (std::vector<uint8_t>{1, 2, 3}));
}

TEST_F(PreviewTest, NamesThatLeaveThePreviewFolderAreNeverOpened)
{
    const std::vector<std::string> unsafe = {
        "..\\escaped.qvdat",  "sub\\..\\..\\escaped2.qvdat",
        "C:\\escaped3.qvdat", "\\escaped4.qvdat",
        "x.qvdat:stream",     "CON",
        "nul.qvdat",          "",
    };
    std::vector<pakwriter::Entry> entries;
    for (const std::string& name : unsafe)
        entries.push_back({name, {1}});
    entries.push_back({"safe.qvdat", {2}});
    const std::string path = WritePack(temp, "unsafe.pak", entries);
    ASSERT_EQ(OpenPack(path.c_str()), 0);
    std::vector<int> rows;
    for (int row = 0; row < RowCount(); ++row)
        rows.push_back(row);
    SelectRows(rows);
    dialogs.Answer({{IDYES}});
    DoubleClick();

    // The question, then one refusal per unsafe name; only the safe entry is opened.
    ASSERT_EQ(dialogs.Count(), 1 + unsafe.size());
    for (size_t i = 1; i < dialogs.Count(); ++i)
        EXPECT_EQ(dialogs.Seen()[i].text, OUTPUT_UNOPENED_TEXT) << unsafe[i - 1];
    EXPECT_EQ(ShellFiles(), std::vector<std::string>{InPreview("safe.qvdat")});
    EXPECT_EQ(Listing(preview), std::vector<std::string>{"safe.qvdat"});
    for (const char* outside : {"escaped.qvdat", "escaped2.qvdat"})
        EXPECT_FALSE(FileExists(tempRoot + outside)) << outside;
    EXPECT_FALSE(FileExists("C:\\escaped3.qvdat"));
    EXPECT_FALSE(FileExists("C:\\escaped4.qvdat"));
}

// ---------------------------------------------------------------------------
// Download marks in the preview. No volume that Wine shows has named
// streams (each reports no FILE_NAMED_STREAMS, the platform's true answer
// for a FAT or exFAT volume), and nothing makes one that has them. A volume
// is told to have them here by that one bit of GetVolumeInformationA's
// answer, as the program reaches it; the rest of the answer is Wine's own.
// Wine's file system takes "x:Zone.Identifier" for a file of its own, which
// then stands for the stream.

std::set<std::string>& StreamRoots()
{
    static std::set<std::string> roots;
    return roots;
}

void* s_realVolumeInformation;

BOOL WINAPI VolumeInformationWithStreams(LPCSTR root, LPSTR name, DWORD nameSize, LPDWORD serial, LPDWORD longest,
                                         LPDWORD flags, LPSTR system, DWORD systemSize)
{
    const BOOL answered = reinterpret_cast<decltype(&GetVolumeInformationA)>(s_realVolumeInformation)(
        root, name, nameSize, serial, longest, flags, system, systemSize);
    if (answered && root != nullptr && flags != nullptr && StreamRoots().count(root) != 0)
        *flags |= FILE_NAMED_STREAMS;
    return answered;
}

std::string VolumeRoot(const std::string& path)
{
    char root[MAX_PATH + 1] = {};
    return GetVolumePathNameA(path.c_str(), root, MAX_PATH) ? root : "";
}

// The same file by its path on drive Z:, Wine's view of the whole Linux
// file system: another volume than drive C: to the program.
std::string OnDriveZ(const std::string& path)
{
    std::string unixPath = UnixPath(path);
    if (unixPath.empty())
        return "";
    for (char& c : unixPath) {
        if (c == '/')
            c = '\\';
    }
    return "Z:" + unixPath;
}

TEST_F(PreviewTest, PacksMarkGoesWithEachCopyOrThePreviewStops)
{
    const ImportPatch volumes("kernel32.dll", "GetVolumeInformationA",
                              reinterpret_cast<void*>(&VolumeInformationWithStreams));
    ASSERT_TRUE(volumes.Installed());
    s_realVolumeInformation = volumes.Original();

    const char* const ZONE_2 = "[ZoneTransfer]\r\nZoneId=2\r\n";
    const char* const ZONE_3 = "[ZoneTransfer]\r\nZoneId=3\r\n";
    const char* const ZONE_4 = "[ZoneTransfer]\r\nZoneId=4\r\n";
    const char* const UNREADABLE = "a folder in the mark's place";
    enum Caption { PACK, PREVIEW_FOLDER, COPY };
    const struct {
        const char* what;
        std::string name;
        const char* packMark; // nullptr: the pack has none
        bool packStreams;     // the pack's volume has named streams
        bool tempStreams;     // the temporary folder's volume has them
        bool copyMarkBlocked; // a folder lies where the copy's mark goes
        const char* message;  // nullptr: the preview goes ahead without one
        Caption caption;
        std::string written; // the copy the shell is given, "" for none
        const char* copyMark;
    } cases[] = {
        {"no volume has streams: a file named like the mark is none", "a.qvdat", ZONE_4, false, false, false, nullptr,
         PACK, "a.qvdat", nullptr},
        {"both volumes have streams", "a.qvdat", ZONE_4, true, true, false, nullptr, PACK, "a.qvdat", ZONE_4},
        {"the temporary folder's volume has none", "a.qvdat", ZONE_3, true, false, false, ZONE_UNWRITTEN_TEXT,
         PREVIEW_FOLDER, "", nullptr},
        {"the temporary folder's volume has none, a trusted pack", "a.qvdat", ZONE_2, true, false, false, nullptr, PACK,
         "a.qvdat", nullptr},
        {"a mark that cannot be read, no streams for the copies", "a.qvdat", UNREADABLE, true, false, false,
         ZONE_UNREADABLE_TEXT, PACK, "", nullptr},
        {"a mark that cannot be read", "a.qvdat", UNREADABLE, true, true, false, ZONE_UNREADABLE_TEXT, PACK, "",
         nullptr},
        {"the copy's mark cannot be written", "a.qvdat", ZONE_3, true, true, true, ZONE_UNWRITTEN_TEXT, COPY, "",
         nullptr},
        // The platform writes these without their trailing dots and spaces.
        {"a name ending in a dot", "x.exe.", ZONE_3, true, true, false, nullptr, PACK, "x.exe", ZONE_3},
        {"a name ending in a space", "x.exe ", ZONE_3, true, true, false, nullptr, PACK, "x.exe", ZONE_3},
        {"a name ending in dots and spaces", "x.exe. .", ZONE_4, true, true, false, nullptr, PACK, "x.exe", ZONE_4},
    };
    int number = 0;
    for (const auto& c : cases) {
        SetCurrentDirectoryA(temp.c_str());
        RemovePreviewLeftovers();
        // A pack of its own per case: the platform may keep a profile text
        // it has read.
        packPath = OnDriveZ(WritePack(temp, "p" + std::to_string(++number) + ".pak", {{c.name, {7, 8}}}));
        ASSERT_FALSE(packPath.empty()) << c.what;
        const std::string packMark = packPath + ":Zone.Identifier";
        if (c.packMark == UNREADABLE)
            ASSERT_TRUE(CreateDirectoryA(packMark.c_str(), nullptr)) << c.what;
        else if (c.packMark != nullptr)
            ASSERT_TRUE(WriteBytes(packMark, std::vector<uint8_t>(c.packMark, c.packMark + strlen(c.packMark))))
                << c.what;
        if (c.copyMarkBlocked) {
            ASSERT_TRUE(CreateDirectoryA(preview.c_str(), nullptr)) << c.what;
            ASSERT_TRUE(CreateDirectoryA(InPreview(c.name + ":Zone.Identifier").c_str(), nullptr)) << c.what;
        }
        StreamRoots().clear();
        if (c.packStreams)
            StreamRoots().insert(VolumeRoot(packPath));
        if (c.tempStreams)
            StreamRoots().insert(VolumeRoot(tempRoot));
        ASSERT_NE(VolumeRoot(packPath), VolumeRoot(tempRoot)) << c.what;
        ASSERT_EQ(OpenPack(packPath.c_str()), 0) << c.what;
        SelectRows({0});
        dialogs.Clear();
        ShellCalls().clear();

        DoubleClick();

        std::vector<std::string> left;
        if (c.message == nullptr) {
            EXPECT_EQ(dialogs.Count(), 0u) << c.what;
            EXPECT_EQ(ShellFiles(), std::vector<std::string>{InPreview(c.written)}) << c.what;
            if (!ShellCalls().empty())
                EXPECT_EQ(ShellCalls()[0].bytes, (std::vector<uint8_t>{7, 8})) << c.what;
            left.push_back(c.written);
        } else {
            const std::string caption = c.caption == PACK             ? packPath
                                        : c.caption == PREVIEW_FOLDER ? preview + "\\"
                                                                      : InPreview(c.name);
            const std::vector<SeenDialog> seen = dialogs.Seen();
            EXPECT_EQ(seen.size(), 1u) << c.what;
            for (const SeenDialog& dialog : seen) {
                EXPECT_EQ(dialog.text, c.message) << c.what;
                EXPECT_EQ(dialog.caption, caption) << c.what;
            }
            EXPECT_TRUE(ShellCalls().empty()) << c.what;
        }
        std::vector<uint8_t> mark;
        if (c.copyMark != nullptr) {
            EXPECT_TRUE(ReadBytes(InPreview(c.written + ":Zone.Identifier"), &mark)) << c.what;
            EXPECT_EQ(std::string(mark.begin(), mark.end()), c.copyMark) << c.what;
            left.push_back(c.written + ":Zone.Identifier");
        }
        if (c.copyMarkBlocked)
            left.push_back(c.name + ":Zone.Identifier");
        // Nothing else was written: no mark beside a name that is not the copy's.
        std::sort(left.begin(), left.end());
        EXPECT_EQ(Listing(preview), left) << c.what;
    }
    StreamRoots().clear();
}

TEST_F(PreviewTest, TemporaryFolderThatCannotBeHadStopsThePreview)
{
    OpenThreeEntries();
    SelectRows({0});
    const struct {
        const char* what;
        std::string tmp;
    } cases[] = {
        {"the system cannot give the temporary folder", "C:\\" + std::string(300, 'g')},
        {"the preview folder would not fit its buffer", "C:\\" + std::string(255, 'f')},
        {"the temporary folder does not exist", temp + "\\missing"},
    };
    for (const auto& c : cases) {
        dialogs.Clear();
        {
            TempVariable tmp(c.tmp);
            DoubleClick();
        }
        ASSERT_EQ(dialogs.Count(), 1u) << c.what;
        EXPECT_EQ(dialogs.Seen()[0].caption, DOOMED_CAPTION) << c.what;
        EXPECT_EQ(dialogs.Seen()[0].text, NO_PREVIEW_FOLDER_TEXT) << c.what;
        EXPECT_TRUE(ShellCalls().empty()) << c.what;
        // Nothing was made in the current folder instead.
        EXPECT_EQ(Listing(temp), (std::vector<std::string>{"three.pak"})) << c.what;
        EXPECT_EQ(CurrentFolder(), temp) << c.what;
    }
}

TEST_F(PreviewTest, PreviewPathOf256BytesOrMoreIsRefusedBeforeTheShell)
{
    // A temporary folder whose preview folder path is exactly 100 bytes.
    const std::string tmp = temp + "\\" + std::string(90 - temp.size() - 1, 't');
    ASSERT_TRUE(CreateDirectoryA(tmp.c_str(), nullptr));
    const std::string folder = tmp + "\\$PAKTEMP\\";
    ASSERT_EQ(folder.size(), 100u);
    for (size_t length : {255u, 256u, 263u, 264u, 300u}) {
        const std::string name = std::string(length - folder.size() - 6, 'n') + ".qvdat";
        packPath = WritePack(temp, "long.pak", {{name, {3, 1}}});
        ASSERT_EQ(OpenPack(packPath.c_str()), 0);
        SelectRows({0});
        dialogs.Clear();
        ShellCalls().clear();
        {
            TempVariable variable(tmp);
            DoubleClick();
        }
        const std::string file = folder + name;
        ASSERT_EQ(file.size(), length);
        if (length <= 255) {
            EXPECT_EQ(dialogs.Count(), 0u) << length;
            EXPECT_EQ(ShellFiles(), std::vector<std::string>{file}) << length;
            EXPECT_EQ(ShellCalls()[0].bytes, (std::vector<uint8_t>{3, 1})) << length;
        } else {
            ASSERT_EQ(dialogs.Count(), 1u) << length;
            EXPECT_EQ(dialogs.Seen()[0].text, OUTPUT_UNOPENED_TEXT) << length;
            EXPECT_EQ(dialogs.Seen()[0].caption, file) << length;
            EXPECT_TRUE(ShellCalls().empty()) << length;
        }
        SetCurrentDirectoryA(temp.c_str());
        RemoveTree(tmp + "\\$PAKTEMP");
    }
    EXPECT_TRUE(HeapValidate(g_app.heap, 0, nullptr));
}

TEST_F(PreviewTest, UnassociatedTypeIsLeftToTheShellWhichShowsNothing)
{
    RecordShell(false); // the real ShellExecuteA
    OpenThreeEntries();
    SelectRows({0});
    DoubleClick();
    EXPECT_EQ(dialogs.Count(), 0u);
    EXPECT_TRUE(FileExists(InPreview("a.qvdat")));
}

// ---------------------------------------------------------------------------
// Removal at the end

TEST_F(PreviewTest, NoPreviewFolderMeansNothingToRemove)
{
    RemovePreviewFolder();
    EXPECT_EQ(dialogs.Count(), 0u);
    EXPECT_FALSE(FileExists(preview));
    // The folder was never entered.
    EXPECT_EQ(CurrentFolder(), temp);
}

TEST_F(PreviewTest, PreviewFolderIsEmptiedAndRemovedSilently)
{
    const struct {
        const char* what;
        std::function<void()> fill;
    } cases[] = {
        {"empty", [&] { ASSERT_TRUE(CreateDirectoryA(preview.c_str(), nullptr)); }},
        {"the current folder",
         [&] {
             OpenThreeEntries();
             SelectRows({0});
             DoubleClick();
             DoubleClick(); // the folder exists now: this preview enters it
             ASSERT_EQ(CurrentFolder(), preview);
         }},
        {"sub-folders, emptied and removed first",
         [&] {
             ASSERT_TRUE(CreateDirectoryA(preview.c_str(), nullptr));
             ASSERT_TRUE(WriteBytes(InPreview("top.qvdat"), {1}));
             std::string folder = preview;
             for (const char* sub : {"one", "two", "three"}) {
                 folder += std::string("\\") + sub;
                 ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
                 ASSERT_TRUE(WriteBytes(folder + "\\file.qvdat", {2}));
                 ASSERT_TRUE(WriteBytes(folder + "\\other.qvdat", {3}));
             }
             ASSERT_TRUE(CreateDirectoryA((preview + "\\empty").c_str(), nullptr));
         }},
    };
    for (const auto& c : cases) {
        SetCurrentDirectoryA(temp.c_str());
        RemovePreviewLeftovers();
        c.fill();
        ASSERT_TRUE(IsFolder(preview)) << c.what;
        dialogs.Clear();
        RemovePreviewFolder();
        EXPECT_EQ(dialogs.Count(), 0u) << c.what;
        EXPECT_FALSE(FileExists(preview)) << c.what;
        // Entered, then left for its parent, the temporary folder.
        EXPECT_EQ(CurrentFolder() + "\\", tempRoot) << c.what;
    }
}

TEST_F(PreviewTest, NoToTheRetryQuestionLeavesTheRestInPlace)
{
    ASSERT_TRUE(CreateDirectoryA(preview.c_str(), nullptr));
    for (const char* name : {"f1.qvdat", "f2.qvdat", "f3.qvdat", "f4.qvdat"})
        ASSERT_TRUE(WriteBytes(InPreview(name), {1}));
    ASSERT_TRUE(CreateDirectoryA((preview + "\\sub").c_str(), nullptr));
    ASSERT_TRUE(WriteBytes(preview + "\\sub\\g.qvdat", {2}));
    // A file with something before it and after it in the search's order.
    const std::vector<std::string> order = SearchOrder(preview);
    ASSERT_EQ(order.size(), 5u);
    size_t heldAt = 1;
    while (order[heldAt] == "sub")
        ++heldAt;
    const std::string heldPath = InPreview(order[heldAt]);
    HANDLE held = CreateFileA(heldPath.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);

    dialogs.Answer({{IDNO}});
    RemovePreviewFolder();
    CloseHandle(held);

    ASSERT_EQ(dialogs.Count(), 1u);
    EXPECT_EQ(dialogs.Seen()[0].caption, heldPath);
    EXPECT_EQ(dialogs.Seen()[0].text, FILE_RETRY_QUESTION);
    EXPECT_TRUE(IsFolder(preview));
    EXPECT_TRUE(FileExists(heldPath));
    // What the search gave before the held file is gone, the rest is kept.
    for (size_t i = 0; i < order.size(); ++i) {
        if (i != heldAt)
            EXPECT_EQ(FileExists(InPreview(order[i])), i > heldAt) << order[i];
    }
}

TEST_F(PreviewTest, YesAfterTheFileIsReleasedFinishesTheRemoval)
{
    ASSERT_TRUE(CreateDirectoryA(preview.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryA((preview + "\\sub").c_str(), nullptr));
    const std::string heldPath = preview + "\\sub\\held.qvdat";
    ASSERT_TRUE(WriteBytes(heldPath, {1}));
    ASSERT_TRUE(WriteBytes(InPreview("other.qvdat"), {2}));
    HANDLE held = CreateFileA(heldPath.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);

    // Yes while the file is still held asks again; the second Yes comes
    // after the file was let go.
    dialogs.Answer({{IDYES}, {IDYES, "", 300}});
    std::thread releaser([&] {
        const ULONGLONG deadline = GetTickCount64() + 15000;
        while (dialogs.Count() < 2 && GetTickCount64() < deadline)
            Sleep(1);
        CloseHandle(held);
    });
    RemovePreviewFolder();
    releaser.join();

    ASSERT_EQ(dialogs.Count(), 2u);
    for (const SeenDialog& seen : dialogs.Seen()) {
        EXPECT_EQ(seen.caption, heldPath);
        EXPECT_EQ(seen.text, FILE_RETRY_QUESTION);
    }
    EXPECT_FALSE(FileExists(preview));
}

TEST_F(PreviewTest, SearchFailureNamesThePattern)
{
    for (const std::string& folder : {temp + "\\missing", temp + "\\missing\\"}) {
        dialogs.Clear();
        EXPECT_EQ(DeleteTree(folder.c_str()), 1) << folder;
        ASSERT_EQ(dialogs.Count(), 1u) << folder;
        EXPECT_EQ(dialogs.Seen()[0].caption, temp + "\\missing\\*.*") << folder;
        EXPECT_EQ(dialogs.Seen()[0].text, SEARCH_FAILED_TEXT) << folder;
    }
}

TEST_F(PreviewTest, FolderRetryNamesTheFolderWithoutItsTrailingSeparator)
{
    const std::string folder = temp + "\\busy";
    for (const std::string& given : {folder, folder + "\\"}) {
        ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
        ASSERT_TRUE(WriteBytes(folder + "\\x.qvdat", {1}));
        // A process's current folder cannot be removed.
        ASSERT_TRUE(SetCurrentDirectoryA(folder.c_str()));
        dialogs.Clear();
        dialogs.Answer({{IDNO}});
        EXPECT_EQ(DeleteTree(given.c_str()), 1) << given;
        ASSERT_EQ(dialogs.Count(), 1u) << given;
        EXPECT_EQ(dialogs.Seen()[0].caption, folder) << given;
        EXPECT_EQ(dialogs.Seen()[0].text, FOLDER_RETRY_QUESTION) << given;
        EXPECT_FALSE(FileExists(folder + "\\x.qvdat")) << given;

        // Yes once the folder is let go removes it.
        dialogs.Clear();
        dialogs.Answer({{IDYES, "", 300}});
        std::thread leaver([&] {
            const ULONGLONG deadline = GetTickCount64() + 15000;
            while (dialogs.Count() < 1 && GetTickCount64() < deadline)
                Sleep(1);
            SetCurrentDirectoryA(temp.c_str());
        });
        EXPECT_EQ(DeleteTree(given.c_str()), 0) << given;
        leaver.join();
        EXPECT_EQ(dialogs.Count(), 1u) << given;
        EXPECT_FALSE(FileExists(folder)) << given;
    }
}

// Deep trees are made through the wide calls with the "\\?\" prefix: the
// ANSI calls stop at MAX_PATH, which is the point of the test.
std::wstring LongPath(const std::string& path)
{
    wchar_t wide[2048] = {};
    MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, wide, 2048);
    return L"\\\\?\\" + std::wstring(wide);
}

bool ExistsLong(const std::string& path)
{
    return GetFileAttributesW(LongPath(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

TEST_F(PreviewTest, TreeTooDeepForThePathBufferIsRefusedNotOverrun)
{
    std::string folder = temp + "\\deep";
    ASSERT_TRUE(CreateDirectoryW(LongPath(folder).c_str(), nullptr));
    while (folder.size() + 51 <= 240) {
        folder += "\\" + std::string(50, 'd');
        ASSERT_TRUE(CreateDirectoryW(LongPath(folder).c_str(), nullptr));
    }
    // Joined with its folder, this name needs 274 bytes: 10 past the buffer.
    const std::string name = std::string(273 - folder.size(), 'n');
    const std::string deepest = folder + "\\" + name;
    ASSERT_EQ(deepest.size(), 274u);
    HANDLE file = CreateFileW(LongPath(deepest).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    CloseHandle(file);

    EXPECT_EQ(DeleteTree((temp + "\\deep").c_str()), 1);
    ASSERT_EQ(dialogs.Count(), 1u);
    EXPECT_EQ(dialogs.Seen()[0].text, SEARCH_FAILED_TEXT);
    EXPECT_EQ(dialogs.Seen()[0].caption, folder);
    EXPECT_TRUE(ExistsLong(deepest));

    // A folder path too long to search in is refused the same way.
    dialogs.Clear();
    const std::string tooLong = temp + "\\" + std::string(300 - temp.size(), 'x');
    EXPECT_EQ(DeleteTree(tooLong.c_str()), 1);
    ASSERT_EQ(dialogs.Count(), 1u);
    EXPECT_EQ(dialogs.Seen()[0].text, SEARCH_FAILED_TEXT);
    EXPECT_EQ(dialogs.Seen()[0].caption, tooLong);
    EXPECT_TRUE(HeapValidate(g_app.heap, 0, nullptr));

    DeleteFileW(LongPath(deepest).c_str());
    for (std::string path = folder; path.size() > temp.size(); path.erase(path.rfind('\\')))
        RemoveDirectoryW(LongPath(path).c_str());
}

TEST_F(PreviewTest, LinksAreRemovedAsLinksNeverFollowed)
{
    const std::string target = temp + "\\outside";
    const struct {
        const char* what;
        std::string link;
    } cases[] = {
        {"link in the preview folder", preview + "\\link"},
        {"link in a sub-folder", preview + "\\sub\\link"},
        {"the preview folder itself", preview},
    };
    for (const auto& c : cases) {
        RemoveTreeWithLinks(preview);
        RemoveTreeWithLinks(target);
        ASSERT_TRUE(CreateDirectoryA(target.c_str(), nullptr));
        ASSERT_TRUE(CreateDirectoryA((target + "\\inner").c_str(), nullptr));
        ASSERT_TRUE(WriteBytes(target + "\\keep.qvdat", {1}));
        ASSERT_TRUE(WriteBytes(target + "\\inner\\keep2.qvdat", {2}));
        if (c.link != preview) {
            ASSERT_TRUE(CreateDirectoryA(preview.c_str(), nullptr));
            ASSERT_TRUE(CreateDirectoryA((preview + "\\sub").c_str(), nullptr));
            ASSERT_TRUE(WriteBytes(InPreview("own.qvdat"), {3}));
        }
        ASSERT_TRUE(MakeFolderLink(c.link, target)) << c.what;
        ASSERT_TRUE(IsLink(c.link)) << c.what << ": the link is not reported as one";
        dialogs.Clear();

        RemovePreviewFolder();

        EXPECT_TRUE(FileExists(target + "\\keep.qvdat")) << c.what;
        EXPECT_TRUE(FileExists(target + "\\inner\\keep2.qvdat")) << c.what;
        EXPECT_TRUE(IsFolder(target + "\\inner")) << c.what;
        // Windows removes the link itself without a word. Wine cannot remove
        // a link to a folder that holds files: the only question allowed is
        // the one about the link, answered No.
        for (const SeenDialog& seen : dialogs.Seen()) {
            EXPECT_EQ(seen.caption, c.link) << c.what;
            EXPECT_EQ(seen.text, FOLDER_RETRY_QUESTION) << c.what;
        }
        RemoveTreeWithLinks(preview);
        RemoveTreeWithLinks(target);
    }
}

// Marks a copy as the preview does, through a handle opened by its name.
bool MarkCopy(const std::string& copy, int zone)
{
    HANDLE file = CreateFileA(copy.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    const bool marked = MarkWithZone(file, zone);
    CloseHandle(file);
    return marked;
}

// The zone a copy is given. Wine's file system has no named streams but
// takes "x:Zone.Identifier" for a file name of its own, so a pack's mark
// can be written there and a copy's mark read back: the decision and the
// mark's text are tested here, and the preview itself, which reads and
// writes marks only where the volume has named streams, is tested by
// PacksMarkGoesWithEachCopyOrThePreviewStops.
TEST_F(PreviewTest, CopyTakesThePacksZoneFromTheInternetZoneUp)
{
    const char* const ZONE_3 = "[ZoneTransfer]\r\nZoneId=3\r\n";
    const char* const ZONE_4 = "[ZoneTransfer]\r\nZoneId=4\r\n";
    const struct {
        const char* what;
        const char* packMark; // nullptr: the pack carries none
        const char* copyMark; // nullptr: the copy gets none
    } cases[] = {
        {"unmarked pack", nullptr, nullptr},
        {"Internet", ZONE_3, ZONE_3},
        {"restricted, with the download's addresses",
         "[ZoneTransfer]\r\nZoneId=4\r\nReferrerUrl=https://example.test/\r\nHostUrl=https://example.test/p.pak\r\n",
         ZONE_4},
        {"written with line feeds and spaces", "[ZoneTransfer]\nZoneId = 4\n", ZONE_4},
        {"trusted sites", "[ZoneTransfer]\r\nZoneId=2\r\n", nullptr},
        {"intranet", "[ZoneTransfer]\r\nZoneId=1\r\n", nullptr},
        {"this computer", "[ZoneTransfer]\r\nZoneId=0\r\n", nullptr},
        {"negative", "[ZoneTransfer]\r\nZoneId=-1\r\n", nullptr},
        {"not a number", "[ZoneTransfer]\r\nZoneId=x\r\n", nullptr},
        {"the zone in another section", "[Other]\r\nZoneId=3\r\n", nullptr},
        {"empty mark", "", nullptr},
    };
    int number = 0;
    for (const auto& c : cases) {
        // A pack of its own per case: the platform may keep a profile text
        // it has read.
        const std::string pack = temp + "\\p" + std::to_string(++number) + ".pak";
        const std::string copy = temp + "\\c" + std::to_string(number) + ".qvdat";
        ASSERT_TRUE(WriteBytes(pack, {1}));
        ASSERT_TRUE(WriteBytes(copy, {2}));
        if (c.packMark != nullptr)
            ASSERT_TRUE(WriteBytes(pack + ":Zone.Identifier",
                                   std::vector<uint8_t>(c.packMark, c.packMark + strlen(c.packMark))))
                << c.what;
        int zone = -1;
        EXPECT_TRUE(ReadZoneMark(pack.c_str(), &zone)) << c.what;
        EXPECT_TRUE(MarkCopy(copy, zone)) << c.what;
        std::vector<uint8_t> mark;
        const bool marked = ReadBytes(copy + ":Zone.Identifier", &mark);
        EXPECT_EQ(marked, c.copyMark != nullptr) << c.what;
        if (marked && c.copyMark != nullptr)
            EXPECT_EQ(std::string(mark.begin(), mark.end()), c.copyMark) << c.what;
    }
}

// The mark's stream beside a path of up to 255 bytes lies past what the
// ANSI calls reach; the test reaches it through the wide calls.
bool WriteLong(const std::string& path, const std::string& text)
{
    HANDLE file = CreateFileW(LongPath(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    const BOOL ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
    return ok && written == text.size();
}

std::string ReadLong(const std::string& path)
{
    HANDLE file =
        CreateFileW(LongPath(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return "(none)";
    char text[256] = {};
    DWORD got = 0;
    ReadFile(file, text, sizeof text - 1, &got, nullptr);
    CloseHandle(file);
    return std::string(text, got);
}

TEST_F(PreviewTest, ZoneMarksOfLongPathsAreReadAndWritten)
{
    const std::string mark = "[ZoneTransfer]\r\nZoneId=4\r\n";
    for (size_t length : {247u, 248u, 255u}) {
        // A folder of its own per length: the ANSI calls cannot remove these marks.
        const std::string folder = temp + "\\zone" + std::to_string(length);
        ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
        const std::string pack = folder + "\\" + std::string(length - folder.size() - 5, 'p') + ".pak";
        const std::string copy = folder + "\\" + std::string(length - folder.size() - 7, 'c') + ".qvdat";
        ASSERT_EQ(pack.size(), length);
        ASSERT_EQ(copy.size(), length);
        ASSERT_TRUE(WriteBytes(pack, {1}));
        ASSERT_TRUE(WriteBytes(copy, {2}));
        int zone = -1;
        EXPECT_TRUE(ReadZoneMark(pack.c_str(), &zone)) << length;
        EXPECT_EQ(zone, 0) << length << ": an unmarked pack";

        ASSERT_TRUE(WriteLong(pack + ":Zone.Identifier", mark));
        zone = -1;
        EXPECT_TRUE(ReadZoneMark(pack.c_str(), &zone)) << length;
        EXPECT_EQ(zone, 4) << length;
        EXPECT_TRUE(MarkCopy(copy, zone)) << length;
        EXPECT_EQ(ReadLong(copy + ":Zone.Identifier"), mark) << length;
        // Where streams are files of their own, the test's cleanup cannot reach these.
        DeleteFileW(LongPath(pack + ":Zone.Identifier").c_str());
        DeleteFileW(LongPath(copy + ":Zone.Identifier").c_str());
    }
}

// A mark that is there but cannot be read, or one that cannot be written,
// is never taken for no mark. A folder in the stream's place stands for
// both under Wine.
TEST_F(PreviewTest, MarkThatCannotBeReadOrWrittenIsReported)
{
    const std::string pack = temp + "\\p.pak";
    const std::string copy = temp + "\\c.qvdat";
    ASSERT_TRUE(WriteBytes(pack, {1}));
    ASSERT_TRUE(WriteBytes(copy, {2}));
    ASSERT_TRUE(CreateDirectoryA((pack + ":Zone.Identifier").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryA((copy + ":Zone.Identifier").c_str(), nullptr));
    int zone = -1;
    EXPECT_FALSE(ReadZoneMark(pack.c_str(), &zone));
    const struct {
        int zone;
        bool written;
    } cases[] = {{0, true}, {2, true}, {3, false}, {4, false}};
    for (const auto& c : cases)
        EXPECT_EQ(MarkCopy(copy, c.zone), c.written) << c.zone;
}

// A close, a Close command or a dropped pack that comes while a preview's
// warning is open waits until the preview is over: the entries it copies
// stay, and the rows after the warning are still previewed.
TEST_F(PreviewTest, CloseOrOpenDuringAPreviewComesAfterIt)
{
    const std::string other = WritePack(temp, "other.pak", {{"o.qvdat", {5}}});
    const struct {
        const char* what;
        std::function<void()> request;
        std::function<bool()> carriedOut;
    } cases[] = {
        {"the Close command", [] { PostMessageA(g_app.mainWindow, WM_COMMAND, MAKEWPARAM(IDM_CLOSE, 0), 0); },
         [] { return g_app.packPath[0] == 0; }},
        {"a dropped pack",
         [&] { PostMessageA(g_app.mainWindow, WM_DROPFILES, reinterpret_cast<WPARAM>(MakeDrop({other})), 0); },
         [&] { return std::string(g_app.packPath) == other; }},
        {"closing the window", [] { PostMessageA(g_app.mainWindow, WM_CLOSE, 0, 0); }, [] { return Quitting(); }},
    };
    for (const auto& c : cases) {
        ResetProgramState();
        packPath = WritePack(temp, "device.pak", {{"CON", {1}}, {"ok.qvdat", {2}}});
        ASSERT_EQ(OpenPack(packPath.c_str()), 0);
        SelectRows({0, 1});
        ShellCalls().clear();
        dialogs.Clear();
        // Yes to the question about two rows, OK to the warning about "CON"
        // once the request has come.
        dialogs.Answer({{IDYES}, {IDOK, "", 300}});
        extraction_support::UiTimer requester([&] {
            if (extraction_support::FindDialog(InPreview("CON")) == nullptr)
                return false;
            c.request();
            return true;
        });
        DoubleClick();
        EXPECT_TRUE(requester.Done()) << c.what;
        EXPECT_EQ(ShellFiles(), std::vector<std::string>{InPreview("ok.qvdat")}) << c.what;
        EXPECT_TRUE(PumpUntil(c.carriedOut, 5000)) << c.what;
        ASSERT_EQ(dialogs.Count(), 2u) << c.what;
        EXPECT_EQ(dialogs.Seen()[1].text, OUTPUT_UNOPENED_TEXT) << c.what;
        MSG quit;
        PeekMessageA(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE);
    }
}

// ---------------------------------------------------------------------------
// What a retry cannot mend is mended at once

HANDLE CreateWide(const std::wstring& path)
{
    return CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
}

TEST_F(PreviewTest, ReadOnlyFilesAndNamesWithoutAnAnsiFormAreRemovedWithoutAQuestion)
{
    const struct {
        const char* what;
        std::function<void()> fill;
    } cases[] = {
        {"a read-only file",
         [&] {
             ASSERT_TRUE(WriteBytes(InPreview("ro.qvdat"), {1}));
             ASSERT_TRUE(SetFileAttributesA(InPreview("ro.qvdat").c_str(), FILE_ATTRIBUTE_READONLY));
         }},
        {"a file and a folder whose names have no ANSI form",
         [&] {
             const std::wstring root = LongPath(preview);
             HANDLE file = CreateWide(root + L"\\\uD55C\uAE00.qvdat");
             ASSERT_NE(file, INVALID_HANDLE_VALUE);
             CloseHandle(file);
             ASSERT_TRUE(CreateDirectoryW((root + L"\\\uD55C\uAD6D").c_str(), nullptr));
             file = CreateWide(root + L"\\\uD55C\uAD6D\\inner.qvdat");
             ASSERT_NE(file, INVALID_HANDLE_VALUE);
             CloseHandle(file);
             ASSERT_TRUE(WriteBytes(InPreview("zz.qvdat"), {2}));
         }},
    };
    for (const auto& c : cases) {
        SetCurrentDirectoryA(temp.c_str());
        RemovePreviewLeftovers();
        ASSERT_TRUE(CreateDirectoryA(preview.c_str(), nullptr));
        c.fill();
        dialogs.Clear();
        RemovePreviewFolder();
        EXPECT_EQ(dialogs.Count(), 0u) << c.what;
        EXPECT_FALSE(FileExists(preview)) << c.what;
    }
}

TEST_F(PreviewTest, FileGoneAfterTheSearchListedItCountsAsRemoved)
{
    ASSERT_TRUE(CreateDirectoryA(preview.c_str(), nullptr));
    for (const char* name : {"f1.qvdat", "f2.qvdat", "f3.qvdat", "f4.qvdat"})
        ASSERT_TRUE(WriteBytes(InPreview(name), {1}));
    const std::vector<std::string> order = SearchOrder(preview);
    ASSERT_EQ(order.size(), 4u);
    // The first file is held, so the removal asks about it; while it asks,
    // the last one goes and the first is let go.
    HANDLE held = CreateFileA(InPreview(order[0]).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    dialogs.Answer({{IDYES, "", 300}});
    std::thread other([&] {
        const ULONGLONG deadline = GetTickCount64() + 15000;
        while (dialogs.Count() < 1 && GetTickCount64() < deadline)
            Sleep(1);
        DeleteFileA(InPreview(order[3]).c_str());
        CloseHandle(held);
    });
    RemovePreviewFolder();
    other.join();
    ASSERT_EQ(dialogs.Count(), 1u);
    EXPECT_EQ(dialogs.Seen()[0].caption, InPreview(order[0]));
    EXPECT_FALSE(FileExists(preview));
}

} // namespace
