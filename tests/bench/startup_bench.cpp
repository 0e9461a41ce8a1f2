// Start-up time of quorvel.exe under Wine: from process creation until
// its main window is painted and its message loop waits for input, against
// a bare Win32 window program started the same way in the same run.
#include "bench_clock.h"

#include <windows.h>

#include "harness/window_search.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace {

std::string Beside(const char* name)
{
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string folder = path;
    return folder.substr(0, folder.find_last_of('\\') + 1) + name;
}

// Milliseconds until the program's window is up and its loop idle.
double StartOnce(const std::string& program)
{
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    std::string line = "\"" + program + "\"";
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    QueryPerformanceCounter(&start);
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return -1;
    WaitForInputIdle(process.hProcess, 30000);
    HWND window = nullptr;
    while ((window = FindProcessWindow(process.dwProcessId, nullptr)) == nullptr)
        Sleep(1);
    QueryPerformanceCounter(&end);
    PostMessageA(window, WM_CLOSE, 0, 0);
    WaitForSingleObject(process.hProcess, 10000);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return 1000.0 * double(end.QuadPart - start.QuadPart) / double(frequency.QuadPart);
}

} // namespace

int main()
{
    const std::string quorvel = Beside("quorvel.exe");
    const std::string bare = Beside("bare_window.exe");
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
