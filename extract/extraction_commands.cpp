#include "extract/extraction.h"

#include "resources/texts.h"
#include "shell/app_state.h"
#include "support/text.h"

namespace {

// Fills one job per entry, in the given order, before anything is linked.
// Returns false (having released its jobs) when memory runs out.
bool BuildJobs(PackEntry* const* entries, int count, const char* destination, ExtractJob** first)
{
    *first = nullptr;
    ExtractJob* last = nullptr;
    const uint32_t destinationBytes = TextLength(destination) + 1;
    for (int i = 0; i < count; ++i) {
        auto* job = static_cast<ExtractJob*>(HeapAlloc(g_app.heap, HEAP_ZERO_MEMORY, sizeof(ExtractJob)));
        char* copy = job != nullptr ? static_cast<char*>(HeapAlloc(g_app.heap, 0, destinationBytes)) : nullptr;
        if (copy == nullptr) {
            if (job != nullptr)
                HeapFree(g_app.heap, 0, job);
            ReleaseJobs(*first);
            *first = nullptr;
            return false;
        }
        TextCopy(copy, destination);
        job->entry = entries[i];
        job->destination = copy;
        if (*first == nullptr)
            *first = job;
        else
            last->next = job;
        last = job;
    }
    return true;
}

} // namespace

void ExtractEntries(PackEntry* const* entries, int count, const char* destination)
{
    ExtractJob* first;
    if (!BuildJobs(entries, count, destination, &first)) {
        MessageBoxA(g_app.mainWindow, NO_JOBS_MEMORY_TEXT, ERROR_CAPTION, MB_ICONERROR);
        return;
    }
    if (!EnqueueJobsAndStart(first)) {
        ReleaseJobs(first);
        MessageBoxA(g_app.mainWindow, NO_WORKER_TEXT, ERROR_CAPTION, MB_ICONERROR);
    }
}
