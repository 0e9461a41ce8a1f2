#include "harness/started_quorvel.h"

#include "harness/program_fixture.h"

namespace {

constexpr DWORD START_MS = 20000;
constexpr DWORD END_MS = 20000;

} // namespace

StartedQuorvel StartQuorvel(const std::string& arguments)
{
    StartedQuorvel quorvel;
    const bool started = StartProcess(BesideThisProgram("quorvel.exe"), arguments, nullptr, START_MS, &quorvel.process);
    const DWORD error = GetLastError();
    EXPECT_TRUE(started) << "quorvel.exe" << arguments << ": error " << error;
    if (started)
        quorvel.window = WaitForProcessWindow(quorvel.process.dwProcessId, QUORVEL_WINDOW_CLASS, START_MS);
    return quorvel;
}

DWORD CloseQuorvel(StartedQuorvel* quorvel)
{
    return CloseProcessWindow(&quorvel->process, quorvel->window, END_MS);
}
