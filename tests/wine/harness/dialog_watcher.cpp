#include "harness/dialog_watcher.h"

#include <commctrl.h>
#include <shlobj.h>

std::string WindowText(HWND window)
{
    char text[2048];
    text[0] = 0;
    GetWindowTextA(window, text, sizeof text);
    text[sizeof text - 1] = 0;
    return text;
}

namespace {

std::string ClassOf(HWND window)
{
    char name[64];
    name[0] = 0;
    GetClassNameA(window, name, sizeof name);
    return name;
}

struct Found {
    DWORD process;
    std::vector<HWND> dialogs;
};

BOOL CALLBACK CollectDialog(HWND window, LPARAM context)
{
    auto* found = reinterpret_cast<Found*>(context);
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (process == found->process && IsWindowVisible(window) && ClassOf(window) == "#32770")
        found->dialogs.push_back(window);
    return TRUE;
}

BOOL CALLBACK CollectStatic(HWND window, LPARAM context)
{
    auto* texts = reinterpret_cast<std::string*>(context);
    if (ClassOf(window) == "Static") {
        const std::string text = WindowText(window);
        if (!text.empty()) {
            if (!texts->empty())
                *texts += "|";
            *texts += text;
        }
    }
    return TRUE;
}

// Wine's folder chooser now and then ignores BFFM_SETSELECTIONA and stays on
// the desktop (about one time in three here); OK would then choose the
// desktop, the user's home folder. Selects until the tree shows the folder.
bool SelectFolder(HWND dialog, const std::string& path)
{
    HWND tree = FindWindowExA(dialog, nullptr, "SysTreeView32", nullptr);
    for (int attempt = 0; attempt < 100; ++attempt) {
        SendMessageA(dialog, BFFM_SETSELECTIONA, TRUE, reinterpret_cast<LPARAM>(path.c_str()));
        char text[MAX_PATH] = {};
        TVITEMA item = {};
        item.mask = TVIF_TEXT;
        item.hItem = reinterpret_cast<HTREEITEM>(SendMessageA(tree, TVM_GETNEXTITEM, TVGN_CARET, 0));
        item.pszText = text;
        item.cchTextMax = sizeof text - 1;
        if (item.hItem != nullptr && SendMessageA(tree, TVM_GETITEMA, 0, reinterpret_cast<LPARAM>(&item))) {
            const std::string leaf = std::string("\\") + text;
            if (path.size() > leaf.size() && path.compare(path.size() - leaf.size(), leaf.size(), leaf) == 0)
                return true;
        }
        Sleep(20);
    }
    return false;
}

void Click(HWND dialog, int button)
{
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog, button)));
}

} // namespace

DialogWatcher::DialogWatcher() : thread_([this] { Run(); })
{}

DialogWatcher::~DialogWatcher()
{
    stop_ = true;
    thread_.join();
}

void DialogWatcher::Answer(std::vector<DialogAnswer> answers)
{
    std::lock_guard<std::mutex> lock(mutex_);
    answers_.insert(answers_.end(), answers.begin(), answers.end());
}

std::vector<SeenDialog> DialogWatcher::Seen()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return seen_;
}

size_t DialogWatcher::Count()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return seen_.size();
}

void DialogWatcher::Clear()
{
    std::lock_guard<std::mutex> lock(mutex_);
    seen_.clear();
    answers_.clear();
}

HWND DialogWatcher::OpenDialog()
{
    return open_.load();
}

bool DialogWatcher::WaitForCount(size_t count, DWORD timeoutMs)
{
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (Count() < count) {
        if (GetTickCount64() > deadline)
            return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
    }
    return true;
}

void DialogWatcher::Run()
{
    while (!stop_) {
        Found found{GetCurrentProcessId(), {}};
        EnumWindows(CollectDialog, reinterpret_cast<LPARAM>(&found));
        for (HWND dialog : found.dialogs) {
            if (handled_.count(dialog) == 0)
                Handle(dialog);
        }
        // Forget dialogs that are gone: their handles may be reused.
        for (auto it = handled_.begin(); it != handled_.end();)
            it = IsWindow(*it) ? std::next(it) : handled_.erase(it);
        Sleep(5);
    }
}

void DialogWatcher::Handle(HWND dialog)
{
    // Let the dialog finish building its controls before reading them.
    Sleep(30);
    SeenDialog seen;
    seen.caption = WindowText(dialog);
    EnumChildWindows(dialog, CollectStatic, reinterpret_cast<LPARAM>(&seen.text));
    seen.threadId = GetWindowThreadProcessId(dialog, nullptr);

    DialogAnswer answer;
    bool scripted = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!answers_.empty()) {
            answer = answers_.front();
            answers_.erase(answers_.begin());
            scripted = true;
        }
    }
    if (!scripted)
        answer.button = GetDlgItem(dialog, IDOK) != nullptr ? IDOK : IDNO;
    seen.answeredWith = answer.button;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        seen_.push_back(seen);
    }
    handled_.insert(dialog);
    open_ = dialog;
    if (answer.delayMs != 0)
        Sleep(answer.delayMs);
    if (!answer.path.empty()) {
        // The folder chooser takes a selection by message; the open dialog
        // takes a typed file name.
        if (FindWindowExA(dialog, nullptr, "SysTreeView32", nullptr) != nullptr) {
            // Never OK a chooser that does not show the folder asked for.
            if (!SelectFolder(dialog, answer.path) && answer.button == IDOK)
                answer.button = IDCANCEL;
        } else {
            for (int box : {0x47C, 0x480})
                SetDlgItemTextA(dialog, box, answer.path.c_str());
        }
        Sleep(50);
    }
    if (answer.button != 0)
        Click(dialog, answer.button);
    open_ = nullptr;
}
