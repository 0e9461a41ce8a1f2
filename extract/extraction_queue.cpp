// The queue, the worker's life and the UI thread's waits for it.
//
// Shared state and its rule:
// - g_app.queueHead, every job's next link, s_workerActive and
//   s_keptAfterError are read and written only while g_app.queueLock is
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
#include "support/heap_poison.h"
#include "support/text.h"

namespace {

bool s_workerActive;         // guarded by g_app.queueLock
// True from a stop on error until the next Extract command: the jobs then
// queued are kept for a later run. Guarded by g_app.queueLock.
bool s_keptAfterError;
HANDLE s_workerHandle;       // UI thread only: the last worker started
DWORD s_workerThreadId;      // UI thread only
bool s_waitingForWorker;     // UI thread only
// A close request that came during a wait, carried out once the wait is
// over. UI thread only.
bool s_closeAfterWait;

class QueueLock {
public:
    QueueLock() { AcquireSRWLockExclusive(&g_app.queueLock); }
    ~QueueLock() { ReleaseSRWLockExclusive(&g_app.queueLock); }
    QueueLock(const QueueLock&) = delete;
    QueueLock& operator=(const QueueLock&) = delete;
};

BOOL CALLBACK AnswerNo(HWND window, LPARAM)
{
    char className[16];
    if (GetClassNameA(window, className, sizeof className) > 0 && TextCompare(className, "#32770") == 0)
        PostMessageA(window, WM_COMMAND, MAKEWPARAM(IDNO, BN_CLICKED), 0);
    return TRUE;
}

// Handles window messages until the worker thread has ended: its status
// texts are sends that the UI thread carries out, and its message boxes are
// owned by the main window. The main window takes no input meanwhile.
// True once the thread has ended.
bool WaitForWorkerThread(bool answerWorkerQuestions)
{
    if (s_workerHandle == nullptr)
        return true;
    s_waitingForWorker = true;
    bool quitSeen = false;
    int quitCode = 0;
    bool ended = false;
    for (;;) {
        // A worker's message box that closes gives its owner back its input;
        // the window stays disabled until the wait is over all the same.
        if (IsWindowEnabled(g_app.mainWindow))
            EnableWindow(g_app.mainWindow, FALSE);
        if (answerWorkerQuestions)
            EnumThreadWindows(s_workerThreadId, AnswerNo, 0);
        const DWORD woken = MsgWaitForMultipleObjects(1, &s_workerHandle, FALSE, answerWorkerQuestions ? 50 : INFINITE,
                                                      QS_ALLINPUT);
        ended = woken == WAIT_OBJECT_0;
        if (ended || woken == WAIT_FAILED)
            break;
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
    if (ended) {
        QueueLock lock;
        s_workerActive = false;
    }
    // Nothing else on this thread disables the window across the wait, and
    // the worker's message boxes are gone with it.
    EnableWindow(g_app.mainWindow, TRUE);
    s_waitingForWorker = false;
    if (quitSeen)
        PostQuitMessage(quitCode);
    if (s_closeAfterWait) {
        s_closeAfterWait = false;
        PostMessageA(g_app.mainWindow, WM_CLOSE, 0, 0);
    }
    return ended;
}

} // namespace

void ReleaseJobs(ExtractJob* first)
{
    while (first != nullptr) {
        ExtractJob* next = first->next;
        PoisonBeforeRelease(first->destination, TextLength(first->destination) + 1);
        HeapFree(g_app.heap, 0, first->destination);
        PoisonBeforeRelease(first, sizeof *first);
        HeapFree(g_app.heap, 0, first);
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
    HANDLE thread = CreateThread(nullptr, 0, ExtractionWorker, nullptr, 0, &threadId);
    if (thread == nullptr) {
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
        if (WaitForWorkerThread(false))
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
        if (WaitForWorkerThread(true))
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
