// The queue, the run's state, the one worker that drains the queue and the
// UI thread's waits for it.
//
// Shared state and its rule:
// - g_app.runState, g_app.queueHead, every job's next link, s_workerActive
//   and s_threadsAlive are written only while g_app.queueLock is held; the
//   queue and the two words are read under it too, the run state anywhere
//   (one atomic word). The lock is never held across a message send or a
//   message box, so neither thread can block the other's message handling.
// - g_app.abandonEntry is one atomic word, stored only by the UI thread
//   around its waits for the worker (set after the run state was changed,
//   cleared once the thread has ended) and read by ExtractEntry before
//   each chunk and each message.
// - s_workerHandle, s_workerThreadId, s_waitingForWorker and
//   s_closeAfterWait belong to the UI thread alone.
#include "extract/extraction.h"

#include "pack/pack.h"
#include "resources/texts.h"
#include "shell/app_state.h"
#include "support/heap_block.h"
#include "support/status.h"
#include "support/text.h"

namespace {

// True while a worker thread will still look at the queue: from its start
// until it decides, under the lock, that its last run is over.
bool s_workerActive;
// Worker threads started and not yet gone (at most two: one ending its life
// while the next begins).
int s_threadsAlive;
HANDLE s_workerHandle; // the last worker started
DWORD s_workerThreadId;
bool s_waitingForWorker;
// A close request that came during a wait, carried out once it is over.
bool s_closeAfterWait;

constexpr DWORD WAIT_SLICE_MS = 50;
// The fixed words, a size of ten digits and a 255-byte name fit with room.
constexpr int PROGRESS_TEXT_BYTES = 320;

class QueueLock {
public:
    QueueLock() { AcquireSRWLockExclusive(&g_app.queueLock); }
    ~QueueLock() { ReleaseSRWLockExclusive(&g_app.queueLock); }
    QueueLock(const QueueLock&) = delete;
    QueueLock& operator=(const QueueLock&) = delete;
};

RunState CurrentState()
{
    return static_cast<RunState>(g_app.runState.load());
}

// Under the lock. Quitting is final.
void EnterState(RunState state)
{
    if (CurrentState() != RUN_QUITTING)
        g_app.runState.store(state);
}

// ---- The worker's side, each step under the lock ---------------------------------

// Before each job: the head job to work on (it stays linked), or nullptr
// when the run is over; then *aborted tells how it ended and *abandoned
// holds the unlinked rest of an aborted queue.
ExtractJob* TakeHead(bool* aborted, ExtractJob** abandoned)
{
    QueueLock lock;
    *abandoned = nullptr;
    *aborted = true;
    // Quitting: the queue is left as it is, the heap goes with the program.
    if (CurrentState() == RUN_QUITTING)
        return nullptr;
    if (CurrentState() != RUN_RUNNING) {
        *abandoned = g_app.queueHead;
        g_app.queueHead = nullptr;
        EnterState(RUN_IDLE);
        return nullptr;
    }
    *aborted = false;
    if (g_app.queueHead == nullptr) {
        EnterState(RUN_IDLE);
        return nullptr;
    }
    return g_app.queueHead;
}

void UnlinkHead(ExtractJob* job)
{
    {
        QueueLock lock;
        g_app.queueHead = job->next;
    }
    // Once unlinked the job is the worker's alone: nothing links behind it.
    job->next = nullptr;
    ReleaseJobs(job);
}

void StopOnError()
{
    QueueLock lock;
    EnterState(RUN_STOPPED_ON_ERROR);
}

// After a run's last status text: true when jobs were queued meanwhile and
// the worker must run again (if they were aborted meanwhile, that run
// releases them, as any abort does); false when it has ended. Only the jobs
// kept by a stop on error stay queued.
bool ShouldStartAnotherRun()
{
    QueueLock lock;
    const RunState state = CurrentState();
    if (g_app.queueHead != nullptr && state != RUN_STOPPED_ON_ERROR && state != RUN_QUITTING)
        return true;
    s_workerActive = false;
    return false;
}

// A failure asks whether to go on; false when the run stops here. A failure
// that comes while the pack is being closed is no failure to ask about: the
// run ends as aborted, as for a copy given up.
bool GoOnAfter(int result)
{
    if (result == EXTRACT_DONE || result == EXTRACT_ABANDONED || g_app.abandonEntry.load() != 0)
        return true;
    return MessageBoxA(g_app.mainWindow, CONTINUE_QUESTION, QUESTION_CAPTION, MB_ICONQUESTION | MB_YESNO) != IDNO;
}

enum RunEnd { RUN_ENDED_DRAINED, RUN_ENDED_ABORTED, RUN_ENDED_ON_ERROR, RUN_ENDED_QUITTING };

RunEnd DrainQueue()
{
    for (;;) {
        bool aborted = false;
        ExtractJob* abandoned = nullptr;
        ExtractJob* job = TakeHead(&aborted, &abandoned);
        if (job == nullptr) {
            // Quitting: the entries and the heap are about to go.
            if (Quitting())
                return RUN_ENDED_QUITTING;
            ReleaseJobs(abandoned);
            return aborted ? RUN_ENDED_ABORTED : RUN_ENDED_DRAINED;
        }
        char progress[PROGRESS_TEXT_BYTES];
        wsprintfA(progress, PROGRESS_STATUS_FORMAT, job->entry->name, static_cast<unsigned long>(job->entry->size));
        ShowStatus(progress);
        char outputPath[PACK_PATH_BYTES];
        const int result = ExtractEntry(g_app.mainWindow, job->destination, job->entry, 0, outputPath);
        if (Quitting())
            return RUN_ENDED_QUITTING;
        const bool goOn = GoOnAfter(result);
        if (Quitting())
            return RUN_ENDED_QUITTING;
        if (!goOn) {
            // The failed job and those behind it stay queued for the next
            // run. The state changes first: an Extract command from here on
            // finds it so, and ShouldStartAnotherRun serves it.
            StopOnError();
            return RUN_ENDED_ON_ERROR;
        }
        UnlinkHead(job);
    }
}

// One life of this thread may hold several runs: an Extract command that
// arrives while a run is ending is served by the same thread, so a run's
// last status text can never be shown after the next run's first.
void RunWorker()
{
    do {
        ShowStatus(RUN_STARTED_STATUS);
        const RunEnd end = DrainQueue();
        if (end == RUN_ENDED_QUITTING)
            return;
        ShowStatus(end == RUN_ENDED_ON_ERROR  ? RUN_STOPPED_STATUS
                   : end == RUN_ENDED_ABORTED ? RUN_ABORTED_STATUS
                                              : RUN_COMPLETE_STATUS);
    } while (ShouldStartAnotherRun());
}

// Each worker thread runs the worker and then, as its very last step, says
// that it has gone: a wait that cannot use the thread's handle still knows
// when nothing of the worker runs any more.
DWORD WINAPI WorkerThread(LPVOID)
{
    RunWorker();
    QueueLock lock;
    --s_threadsAlive;
    return 0;
}

// ---- The UI thread's waits ------------------------------------------------------

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

// One slice of the wait: true once the worker thread has ended. The
// entries go once the wait is over, so a wait on the handle that fails
// must not end it while the worker may still read them: the thread's own
// word then tells.
bool WorkerEndedWithin(bool answerWorkerQuestions, bool* handleUsable)
{
    if (!*handleUsable) {
        if (NoWorkerThreadLeft())
            return true;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, WAIT_SLICE_MS, QS_ALLINPUT);
        return false;
    }
    const DWORD woken = MsgWaitForMultipleObjects(1, &s_workerHandle, FALSE,
                                                  answerWorkerQuestions ? WAIT_SLICE_MS : INFINITE, QS_ALLINPUT);
    *handleUsable = woken != WAIT_FAILED;
    return woken == WAIT_OBJECT_0;
}

