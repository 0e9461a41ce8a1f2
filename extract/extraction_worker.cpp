#include "extract/extraction.h"

#include "pack/pack.h"
#include "shell/app_state.h"
#include "shell/status.h"

namespace {

// The fixed words, a size of ten digits and a 255-byte name fit with room.
constexpr int PROGRESS_TEXT_BYTES = 320;

bool Quitting()
{
    return g_app.quitRequested.load() != 0;
}

} // namespace

// One life of this thread may hold several runs: an Extract command that
// arrives while a run is ending is served by the same thread, so a run's
// last status text can never be shown after the next run's first.
DWORD WINAPI ExtractionWorker(LPVOID)
{
    do {
        ShowStatus("展開を開始する。");
        bool stoppedOnError = false;
        bool aborted = false;
        for (;;) {
            ExtractJob* abandoned = nullptr;
            ExtractJob* job = WorkerTakeHead(&aborted, &abandoned);
            if (job == nullptr) {
                ReleaseJobs(abandoned);
                break;
            }
            char progress[PROGRESS_TEXT_BYTES];
            wsprintfA(progress, "展開中... %s (%lu Bytes)", job->entry->name,
                      static_cast<unsigned long>(job->entry->size));
            ShowStatus(progress);
            const int result = ExtractEntry(g_app.mainWindow, job->destination, job->entry, 0);
            // Quitting: the entries and the heap are about to go; touch nothing.
            if (Quitting())
                return 0;
            // A copy given up for a pack close is no failure to ask about:
            // the flag is 0 already and the run ends as aborted.
            if (result != EXTRACT_DONE && result != EXTRACT_ABANDONED &&
                MessageBoxA(g_app.mainWindow, "エラーみたいですけど、続行しますか?", "質問",
                            MB_ICONQUESTION | MB_YESNO) == IDNO) {
                if (Quitting())
                    return 0;
                // The failed job and those behind it stay queued for the next
                // run. The flag goes to 0 first: an Extract command from here on
                // finds it so and the re-check below serves it.
                WorkerStopOnError();
                ShowStatus("エラーが発生し、中断した。");
                stoppedOnError = true;
                break;
            }
            if (Quitting())
                return 0;
            // Once unlinked the job is the worker's alone: nothing links behind it.
            WorkerUnlinkHead(job);
            job->next = nullptr;
            ReleaseJobs(job);
        }
        if (!stoppedOnError)
            ShowStatus(aborted ? "展開を中止した。" : "展開が完了した。");
    } while (WorkerShouldStartAnotherRun());
    return 0;
}
