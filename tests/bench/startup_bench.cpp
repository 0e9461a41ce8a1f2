// Start-up time of quorvel.exe under Wine: from process creation until
// its main window is painted and its message loop waits for input, against
// a bare Win32 window program started the same way in the same run.
#include "bench_clock.h"

#include <windows.h>

#include "tools/outside/started_process.h"
#include "tools/outside/window_search.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace {

// Milliseconds until the program's window is up and its loop idle.
double StartOnce(const std::string& program)
{
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    PROCESS_INFORMATION process;
    QueryPerformanceCounter(&start);
    if (!StartProcess(program, "", nullptr, 30000, &process))
        return -1;
    HWND window = nullptr;
    while ((window = FindProcessWindow(process.dwProcessId, nullptr)) == nullptr)
        Sleep(1);
    QueryPerformanceCounter(&end);
    CloseProcessWindow(&process, window, 10000);
    return 1000.0 * double(end.QuadPart - start.QuadPart) / double(frequency.QuadPart);
}

} // namespace

int main()
{
    const std::string quorvel = BesideThisProgram("quorvel.exe");
    const std::string bare = BesideThisProgram("bare_window.exe");
    constexpr int ROUNDS = 25;
    std::vector<double> quorvelMs, bareMs;
    StartOnce(bare); // warm the server and the file cache for both
    StartOnce(quorvel);
    for (int round = 0; round < ROUNDS; ++round) {
        quorvelMs.push_back(StartOnce(quorvel));
        bareMs.push_back(StartOnce(bare));
    }
    const double q = Median(quorvelMs);
    const double b = Median(bareMs);
    std::printf("start-up to painted window, median of %d runs under Wine:\n", ROUNDS);
    std::printf("  quorvel.exe      %8.1f ms\n", q);
    std::printf("  bare window      %8.1f ms\n", b);
    std::printf("  ratio            %8.2f   (goal 1.2 or less)\n", q / b);
    return 0;
}
