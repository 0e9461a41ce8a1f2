// quorvel's UI running inside a test program: the main window made as
// start-up makes it, a clean state for every test, and ways to read back
// what a user would see.
#ifndef QUORVEL_TESTS_PROGRAM_FIXTURE_H
#define QUORVEL_TESTS_PROGRAM_FIXTURE_H

#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "harness/dialog_watcher.h"
#include "pack_writer.h"

// Handles this thread's window messages until done() holds; false on timeout.
bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs = 20000);
void PumpFor(DWORD milliseconds);

// Every text the status bar was given, in order, as it was set.
std::vector<std::string>& StatusHistory();
std::string StatusText();

std::string TitleText();
int RowCount();
std::string RowText(int row, int column);
std::vector<int> SelectedRows();
void SelectRows(const std::vector<int>& rows);
std::string TreeItemText(); // "" when the tree is empty
int TreeItemCount();
UINT CloseItemState(); // MFS_GRAYED or MFS_ENABLED bits of the Close item

// A visible top-level window of another process, by class; nullptr after
// the time limit. The calling thread's messages are handled meanwhile.
HWND WaitForProcessWindow(DWORD processId, const char* className, DWORD timeoutMs = 20000);

// What a heap holds, walked block by block.
struct HeapUse {
    uint64_t blocks = 0;         // blocks in use: what a leak check compares
    uint64_t requestedBytes = 0; // what the callers asked for
    uint64_t blockBytes = 0;     // with the heap's own per-block overhead
    uint64_t committedBytes = 0; // memory the heap holds from the system
};
HeapUse MeasureHeap(HANDLE heap);
inline size_t HeapBusyBlocks(HANDLE heap)
{
    return static_cast<size_t>(MeasureHeap(heap).blocks);
}

// Records the commands that reach the main window instead of running them,
// for the life of the recorder.
class CommandRecorder {
public:
    CommandRecorder();
    ~CommandRecorder();
    CommandRecorder(const CommandRecorder&) = delete;
    CommandRecorder& operator=(const CommandRecorder&) = delete;

    std::vector<WORD> commands;

private:
    static LRESULT CALLBACK Proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    static inline CommandRecorder* active_ = nullptr;
    WNDPROC original_ = nullptr;
};

// A drop as the shell delivers it: DROPFILES followed by ANSI paths.
HDROP MakeDrop(const std::vector<std::string>& paths);

// The clipboard's CF_TEXT, "" when it has none.
std::string ClipboardText();

// Files and folders, with Windows paths in the ANSI code page.
std::string NewTempFolder();                // a fresh folder under the temporary folder
void RemoveTree(const std::string& folder); // recursive, test-side
bool WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes);
bool ReadBytes(const std::string& path, std::vector<uint8_t>* bytes);
bool FileExists(const std::string& path);
std::string WritePack(const std::string& folder, const std::string& name, const std::vector<pakwriter::Entry>& entries);

class ProgramTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Sends a command as the menu would.
    void Command(WORD id);

    DialogWatcher dialogs;
    std::string temp;
};

// Takes back a quit that a test confirmed, so that the tests go on: the
// program itself never leaves that state.
void ForgetQuitting();

// Brings the program to its state right after start-up: no pack, no
// extraction, no selection, status "Ready".
void ResetProgramState();

#endif
