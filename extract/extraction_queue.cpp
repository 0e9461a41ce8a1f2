// The queue, the worker's life and the UI thread's waits for it.
//
// Shared state and its rule:
// - g_app.queueHead, every job's next link, s_workerActive,
//   s_keptAfterError and s_threadsAlive are read and written only while g_app.queueLock is
//   held. The lock is never held across a message send or a message box, so
//   neither thread can block the other's message handling.
// - g_app.extracting is one atomic word. The worker decides to end a run
//   (and clears the flag on completion) under the lock; the Extract command
//   sets it under the lock. Abort, Close and opening a pack store 0 without
//   the lock: that store is the whole abort request.
// - g_app.abandonEntry is one atomic word, stored only by the UI thread
//   around its waits for the worker (set after the flag went to 0, cleared
//   once the thread has ended) and read by ExtractEntry before each chunk.
// - s_workerHandle, s_workerThreadId, s_waitingForWorker and
//   s_closeAfterWait belong to the UI thread alone.
#include "extract/extraction.h"

#include "shell/app_state.h"
#include "support/heap_block.h"
#include "support/text.h"

namespace {

bool s_workerActive;         // guarded by g_app.queueLock
// Worker threads started and not yet gone (at most two: one ending its life
// while the next begins). Guarded by g_app.queueLock.
int s_threadsAlive;
// True from a stop on error until the next Extract command: the jobs then
// queued are kept for a later run. Guarded by g_app.queueLock.
bool s_keptAfterError;
HANDLE s_workerHandle;       // UI thread only: the last worker started
DWORD s_workerThreadId;      // UI thread only
bool s_waitingForWorker;     // UI thread only
// A close request that came during a wait, carried out once the wait is
// over. UI thread only.
bool s_closeAfterWait;

constexpr DWORD WAIT_SLICE_MS = 50;

class QueueLock {
public:
    QueueLock() { AcquireSRWLockExclusive(&g_app.queueLock); }
    ~QueueLock() { ReleaseSRWLockExclusive(&g_app.queueLock); }
    QueueLock(const QueueLock&) = delete;
    QueueLock& operator=(const QueueLock&) = delete;
};

// Only questions are answered: a warning the worker shows meanwhile (a
// partial file it could not remove) stays until the user has read it.
BOOL CALLBACK AnswerNo(HWND window, LPARAM)
{
    char className[16];
    if (GetClassNameA(window, className, sizeof className) > 0 && TextCompare(className, "#32770") == 0 &&
        GetDlgItem(window, IDNO) != nullptr)
        PostMessageA(window, WM_COMMAND, MAKEWPARAM(IDNO, BN_CLICKED), 0);
    return TRUE;
}

bool NoWorkerThreadLeft()
{
    QueueLock lock;
    return s_threadsAlive == 0;
}

// Each worker thread runs the worker and then, as its very last step, says
// that it has gone: a wait that cannot use the thread's handle still knows
// when nothing of the worker runs any more.
DWORD WINAPI WorkerThread(LPVOID)
{
    ExtractionWorker(nullptr);
    QueueLock lock;
    --s_threadsAlive;
    return 0;
}

// Handles window messages until the worker thread has ended: its status
// texts are sends that the UI thread carries out, and its message boxes are
// owned by the main window. The main window takes no input meanwhile, and
// the keyboard focus goes back where it was once it does again.
void WaitForWorkerThread(bool answerWorkerQuestions)
{
    if (s_workerHandle == nullptr)
        return;
    s_waitingForWorker = true;
    // The question that led here may have left the focus on the window
    // itself: then it goes back to the child that had it before.
    HWND focus = GetFocus();
    if (focus == nullptr || IsChild(g_app.mainWindow, focus) == FALSE)
        focus = g_app.focusedChild;
    bool quitSeen = false;
    int quitCode = 0;
    bool handleUsable = true;
    for (;;) {
        // A worker's message box that closes gives its owner back its input;
        // the window stays disabled until the wait is over all the same.
        if (IsWindowEnabled(g_app.mainWindow))
            EnableWindow(g_app.mainWindow, FALSE);
        if (answerWorkerQuestions)
            EnumThreadWindows(s_workerThreadId, AnswerNo, 0);
        if (handleUsable) {
            const DWORD woken = MsgWaitForMultipleObjects(1, &s_workerHandle, FALSE,
                                                          answerWorkerQuestions ? WAIT_SLICE_MS : INFINITE, QS_ALLINPUT);
            if (woken == WAIT_OBJECT_0)
                break;
            // The entries go once this wait is over: a wait that fails must
            // not end it while the worker may still read them.
            handleUsable = woken != WAIT_FAILED;
        } else {
            if (NoWorkerThreadLeft())
                break;
            MsgWaitForMultipleObjects(0, nullptr, FALSE, WAIT_SLICE_MS, QS_ALLINPUT);
        }
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT) {
                quitSeen = true;
                quitCode = static_cast<int>(message.wParam);
                continue;
            }
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
    }
    // The thread has ended, also when it abandoned its run without a word:
    // a later Extract command must start a new one.
    {
        QueueLock lock;
        s_workerActive = false;
    }
    // Nothing else on this thread disables the window across the wait, and
    // the worker's message boxes are gone with it.
    EnableWindow(g_app.mainWindow, TRUE);
    if (GetActiveWindow() == g_app.mainWindow && focus != nullptr && IsChild(g_app.mainWindow, focus))
        SetFocus(focus);
    s_waitingForWorker = false;
    if (quitSeen)
        PostQuitMessage(quitCode);
    if (s_closeAfterWait) {
        s_closeAfterWait = false;
        PostMessageA(g_app.mainWindow, WM_CLOSE, 0, 0);
    }
}

} // namespace