// Handles what came meanwhile; a WM_QUIT is kept for after the wait.
void HandleMessages(bool* quitSeen, int* quitCode)
{
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) {
            *quitSeen = true;
            *quitCode = static_cast<int>(message.wParam);
            continue;
        }
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
}

// The child to give the keyboard focus back to: the question that led to
// the wait may have left it on the window itself.
HWND FocusToRestore()
{
    HWND focus = GetFocus();
    return focus != nullptr && IsChild(g_app.mainWindow, focus) ? focus : g_app.focusedChild;
}

// Handles window messages until the worker thread has ended: its status
// texts are sends that the UI thread carries out, and its message boxes are
// owned by the main window. The main window takes no input meanwhile.
void WaitForWorkerThread(bool answerWorkerQuestions)
{
    if (s_workerHandle == nullptr)
        return;
    s_waitingForWorker = true;
    HWND focus = FocusToRestore();
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
        if (WorkerEndedWithin(answerWorkerQuestions, &handleUsable))
            break;
        HandleMessages(&quitSeen, &quitCode);
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

// Links the chain behind the tail; the tail it was linked behind, or
// nullptr when the queue was empty. Under the lock.
ExtractJob* LinkBehindTail(ExtractJob* first)
{
    if (first == nullptr)
        return nullptr;
    if (g_app.queueHead == nullptr) {
        g_app.queueHead = first;
        return nullptr;
    }
    ExtractJob* tail = g_app.queueHead;
    while (tail->next != nullptr)
        tail = tail->next;
    tail->next = first;
    return tail;
}

} // namespace

