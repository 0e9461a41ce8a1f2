// Helpers shared by the extraction tests: acting at an exact point of the
// worker's run, answering dialogs from the UI thread, and checking what the
// worker wrote.
#ifndef QUORVEL_TESTS_EXTRACTION_SUPPORT_H
#define QUORVEL_TESTS_EXTRACTION_SUPPORT_H

#include "harness/program_fixture.h"
#include "tools/outside/window_search.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "extract/extraction.h"
#include "pack/pack.h"
#include "resources/resource.h"
#include "resources/texts.h"
#include "shell/app_state.h"

namespace extraction_support {

// The status texts under the names the tests use for them.
inline const std::string START_TEXT = RUN_STARTED_STATUS;
inline const std::string COMPLETE_TEXT = RUN_COMPLETE_STATUS;
inline const std::string ABORTED_TEXT = RUN_ABORTED_STATUS;
inline const std::string STOPPED_TEXT = RUN_STOPPED_STATUS;
inline const std::string CLOSED_TEXT = PACK_CLOSED_STATUS;
inline const std::string OPENED_TEXT = PACK_OPENED_STATUS;
// Wine's own caption of the folder chooser.
inline const std::string CHOOSER_CAPTION = "フォルダーの参照";

// What every progress text starts with: the format up to the name.
inline std::string ProgressPrefix()
{
    const std::string format = PROGRESS_STATUS_FORMAT;
    return format.substr(0, format.find("%s"));
}

inline std::string Progress(const std::string& name, uint64_t size)
{
    char text[600];
    wsprintfA(text, PROGRESS_STATUS_FORMAT, name.c_str(), static_cast<unsigned long>(size));
    return text;
}

// Runs an action on the UI thread the first time the status bar is given a
// text, right after it was recorded. HOLD_WORKER keeps the worker that sent
// the text waiting for its reply during the action, so the action happens
// at exactly that point of the run; RELEASE_WORKER replies first, for
// actions that themselves wait for the worker. Several may be armed at once.
class StatusTrigger {
public:
    enum Mode { HOLD_WORKER, RELEASE_WORKER };

    StatusTrigger(std::string text, Mode mode, std::function<void()> action)
        : text_(std::move(text)), mode_(mode), action_(std::move(action))
    {
        if (armed_.empty())
            original_ = reinterpret_cast<WNDPROC>(
                SetWindowLongPtrA(g_app.statusBar, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(Proc)));
        armed_.push_back(this);
    }
    ~StatusTrigger()
    {
        armed_.erase(std::find(armed_.begin(), armed_.end(), this));
        if (armed_.empty())
            SetWindowLongPtrA(g_app.statusBar, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(original_));
    }
    StatusTrigger(const StatusTrigger&) = delete;
    StatusTrigger& operator=(const StatusTrigger&) = delete;

    bool Fired() const { return fired_; }

private:
    static LRESULT CALLBACK Proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
    {
        const LRESULT result = CallWindowProcA(original_, window, message, wParam, lParam);
        if (message != SB_SETTEXTA || lParam == 0)
            return result;
        const std::string text = reinterpret_cast<const char*>(lParam);
        const std::vector<StatusTrigger*> armed = armed_;
        for (StatusTrigger* trigger : armed) {
            if (trigger->fired_ || trigger->text_ != text)
                continue;
            trigger->fired_ = true;
            if (trigger->mode_ == RELEASE_WORKER && InSendMessage())
                ReplyMessage(result);
            trigger->action_();
        }
        return result;
    }

    static inline std::vector<StatusTrigger*> armed_;
    static inline WNDPROC original_ = nullptr;
    std::string text_;
    Mode mode_;
    std::function<void()> action_;
    bool fired_ = false;
};

// Calls step on the UI thread every few milliseconds, from whatever loop
// runs there (a message box's, the wait for the worker, PumpUntil), until
// step returns true.
class UiTimer {
public:
    explicit UiTimer(std::function<bool()> step) : step_(std::move(step))
    {
        active_ = this;
        id_ = SetTimer(nullptr, 0, 5, Proc);
    }
    ~UiTimer()
    {
        if (id_ != 0)
            KillTimer(nullptr, id_);
        active_ = nullptr;
    }
    UiTimer(const UiTimer&) = delete;
    UiTimer& operator=(const UiTimer&) = delete;

