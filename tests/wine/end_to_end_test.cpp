// The real quorvel.exe, driven from outside as a person would use it:
// start it on a pack, select all, copy the names, extract to a folder,
// preview one entry, close it.
#include "harness/program_fixture.h"
#include "harness/started_quorvel.h"
#include "tools/outside/folder_chooser.h"

#include <shlobj.h>

#include "resources/resource.h"

namespace {

// Memory inside quorvel's process, for the few messages that carry a pointer.
class RemoteBlock {
public:
    RemoteBlock(HANDLE process, size_t bytes) : process_(process)
    {
        address_ = VirtualAllocEx(process, nullptr, bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    }
    ~RemoteBlock() { VirtualFreeEx(process_, address_, 0, MEM_RELEASE); }
    void Write(const void* bytes, size_t count) { WriteProcessMemory(process_, address_, bytes, count, nullptr); }
    void Read(void* bytes, size_t count) { ReadProcessMemory(process_, address_, bytes, count, nullptr); }
    LPARAM Address() const { return reinterpret_cast<LPARAM>(address_); }

private:
    HANDLE process_;
    void* address_;
};

bool FileHolds(const std::string& path, const std::vector<uint8_t>& expected)
{
    std::vector<uint8_t> bytes;
    return ReadBytes(path, &bytes) && bytes == expected;
}

class EndToEndTest : public ProgramTest {};

TEST_F(EndToEndTest, OpenSelectCopyExtractPreviewAndClose)
{
    std::vector<uint8_t> big(300000);
    pakwriter::FillPattern(3, 0, big.data(), big.size());
    const std::vector<pakwriter::Entry> entries = {{"readme.txt", {'h', 'i', '\r', '\n'}},
                                                   {"表紙.bmp", std::vector<uint8_t>(1024, 0x7F)},
                                                   {"map.bin", big},
                                                   {"note.qvdat", {'n', 'o', 't', 'e'}},
                                                   {"empty.dat", {}}};
    const std::string pack = WritePack(temp, "デモ.pak", entries);
    char previewFolder[MAX_PATH + 16] = {};
    GetTempPathA(MAX_PATH, previewFolder);
    lstrcatA(previewFolder, "$PAKTEMP");
    RemoveTree(previewFolder);

    StartedQuorvel quorvel = StartQuorvel(" \"" + pack + "\"");
    const PROCESS_INFORMATION& process = quorvel.process;
    HWND window = quorvel.window;
    ASSERT_NE(window, nullptr);
    HWND list = FindWindowExA(window, nullptr, "SysListView32", nullptr);
    ASSERT_EQ(SendMessageA(list, LVM_GETITEMCOUNT, 0, 0), 5);

    // Select all (Ctrl+A reaches the same command).
    PostMessageA(window, WM_COMMAND, IDM_SELECTALL, 0);
    EXPECT_TRUE(PumpUntil([&] { return SendMessageA(list, LVM_GETSELECTEDCOUNT, 0, 0) == 5; }));

    // Copy file names.
    PostMessageA(window, WM_COMMAND, IDM_COPYNAMES, 0);
    const std::string names = "readme.txt\n表紙.bmp\nmap.bin\nnote.qvdat\nempty.dat\n";
    EXPECT_TRUE(PumpUntil([&] { return ClipboardText() == names; }, 5000)) << ClipboardText();

    // Extract: the folder chooser is answered inside quorvel's process.
    const std::string out = temp + "\\extracted";
    CreateDirectoryA(out.c_str(), nullptr);
    PostMessageA(window, WM_COMMAND, IDM_EXTRACT, 0);
    HWND chooser = WaitForProcessWindow(process.dwProcessId, "#32770");
    ASSERT_NE(chooser, nullptr);
    EXPECT_EQ(WindowText(chooser), "フォルダーの参照");
    {
        RemoteBlock path(process.hProcess, out.size() + 1);
        path.Write(out.c_str(), out.size() + 1);
        if (!SelectChooserFolder(chooser, path.Address())) {
            TerminateProcess(process.hProcess, 99); // OK would extract into the home folder
            FAIL() << "the folder chooser never took " << out;
        }
        PostMessageA(chooser, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
        EXPECT_TRUE(PumpUntil([&] { return !IsWindow(chooser); }));
    }
    for (const pakwriter::Entry& entry : entries)
        EXPECT_TRUE(PumpUntil([&] { return FileHolds(out + "\\" + entry.name, entry.bytes); })) << entry.name;

    // Preview one entry: click its row, then double-click it.
    PumpUntil([&] { return SendMessageA(list, LVM_GETSELECTEDCOUNT, 0, 0) == 5; });
    RECT row = {};
    {
        RemoteBlock rect(process.hProcess, sizeof(RECT));
        RECT request = {LVIR_LABEL, 0, 0, 0};
        rect.Write(&request, sizeof request);
        ASSERT_TRUE(SendMessageA(list, LVM_GETITEMRECT, 3, rect.Address()));
        rect.Read(&row, sizeof row);
    }
    const LPARAM point = MAKELPARAM(row.left + 5, (row.top + row.bottom) / 2);
    PostMessageA(list, WM_LBUTTONDOWN, MK_LBUTTON, point);
    PostMessageA(list, WM_LBUTTONUP, 0, point);
    EXPECT_TRUE(PumpUntil([&] { return SendMessageA(list, LVM_GETSELECTEDCOUNT, 0, 0) == 1; }));
    PostMessageA(list, WM_LBUTTONDBLCLK, MK_LBUTTON, point);
    PostMessageA(list, WM_LBUTTONUP, 0, point);
    const std::string previewed = std::string(previewFolder) + "\\note.qvdat";
    EXPECT_TRUE(PumpUntil([&] { return FileHolds(previewed, {'n', 'o', 't', 'e'}); })) << previewed;

    // Close: the process ends with 0 and takes its preview folder with it.
    EXPECT_EQ(CloseQuorvel(&quorvel), 0u);
    EXPECT_FALSE(FileExists(previewFolder));
}

} // namespace
