#include "extract/extraction.h"

#include "pack/pack.h"
#include "shell/app_state.h"
#include "resources/texts.h"
#include "support/status.h"
#include "support/text.h"

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
        ShowStatus(RUN_STARTED_STATUS);
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
            wsprintfA(progress, PROGRESS_STATUS_FORMAT, job->entry->name,
                      static_cast<unsigned long>(job->entry->size));
            ShowStatus(progress);
            char outputPath[PACK_PATH_BYTES];
            int result = ExtractEntry(g_app.mainWindow, job->destination, job->entry, 0, outputPath);
            // Quitting: the entries and the heap are about to go; touch nothing.
            if (Quitting())
                return 0;
            // A failure that comes while the pack is being closed is no
            // failure to ask about: the flag is 0 already and the run ends as
            // aborted, as for a copy given up.
            if (g_app.abandonEntry.load() != 0)
                result = EXTRACT_ABANDONED;
            if (result != EXTRACT_DONE && result != EXTRACT_ABANDONED &&
                MessageBoxA(g_app.mainWindow, CONTINUE_QUESTION, QUESTION_CAPTION, MB_ICONQUESTION | MB_YESNO) ==
                    IDNO) {
                if (Quitting())
                    return 0;
                // The failed job and those behind it stay queued for the next
                // run. The flag goes to 0 first: an Extract command from here on
                // finds it so and the re-check below serves it.
                WorkerStopOnError();
                ShowStatus(RUN_STOPPED_STATUS);
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
            ShowStatus(aborted ? RUN_ABORTED_STATUS : RUN_COMPLETE_STATUS);
    } while (WorkerShouldStartAnotherRun());
    return 0;
}
