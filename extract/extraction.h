// Background extraction: the queue of jobs, the one worker that drains it,
// the run's state, and the ways the UI thread starts, aborts and stops it.
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

// The run's states (g_app.runState). Quitting is final: from it there is no
// way back, and the worker touches nothing once it sees it.
enum RunState : LONG {
    RUN_IDLE = 0,         // no run; nothing queued
    RUN_RUNNING,          // the worker drains the queue
    RUN_ABORTING,         // asked to stop: the worker ends at its next look at the queue
    RUN_STOPPED_ON_ERROR, // the failed job and those behind it stay queued for the next run
    RUN_QUITTING,         // the program ends
};

// The design's extracting flag: a run is in progress and not asked to stop.
bool Extracting();
// Quitting has been confirmed.
bool Quitting();

// Commands (UI thread). ExtractEntries queues one job per entry, in the
// given order, each to be copied into destination, and starts the worker
// when none runs; it reports a failure itself.
void ExtractEntries(PackEntry* const* entries, int count, const char* destination);
void AbortExtraction(); // IDM_ABORT

// Asks the run to stop, has the worker give up the entry it is copying
// within one chunk (its partial file removed; the run ends as aborted),
// waits (handling window messages) until no worker runs, and discards any
// jobs left behind. Called before the open pack's entries or path are
// released or replaced.
void StopExtractionAndWait();

// For quitting: enters RUN_QUITTING; during a run the worker abandons the
// entry it is copying within one chunk (removing the partial file) and
// touches nothing after; returns once it has stopped.
void AbandonExtraction();

// True while the UI thread waits for the worker inside one of the calls
// above; commands that would change the pack or the queue are ignored then.
bool IsWaitingForWorker();

// Called for a close request that arrives during such a wait: the request
// is posted again once the wait is over, so it is carried out after it.
void CloseAfterWait();

// True while a worker thread exists that will still look at the queue.
bool IsExtractionWorkerActive();

// Links the filled chain from first behind the tail and starts a worker
// when none is active. Returns false (and links nothing) when a worker was
// needed but could not be started.
bool EnqueueJobsAndStart(ExtractJob* first);

// Releases a chain of jobs (destination text, then job).
void ReleaseJobs(ExtractJob* first);

#endif
