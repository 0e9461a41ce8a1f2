// Messages and progress on standard error.
#include "cli/messages.h"
#include "cli/names.h"
#include "cli/platform.h"

#include <chrono>
#include <cstdio>

namespace cli {

namespace {

// Seconds since an arbitrary start, monotonic.
double NowSeconds()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

constexpr double PROGRESS_DELAY_SECONDS = 1.0;
constexpr double PROGRESS_REDRAW_SECONDS = 0.25;

Progress* g_activeProgress = nullptr; // the one progress line being shown (main thread)

std::string Amount(double bytes)
{
    static const char* const units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    int unit = 0;
    while (bytes >= 1024 && unit < 4) {
        bytes /= 1024;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, units[unit]);
    return text;
}

} // namespace

// Every message passes its text through EscapeControls: names arrive
// escaped already, but paths and folder parts from the command line, the
// source folder or the list file may hold any byte.
void Message(const std::string& text)
{
    if (g_activeProgress != nullptr)
        g_activeProgress->Clear();
    WriteStderrText("quorvel-cli: " + EscapeControls(text) + "\n");
}

void Prompt(const std::string& text)
{
    if (g_activeProgress != nullptr)
        g_activeProgress->Clear();
    WriteStderrText("quorvel-cli: " + EscapeControls(text));
}

Progress::Progress(bool quiet, uint64_t totalEntries, uint64_t totalBytes)
    : enabled_(!quiet && StderrIsTerminal()), totalEntries_(totalEntries), totalBytes_(totalBytes), start_(NowSeconds())
{}

Progress::~Progress()
{
    Clear();
}

void Progress::Update(uint64_t entriesDone, uint64_t bytesDone)
{
    if (!enabled_)
        return;
    const double now = NowSeconds();
    const double elapsed = now - start_;
    if (elapsed < PROGRESS_DELAY_SECONDS || now - lastDraw_ < PROGRESS_REDRAW_SECONDS)
        return;
    lastDraw_ = now;
    const double rate = double(bytesDone) / elapsed;
    std::string left = "--";
    if (rate > 0 && totalBytes_ >= bytesDone) {
        const uint64_t seconds = uint64_t(double(totalBytes_ - bytesDone) / rate);
        char text[32];
        std::snprintf(text, sizeof text, "%llu:%02llu", (unsigned long long)(seconds / 60),
                      (unsigned long long)(seconds % 60));
        left = text;
    }
    char line[160];
    std::snprintf(line, sizeof line, "\r%llu/%llu entries, %s of %s, %s/s, %s left\x1b[K",
                  (unsigned long long)entriesDone, (unsigned long long)totalEntries_, Amount(double(bytesDone)).c_str(),
                  Amount(double(totalBytes_)).c_str(), Amount(rate).c_str(), left.c_str());
    WriteStderrText(line);
    shown_ = true;
    g_activeProgress = this;
}

void Progress::Summary(const std::string& where, const char* verb)
{
    if (enabled_)
        Message(where + ": " + std::to_string(totalEntries_) + (totalEntries_ == 1 ? " entry " : " entries ") + verb +
                ", " + Amount(double(totalBytes_)));
}

void Progress::Clear()
{
    if (shown_)
        WriteStderrText("\r\x1b[K");
    shown_ = false;
    if (g_activeProgress == this)
        g_activeProgress = nullptr;
}

} // namespace cli
