// Background extraction figures, through the real Extract command, the
// folder chooser and the worker, with quorvel's main window on screen and
// the program's own message loop running on the UI thread:
//   (i)   1,000 entries of 64 KiB, in MB/s;
//   (ii)  one entry of 1 GiB, in MB/s;
//   (iii) the UI thread's longest gap in handling messages during (ii):
//         another thread posts a message every millisecond, and the longest
//         any of them waited to be handled is the figure (goal 50 ms or
//         less);
//   (iv)  the longest time the main window stays disabled when the pack is
//         closed (Close, answered Yes) at a sixty-fourth, a quarter and
//         three quarters of the 1 GiB entry: the UI thread waits for the
//         worker to give up the entry and remove its partial file (goal
//         100 ms or less); against the removal of a file of the same size,
//         written the same way, by DeleteFileA on this thread.
// The native copy baseline (dd bs=4k of the same bytes) is measured by
// tests/bench/run_extraction_bench.sh, which reads the lines printed here.
//
// Usage: extraction_bench.exe [FOLDER]. The packs are written into FOLDER
// and left there for the baseline; without FOLDER a temporary folder is used
// and removed.
#include "bench_clock.h"

#include "harness/program_fixture.h"
#include "extraction_support.h"

#include "extract/extraction.h"
#include "pack/pack.h"
#include "resources/resource.h"
#include "shell/app_state.h"
#include "shell/program_entry.h"
#include "resources/texts.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int ROUNDS = 3;
constexpr int SMALL_ENTRY_COUNT = 1000;
constexpr uint64_t SMALL_ENTRY_BYTES = 64 * 1024;
constexpr uint64_t LARGE_ENTRY_BYTES = 1ull << 30;
constexpr UINT PING_MESSAGE = WM_APP + 7;

bool Check(bool condition, const char* what)
{
    if (!condition)
        std::printf("ERROR: %s\n", what);
    return condition;
}

// ---- When the status bar was given each text ----------------------------------

WNDPROC s_statusBarProc;
std::vector<std::pair<double, std::string>> s_statusTimes;

LRESULT CALLBACK TimingStatusBarProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == SB_SETTEXTA && lParam != 0)
        s_statusTimes.push_back({Seconds(), reinterpret_cast<const char*>(lParam)});
    return CallWindowProcA(s_statusBarProc, window, message, wParam, lParam);
}

double StatusTime(const std::string& text)
{
    for (const auto& [time, shown] : s_statusTimes)
        if (shown == text)
            return time;
    return -1;
}

// ---- How long the main window is disabled ----------------------------------------

// The close question (a modal box) disables the window too; only what
// begins while the UI thread waits for the worker counts. The size of the
// partial file is taken as the wait begins. UI thread only.
WNDPROC s_mainWindowProc;
double s_disabledSince = -1;
std::vector<double> s_disabledMs;
std::string s_partialFile;
uint64_t s_partialBytes;

LRESULT CALLBACK TimingMainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_ENABLE && !wParam && IsWaitingForWorker()) {
        s_disabledSince = Seconds();
        s_partialBytes = extraction_support::FileSize(s_partialFile);
    }
    if (message == WM_ENABLE && wParam && s_disabledSince >= 0) {
        s_disabledMs.push_back((Seconds() - s_disabledSince) * 1000.0);
        s_disabledSince = -1;
    }
    return CallWindowProcA(s_mainWindowProc, window, message, wParam, lParam);
}

// ---- The UI thread's handling of messages ---------------------------------------

// When each ping was posted and when the UI thread handled it. UI thread only.
std::vector<std::pair<double, double>> s_pingsHandled;

