// Background extraction: the queue of jobs, the one worker that drains it,
// and the ways the UI thread starts, aborts and stops it.
#ifndef QUORVEL_EXTRACT_EXTRACTION_H
#define QUORVEL_EXTRACT_EXTRACTION_H

#include <windows.h>

struct PackEntry;

// One queued request. The entry belongs to the open pack's entry list; the
// destination text and the job belong to the queue until the worker (or a
// discard) releases them, destination first.
struct ExtractJob {
    PackEntry* entry;
    char* destination;
    ExtractJob* next;
};

// Commands (UI thread). ExtractEntries queues one job per entry, in the
// given order, each to be copied into destination, and starts the worker
// when none runs; it reports a failure itself.
void ExtractEntries(PackEntry* const* entries, int count, const char* destination);
void AbortExtraction(); // IDM_ABORT

// Clears the extracting flag, has the worker give up the entry it is
// copying within one chunk (its partial file removed; the run ends as
// aborted), waits (handling window messages) until no worker runs, and
// discards any jobs left behind. Called before the open pack's entries or
// path are released or replaced.
void StopExtractionAndWait();

// For quitting: marks quitting as confirmed; during a run the worker
// abandons the entry it is copying within one chunk (removing the partial
// file) and touches nothing after; returns once it has stopped.
void AbandonExtraction();

// True while the UI thread waits for the worker inside one of the calls
// above; commands that would change the pack or the queue are ignored then.
bool IsWaitingForWorker();

// Called for a close request that arrives during such a wait: the request
// is posted again once the wait is over, so it is carried out after it.
void CloseAfterWait();

// True while a worker thread exists that will still look at the queue.
bool IsExtractionWorkerActive();

// The queue's link step and the worker's start decision, shared by the
// Extract command: links the filled chain from first behind the tail and
// starts a worker when none is active. Returns false (and links nothing)
// when a worker was needed but could not be started.
bool EnqueueJobsAndStart(ExtractJob* first);

// Releases a chain of jobs (destination text, then job).
void ReleaseJobs(ExtractJob* first);

DWORD WINAPI ExtractionWorker(LPVOID unused);

// The worker's side of the queue, each step under the queue lock.
// WorkerTakeHead: the head job to work on (it stays linked), or nullptr
// when the run ends: then *aborted says whether the flag was 0 (and
// *abandoned holds the unlinked rest of the queue) or the queue was drained
// (and the flag has been cleared).
ExtractJob* WorkerTakeHead(bool* aborted, ExtractJob** abandoned);
void WorkerUnlinkHead(ExtractJob* job);
void WorkerStopOnError();
// After a run's last status text: true when an Extract command queued jobs
// meanwhile and the worker must run again; false when it has ended.
bool WorkerShouldStartAnotherRun();

#endif