    bool Done() const { return done_; }

private:
    static void CALLBACK Proc(HWND, UINT, UINT_PTR id, DWORD)
    {
        UiTimer* self = active_;
        if (self == nullptr || self->done_ || self->busy_ || id != self->id_)
            return;
        self->busy_ = true;
        if (self->step_()) {
            self->done_ = true;
            KillTimer(nullptr, self->id_);
            self->id_ = 0;
        }
        self->busy_ = false;
    }

    static inline UiTimer* active_ = nullptr;
    std::function<bool()> step_;
    UINT_PTR id_ = 0;
    bool done_ = false;
    bool busy_ = false; // a step may itself run a message loop
};

// The open dialog of this process with the given caption, or nullptr.
inline HWND FindDialog(const std::string& caption)
{
    return FindProcessWindow(GetCurrentProcessId(), "#32770", caption.c_str());
}

inline void Press(HWND dialog, int button)
{
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog, button)));
}

inline bool WorkerGone(DWORD timeoutMs = 60000)
{
    return PumpUntil([] { return !IsExtractionWorkerActive(); }, timeoutMs);
}

inline int QueueLength()
{
    int length = 0;
    for (ExtractJob* job = g_app.queueHead; job != nullptr; job = job->next)
        ++length;
    return length;
}

inline uint64_t FileSize(const std::string& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data))
        return 0;
    return (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// True when the file holds exactly the generated pattern of entry index.
inline bool FileHoldsPattern(const std::string& path, size_t index, uint64_t size)
{
    HANDLE file =
        CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    std::vector<uint8_t> got(1 << 20);
    std::vector<uint8_t> want(1 << 20);
    uint64_t position = 0;
    bool same = true;
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(file, got.data(), static_cast<DWORD>(got.size()), &read, nullptr) || read == 0)
            break;
        if (position + read > size) {
            same = false;
            break;
        }
        pakwriter::FillPattern(index, position, want.data(), read);
        if (std::memcmp(got.data(), want.data(), read) != 0) {
            same = false;
            break;
        }
        position += read;
    }
    CloseHandle(file);
    return same && position == size;
}

inline pakwriter::Bytes Pattern(size_t index, size_t size)
{
    pakwriter::Bytes bytes(size);
    pakwriter::FillPattern(index, 0, bytes.data(), size);
    return bytes;
}

// The status texts of well-formed runs only: each run begins with the start
// text, names known entries with their sizes, and ends with one of the
// three closing texts; anything else (pack texts) stands between runs. A run
// abandoned by quitting ends silently before the pack is closed.
// Returns "" or what is wrong.
inline std::string CheckRuns(const std::vector<std::string>& history,
                             const std::vector<std::string>& knownProgressTexts, bool quitting = false)
{
    bool inRun = false;
    for (size_t i = 0; i < history.size(); ++i) {
        const std::string& text = history[i];
        if (text.find('\xDD') != std::string::npos)
            return "released memory shown: #" + std::to_string(i);
        if (text == START_TEXT) {
            if (inRun)
                return "second start inside a run at #" + std::to_string(i);
            inRun = true;
        } else if (text == COMPLETE_TEXT || text == ABORTED_TEXT || text == STOPPED_TEXT) {
            if (!inRun)
                return "end outside a run at #" + std::to_string(i) + ": " + text;
            inRun = false;
        } else if (text.rfind(ProgressPrefix(), 0) == 0) {
            if (!inRun)
                return "progress outside a run at #" + std::to_string(i);
            bool known = false;
            for (const std::string& k : knownProgressTexts)
                known = known || k == text;
            if (!known)
                return "unknown progress text at #" + std::to_string(i) + ": " + text;
        } else if (inRun && quitting && text == CLOSED_TEXT) {
            inRun = false;
        } else if (inRun) {
            return "unexpected text inside a run at #" + std::to_string(i) + ": " + text;
        }
    }
    return "";
}

} // namespace extraction_support

#endif