LRESULT CALLBACK PingWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == PING_MESSAGE) {
        double posted;
        static_assert(sizeof posted == sizeof lParam);
        std::memcpy(&posted, &lParam, sizeof posted);
        s_pingsHandled.push_back({posted, Seconds()});
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

HWND MakePingWindow()
{
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = PingWindowProc;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = "QuorvelBenchPing";
    RegisterClassA(&windowClass);
    return CreateWindowExA(0, "QuorvelBenchPing", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, windowClass.hInstance,
                           nullptr);
}

struct Run {
    double seconds = 0;       // from the start text to the end text
    double longestWaitMs = 0; // of a ping posted during the run, until handled
    double longestGapMs = 0;  // between two handled pings within the run
    size_t pings = 0;
    bool complete = false;
};

// Gives the Extract command for every row into folder, then runs the
// program's own message loop until the worker has ended, while another
// thread posts a message to the UI thread every millisecond.
Run ExtractAll(DialogWatcher* dialogs, const std::string& folder)
{
    SelectRows([] {
        std::vector<int> rows;
        for (int row = 0; row < RowCount(); ++row)
            rows.push_back(row);
        return rows;
    }());
    static HWND pingWindow = MakePingWindow();
    s_statusTimes.clear();
    s_pingsHandled.clear();
    dialogs->Answer({{IDOK, folder}});
    SendMessageA(g_app.mainWindow, WM_COMMAND, MAKEWPARAM(IDM_EXTRACT, 0), 0);

    const DWORD uiThread = GetCurrentThreadId();
    std::atomic<bool> stop{false};
    std::thread pinger([&] {
        while (!stop) {
            const double now = Seconds();
            LPARAM posted;
            std::memcpy(&posted, &now, sizeof posted);
            PostMessageA(pingWindow, PING_MESSAGE, 0, posted);
            Sleep(1);
            if (!IsExtractionWorkerActive()) {
                PostThreadMessageA(uiThread, WM_QUIT, 0, 0);
                break;
            }
        }
    });
    RunMessageLoop();
    stop = true;
    pinger.join();
    PumpFor(20);

    Run run;
    const double start = StatusTime(RUN_STARTED_STATUS);
    const double end = StatusTime(RUN_COMPLETE_STATUS);
    run.complete = start >= 0 && end > start;
    if (!run.complete)
        return run;
    run.seconds = end - start;
    double previous = start;
    for (const auto& [posted, handled] : s_pingsHandled) {
        if (posted < start || handled > end)
            continue;
        run.longestWaitMs = std::max(run.longestWaitMs, (handled - posted) * 1000.0);
        run.longestGapMs = std::max(run.longestGapMs, (handled - previous) * 1000.0);
        previous = handled;
        ++run.pings;
    }
    run.longestGapMs = std::max(run.longestGapMs, (end - previous) * 1000.0);
    return run;
}

// Milliseconds DeleteFileA takes for a file of size bytes written in the
// worker's 4 KiB chunks and closed just before; -1 on failure.
double RemovalMs(const std::string& path, uint64_t size)
{
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return -1;
    std::vector<uint8_t> chunk(4096, 0x5A);
    bool written = true;
    for (uint64_t done = 0; written && done < size; done += chunk.size()) {
        DWORD moved = 0;
        const DWORD bytes = DWORD(std::min<uint64_t>(chunk.size(), size - done));
        written = WriteFile(file, chunk.data(), bytes, &moved, nullptr) && moved == bytes;
    }
    CloseHandle(file);
    const double start = Seconds();
    const bool removed = DeleteFileA(path.c_str()) != FALSE;
    const double ms = (Seconds() - start) * 1000.0;
    return written && removed ? ms : -1;
}

// Spot checks across a file: a copy that is fast but wrong would make the
// figure meaningless.
bool HoldsPattern(const std::string& path, size_t entry, uint64_t size)
{
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    LARGE_INTEGER length = {};
    bool same = GetFileSizeEx(file, &length) && uint64_t(length.QuadPart) == size;
    for (uint64_t at = 0; same && at < size; at += 7777777) {
        LARGE_INTEGER position;
        position.QuadPart = LONGLONG(at);
        uint8_t byte = 0;
        DWORD got = 0;
        SetFilePointerEx(file, position, nullptr, FILE_BEGIN);
        same = ReadFile(file, &byte, 1, &got, nullptr) && got == 1 && byte == pakwriter::PatternByte(entry, at);
    }
    CloseHandle(file);
    return same;
}

// What the parts of the bench share: the dialogs they answer, the folder of
// the packs, and whether every check so far held (a failed check skips the
// rounds that follow it).
struct Bench {
    DialogWatcher dialogs;
    std::string folder;
    bool ok = true;
};

// The packs are closed at these points of the 1 GiB entry, one close a round.
const uint64_t CLOSE_AT[] = {LARGE_ENTRY_BYTES / 64, LARGE_ENTRY_BYTES / 4, LARGE_ENTRY_BYTES / 4 * 3};

// (i) 1,000 entries of 64 KiB by the worker; then the same entries by
// ExtractEntry on this thread, one after the other: what the worker adds
// (status texts, the queue) shows against it.
void MeasureManyEntries(Bench& bench, const std::string& manyPath)
{
    bool& ok = bench.ok;
    std::vector<pakwriter::GeneratedEntry> many;
    for (int i = 0; i < SMALL_ENTRY_COUNT; ++i)
        many.push_back({"entry" + std::to_string(i) + ".bin", SMALL_ENTRY_BYTES});
    ok &= Check(pakwriter::WriteGeneratedPack(manyPath, many, pakwriter::FillPattern), "could not write many.pak");
    ok &= Check(ok && OpenPack(manyPath.c_str()) == 0, "OpenPack of many.pak failed");
    std::vector<double> manySeconds, manyWaits;
    for (int round = 0; ok && round < ROUNDS; ++round) {
        const std::string out = bench.folder + "\\many-out";
        RemoveTree(out);
        CreateDirectoryA(out.c_str(), nullptr);
        const Run run = ExtractAll(&bench.dialogs, out);
        ok &= Check(run.complete, "the run over 1,000 entries did not complete");
        ok &= Check(HoldsPattern(out + "\\entry0.bin", 0, SMALL_ENTRY_BYTES) &&
                        HoldsPattern(out + "\\entry999.bin", 999, SMALL_ENTRY_BYTES),
                    "extracted entries differ from the pack");
        manySeconds.push_back(run.seconds);
        manyWaits.push_back(run.longestWaitMs);
        if (ok)
            std::printf("round %d: 1,000 entries %.3f s, longest wait of a posted message %.1f ms\n", round + 1,
                        run.seconds, run.longestWaitMs);
        RemoveTree(out);
    }
    char outputPath[PACK_PATH_BYTES];
    std::vector<double> directSeconds;
    for (int round = 0; ok && round < ROUNDS; ++round) {
        const std::string out = bench.folder + "\\many-direct";
        RemoveTree(out);
        CreateDirectoryA(out.c_str(), nullptr);
        const double start = Seconds();
        for (const PackEntry* entry = g_app.entryHead; ok && entry != nullptr; entry = entry->next)
            ok &= Check(ExtractEntry(g_app.mainWindow, out.c_str(), entry, 0, outputPath) == EXTRACT_DONE,
                        "ExtractEntry failed");
        directSeconds.push_back(Seconds() - start);
        RemoveTree(out);
    }
    ClosePack();
    const double manyBytes = double(SMALL_ENTRY_COUNT) * double(SMALL_ENTRY_BYTES);
    if (ok) {
        std::printf("many_entries_bytes: %.0f\n", manyBytes);
        std::printf("many_entries_mb_per_s: %.1f (10^6 bytes per second, median)\n",
                    manyBytes / Median(manySeconds) / 1e6);
        std::printf("many_entries_direct_mb_per_s: %.1f (ExtractEntry called in a loop on one thread, median)\n",
                    manyBytes / Median(directSeconds) / 1e6);
        std::printf("many_entries_longest_ui_wait_ms: %.1f (worst round)\n",
                    *std::max_element(manyWaits.begin(), manyWaits.end()));
    }
    std::fflush(stdout);
}

// The rounds of (ii) and (iii), by the worker and by ExtractEntry on this thread.
struct LargeEntryRounds {
    std::vector<double> seconds, waits, gaps, directSeconds;
};

// (ii) and (iii): one entry of 1 GiB, each round by the worker and then by
// ExtractEntry on this thread. large.pak stays open for (iv).
void MeasureLargeEntry(Bench& bench, const std::string& largePath, LargeEntryRounds* rounds)
{
    bool& ok = bench.ok;
    ok &= Check(pakwriter::WriteGeneratedPack(largePath, {{"large.bin", LARGE_ENTRY_BYTES}}, pakwriter::FillPattern),
                "could not write large.pak");
    ok &= Check(ok && OpenPack(largePath.c_str()) == 0, "OpenPack of large.pak failed");
    for (int round = 0; ok && round < ROUNDS; ++round) {
        const std::string out = bench.folder + "\\large-out";
        RemoveTree(out);
        CreateDirectoryA(out.c_str(), nullptr);
        const Run run = ExtractAll(&bench.dialogs, out);
        ok &= Check(run.complete, "the run over the 1 GiB entry did not complete");
        ok &= Check(HoldsPattern(out + "\\large.bin", 0, LARGE_ENTRY_BYTES), "the extracted entry differs");
        rounds->seconds.push_back(run.seconds);
        rounds->waits.push_back(run.longestWaitMs);
        rounds->gaps.push_back(run.longestGapMs);
        if (ok)
            std::printf("round %d: 1 GiB entry %.3f s; of %zu messages posted every millisecond, the longest "
                        "wait %.1f ms, the longest interval between two handled %.1f ms\n",
                        round + 1, run.seconds, run.pings, run.longestWaitMs, run.longestGapMs);
        RemoveTree(out);
        // The same copy by ExtractEntry on this thread, in the same round.
        CreateDirectoryA(out.c_str(), nullptr);
        char outputPath[PACK_PATH_BYTES];
        const double start = Seconds();
        ok &= Check(ExtractEntry(g_app.mainWindow, out.c_str(), g_app.entryHead, 0, outputPath) == EXTRACT_DONE,
                    "ExtractEntry failed");
        rounds->directSeconds.push_back(Seconds() - start);
        RemoveTree(out);
    }
}

// (iv) closing the pack during the 1 GiB entry, at each of CLOSE_AT; the
// pack is opened again after each close and closed at the end.
void MeasureCloseDuringLargeEntry(Bench& bench, const std::string& largePath)
{
    bool& ok = bench.ok;
    s_mainWindowProc = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrA(g_app.mainWindow, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(TimingMainWindowProc)));
    double worstDisabledMs = 0;
    double worstRemovalMs = 0;
    for (uint64_t at : CLOSE_AT) {
        if (!ok)
            break;
        const std::string out = bench.folder + "\\close-out";
        RemoveTree(out);
        CreateDirectoryA(out.c_str(), nullptr);
        s_partialFile = out + "\\large.bin";
        SelectRows({0});
        bench.dialogs.Answer({{IDOK, out}});
        SendMessageA(g_app.mainWindow, WM_COMMAND, MAKEWPARAM(IDM_EXTRACT, 0), 0);
        ok &= Check(PumpUntil([&] { return extraction_support::FileSize(s_partialFile) >= at; }, 60000),
                    "the 1 GiB entry did not get under way");
        s_statusTimes.clear();
        s_disabledMs.clear();
        bench.dialogs.Answer({{IDYES}});
        SendMessageA(g_app.mainWindow, WM_COMMAND, MAKEWPARAM(IDM_CLOSE, 0), 0);
        ok &= Check(g_app.packPath[0] == 0 && !IsExtractionWorkerActive(), "the pack was not closed");
        ok &= Check(!FileExists(s_partialFile), "the given-up entry was left on disk");
        const double aborted = StatusTime(RUN_ABORTED_STATUS);
        const double closed = StatusTime(PACK_CLOSED_STATUS);
        ok &= Check(aborted >= 0 && closed > aborted, "the run did not end before the pack was closed");
        ok &= Check(!s_disabledMs.empty(), "the window was never disabled for the wait");
        const double removalMs = ok ? RemovalMs(out + "\\same-size.bin", s_partialBytes) : -1;
        ok &= Check(removalMs >= 0, "the file of the same size could not be written and removed");
        if (ok) {
            const double disabledMs = *std::max_element(s_disabledMs.begin(), s_disabledMs.end());
            std::printf("closed with %llu bytes copied: window disabled %.1f ms; DeleteFileA of a file that size "
                        "%.1f ms\n",
                        static_cast<unsigned long long>(s_partialBytes), disabledMs, removalMs);
            if (disabledMs > worstDisabledMs) {
                worstDisabledMs = disabledMs;
                worstRemovalMs = removalMs;
            }
        }
        RemoveTree(out);
        ok &= Check(OpenPack(largePath.c_str()) == 0, "OpenPack of large.pak failed");
    }
    SetWindowLongPtrA(g_app.mainWindow, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(s_mainWindowProc));
    ClosePack();
    if (ok) {
        std::printf("close_during_large_entry_longest_disabled_ms: %.1f (the main window disabled while the worker "
                    "gives up the entry and removes its partial file; goal 100 ms or less)\n",
                    worstDisabledMs);
        std::printf("removal_of_same_size_file_ms: %.1f (DeleteFileA of a file as large as that partial one)\n",
                    worstRemovalMs);
        std::printf("close_disabled_to_removal_ratio: %.2f\n", worstDisabledMs / std::max(worstRemovalMs, 0.001));
    }
}