void ReleaseJobs(ExtractJob* first)
{
    while (first != nullptr) {
        ExtractJob* next = first->next;
        ReleaseHeapBlock(g_app.heap, first->destination, TextLength(first->destination) + 1);
        ReleaseHeapBlock(g_app.heap, first, sizeof *first);
        first = next;
    }
}

bool EnqueueJobsAndStart(ExtractJob* first)
{
    QueueLock lock;
    ExtractJob* previousTail = nullptr;
    if (first != nullptr) {
        if (g_app.queueHead == nullptr) {
            g_app.queueHead = first;
        } else {
            previousTail = g_app.queueHead;
            while (previousTail->next != nullptr)
                previousTail = previousTail->next;
            previousTail->next = first;
        }
    }
    const bool wasKeptAfterError = s_keptAfterError;
    s_keptAfterError = false;
    if (s_workerActive) {
        // Running or Aborting: the worker looks at the flag under this lock
        // before each job and before it ends, so setting it here withdraws
        // an abort and the running worker takes the new jobs.
        g_app.extracting.store(1);
        return true;
    }
    g_app.extracting.store(1);
    DWORD threadId = 0;
    ++s_threadsAlive;
    HANDLE thread = CreateThread(nullptr, 0, WorkerThread, nullptr, 0, &threadId);
    if (thread == nullptr) {
        --s_threadsAlive;
        if (previousTail != nullptr)
            previousTail->next = nullptr;
        else if (g_app.queueHead == first)
            g_app.queueHead = nullptr;
        g_app.extracting.store(0);
        s_keptAfterError = wasKeptAfterError;
        return false;
    }
    s_workerActive = true;
    if (s_workerHandle != nullptr)
        CloseHandle(s_workerHandle);
    s_workerHandle = thread;
    s_workerThreadId = threadId;
    return true;
}

// Called by the worker under no lock; decides under the lock whether the
// run goes on (true) or the worker ends (false, worker no longer active).
// Jobs queued while the run was ending get a run of their own; if they were
// aborted meanwhile, that run releases them, as any abort does. Only the
// jobs kept by a stop on error stay queued.
bool WorkerShouldStartAnotherRun()
{
    QueueLock lock;
    if (g_app.queueHead != nullptr && (g_app.extracting.load() == 1 || !s_keptAfterError))
        return true;
    s_workerActive = false;
    return false;
}

// The worker's look at the queue before each job, under the lock.
// Returns the head job to work on, or nullptr when the run is over; then
// *aborted tells how it ended and the flag is 0.
ExtractJob* WorkerTakeHead(bool* aborted, ExtractJob** abandoned)
{
    QueueLock lock;
    *abandoned = nullptr;
    if (g_app.extracting.load() == 0) {
        *aborted = true;
        *abandoned = g_app.queueHead;
        g_app.queueHead = nullptr;
        return nullptr;
    }
    if (g_app.queueHead == nullptr) {
        *aborted = false;
        g_app.extracting.store(0);
        return nullptr;
    }
    return g_app.queueHead;
}

void WorkerUnlinkHead(ExtractJob* job)
{
    QueueLock lock;
    g_app.queueHead = job->next;
}

void WorkerStopOnError()
{
    QueueLock lock;
    g_app.extracting.store(0);
    s_keptAfterError = true;
}

void StopExtractionAndWait()
{
    g_app.extracting.store(0);
    if (IsExtractionWorkerActive()) {
        // The entry being copied is given up within one chunk, so the window
        // is disabled for a moment, not for the rest of a large entry. The
        // flag is already 0, so the worker ends its run as aborted.
        g_app.abandonEntry.store(1);
        WaitForWorkerThread(false);
        g_app.abandonEntry.store(0);
    }
    ExtractJob* left;
    {
        QueueLock lock;
        left = g_app.queueHead;
        g_app.queueHead = nullptr;
        s_keptAfterError = false;
    }
    ReleaseJobs(left);
}

void AbandonExtraction()
{
    // In this order: a worker that finds its copy given up also finds that
    // it must touch nothing more.
    g_app.quitRequested.store(1);
    if (IsExtractionWorkerActive()) {
        g_app.abandonEntry.store(1);
        WaitForWorkerThread(true);
        g_app.abandonEntry.store(0);
    }
}

bool IsWaitingForWorker()
{
    return s_waitingForWorker;
}

void CloseAfterWait()
{
    s_closeAfterWait = true;
}

bool IsExtractionWorkerActive()
{
    QueueLock lock;
    return s_workerActive;
}
