#include "extract/extraction.h"

#include "pack/pack.h"
#include "shell/app_state.h"
#include "shell/main_window.h"
#include "support/on_demand_dlls.h"
#include "support/text.h"

namespace {

// Reads the selected rows' entries into filled jobs, in row order, before
// anything is linked. Returns false (having released its jobs) when memory
// runs out.
bool BuildJobs(const char* destination, ExtractJob** first)
{
    *first = nullptr;
    ExtractJob* last = nullptr;
    const uint32_t destinationBytes = TextLength(destination) + 1;
    for (int row = NextSelectedRow(-1); row != -1; row = NextSelectedRow(row)) {
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
        job->entry = EntryOfRow(row);
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

void ExtractSelection()
{
    if (IsWaitingForWorker())
        return;
    BROWSEINFOA browse;
    ZeroBlock(&browse, sizeof browse);
    browse.hwndOwner = g_app.mainWindow;
    browse.lpszTitle = "展開先を指定してね";
    browse.ulFlags = BIF_RETURNONLYFSDIRS;
    PIDLIST_ABSOLUTE item = OnDemandSHBrowseForFolderA(&browse);
    if (item == nullptr)
        return;
    char destination[PATH_BUFFER_BYTES];
    destination[0] = 0;
    const BOOL converted = OnDemandSHGetPathFromIDListA(item, destination);
    OnDemandCoTaskMemFree(item);
    if (!converted || destination[0] == 0)
        return;
    // Quitting may have been confirmed while the chooser was open: no worker
    // may start beside the release of the heap.
    if (g_app.quitRequested.load() != 0)
        return;

    ExtractJob* first;
    if (!BuildJobs(destination, &first)) {
        MessageBoxA(g_app.mainWindow, "展開の準備に失敗した。何も展開していない。\n原因: メモリ不足", "エラー",
                    MB_ICONERROR);
        return;
    }
    if (!EnqueueJobsAndStart(first)) {
        ReleaseJobs(first);
        MessageBoxA(g_app.mainWindow, "展開スレッドが開始できない。何も展開していない。\n原因: メモリ/リソース不足",
                    "エラー", MB_ICONERROR);
    }
}

void AbortExtraction()
{
    if (g_app.extracting.load() == 0)
        return;
    if (MessageBoxA(g_app.mainWindow, "本当に展開を中止しますか?", "質問", MB_ICONQUESTION | MB_YESNO) == IDYES)
        g_app.extracting.store(0);
}