void PrintLargeEntryFigures(const LargeEntryRounds& rounds)
{
    std::printf("large_entry_bytes: %llu\n", static_cast<unsigned long long>(LARGE_ENTRY_BYTES));
    std::printf("large_entry_mb_per_s: %.1f (10^6 bytes per second, median)\n",
                double(LARGE_ENTRY_BYTES) / Median(rounds.seconds) / 1e6);
    std::printf("large_entry_direct_mb_per_s: %.1f (ExtractEntry called on one thread, median)\n",
                double(LARGE_ENTRY_BYTES) / Median(rounds.directSeconds) / 1e6);
    std::printf("large_entry_longest_ui_wait_ms: %.1f (worst round: the longest a posted message waited for "
                "the UI thread; goal 50 ms or less)\n",
                *std::max_element(rounds.waits.begin(), rounds.waits.end()));
    std::printf("large_entry_longest_ping_interval_ms: %.1f (worst round; includes the posting thread's own "
                "delays)\n",
                *std::max_element(rounds.gaps.begin(), rounds.gaps.end()));
}

} // namespace

int main(int argc, char** argv)
{
    if (StartProgram() != 0) {
        std::printf("ERROR: quorvel's main window could not be created\n");
        return 1;
    }
    s_statusBarProc = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrA(g_app.statusBar, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(TimingStatusBarProc)));
    Bench bench;
    PumpFor(50);

    const bool ownFolder = argc > 1;
    bench.folder = ownFolder ? std::string(argv[1]) : NewTempFolder();
    if (ownFolder)
        CreateDirectoryA(bench.folder.c_str(), nullptr);
    std::printf("extraction bench: %d entries of %llu bytes, one of %llu bytes, %d rounds, folder %s\n",
                SMALL_ENTRY_COUNT, static_cast<unsigned long long>(SMALL_ENTRY_BYTES),
                static_cast<unsigned long long>(LARGE_ENTRY_BYTES), ROUNDS, bench.folder.c_str());

    const std::string manyPath = bench.folder + "\\many.pak";
    MeasureManyEntries(bench, manyPath);
    const std::string largePath = bench.folder + "\\large.pak";
    LargeEntryRounds large;
    MeasureLargeEntry(bench, largePath, &large);
    MeasureCloseDuringLargeEntry(bench, largePath);
    if (bench.ok)
        PrintLargeEntryFigures(large);

    if (ownFolder) {
        std::printf("many_pack: %s\n", manyPath.c_str());
        std::printf("large_pack: %s\n", largePath.c_str());
    } else {
        RemoveTree(bench.folder);
    }
    // A folder chooser per extraction, and a close question per close of (iv).
    const size_t expectedDialogs = ROUNDS * 2 + std::size(CLOSE_AT) * 2;
    if (bench.dialogs.Count() != expectedDialogs) {
        std::printf("ERROR: %zu dialogs instead of the %zu folder choosers and close questions\n",
                    bench.dialogs.Count(), expectedDialogs);
        bench.ok = false;
    }
    std::fflush(stdout);
    return bench.ok ? 0 : 1;
}
