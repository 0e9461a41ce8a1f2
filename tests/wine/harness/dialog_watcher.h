// Watches this process for dialogs (message boxes, the folder chooser, the
// open dialog, the About box), records what each showed and answers it as
// the test asked. It runs on its own thread: the dialogs run modal loops on
// the UI thread (or on the extraction worker) and are answered by posted
// button clicks, as a user's click would arrive.
#ifndef QUORVEL_TESTS_DIALOG_WATCHER_H
#define QUORVEL_TESTS_DIALOG_WATCHER_H

#include <windows.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>
#include <atomic>
#include <set>

struct SeenDialog {
    std::string caption;
    std::string text;     // the static texts of the dialog, joined by "|"
    DWORD threadId = 0;   // the thread whose modal loop shows it
    int answeredWith = 0; // the button pressed (0: left open)
};

struct DialogAnswer {
    int button = IDOK; // IDOK, IDYES, IDNO, IDCANCEL, or 0 to leave it open
    std::string path;  // folder to select in the folder chooser, or file to type into the open dialog
    DWORD delayMs = 0; // wait before answering (lets a test act while it is open)
};

class DialogWatcher {
public:
    DialogWatcher();
    ~DialogWatcher();
    DialogWatcher(const DialogWatcher&) = delete;
    DialogWatcher& operator=(const DialogWatcher&) = delete;

    // Answers for the next dialogs, in order. Without one left, a dialog is
    // answered IDOK, or IDNO when it has no OK button.
    void Answer(std::vector<DialogAnswer> answers);
    std::vector<SeenDialog> Seen();
    size_t Count();
    void Clear();
    // Handles the calling thread's messages until count dialogs were seen.
    bool WaitForCount(size_t count, DWORD timeoutMs = 15000);
    // The dialog currently open, if any, and pressing a button on it now.
    HWND OpenDialog();

private:
    void Run();
    void Handle(HWND dialog);

    std::mutex mutex_;
    std::vector<DialogAnswer> answers_;
    std::vector<SeenDialog> seen_;
    std::set<HWND> handled_;
    std::atomic<bool> stop_{false};
    std::atomic<HWND> open_{nullptr};
    std::thread thread_;
};

std::string WindowText(HWND window);

#endif