bool Extracting()
{
    return CurrentState() == RUN_RUNNING;
}

bool Quitting()
{
    return CurrentState() == RUN_QUITTING;
}

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
    ExtractJob* previousTail = LinkBehindTail(first);
    const RunState before = CurrentState();
    // Running or Aborting: the worker looks at the state under this lock
    // before each job and before it ends, so this withdraws an abort and
    // the running worker takes the new jobs.
    EnterState(RUN_RUNNING);
    if (s_workerActive)
        return true;
    DWORD threadId = 0;
    ++s_threadsAlive;
    HANDLE thread = CreateThread(nullptr, 0, WorkerThread, nullptr, 0, &threadId);
    if (thread == nullptr) {
        --s_threadsAlive;
        if (previousTail != nullptr)
            previousTail->next = nullptr;
        else if (g_app.queueHead == first)
            g_app.queueHead = nullptr;
        EnterState(before);
        return false;
    }
    s_workerActive = true;
    if (s_workerHandle != nullptr)
        CloseHandle(s_workerHandle);
    s_workerHandle = thread;
    s_workerThreadId = threadId;
    return true;
}

void AbortExtraction()
{
    if (!Extracting())
        return;
    if (MessageBoxA(g_app.mainWindow, ABORT_QUESTION, QUESTION_CAPTION, MB_ICONQUESTION | MB_YESNO) != IDYES)
        return;
    QueueLock lock;
    if (CurrentState() == RUN_RUNNING)
        EnterState(RUN_ABORTING);
}

void StopExtractionAndWait()
{
    {
        QueueLock lock;
        if (CurrentState() == RUN_RUNNING)
            EnterState(RUN_ABORTING);
    }
    if (IsExtractionWorkerActive()) {
        // The entry being copied is given up within one chunk, so the window
        // is disabled for a moment, not for the rest of a large entry; the
        // run ends as aborted.
        g_app.abandonEntry.store(1);
        WaitForWorkerThread(false);
        g_app.abandonEntry.store(0);
    }
    ExtractJob* left;
    {
        QueueLock lock;
        left = g_app.queueHead;
        g_app.queueHead = nullptr;
        EnterState(RUN_IDLE);
    }
    ReleaseJobs(left);
}

void AbandonExtraction()
{
    // In this order: a worker that finds its copy given up also finds that
    // it must touch nothing more.
    {
        QueueLock lock;
        EnterState(RUN_QUITTING);
    }
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
