// The real quorvel.exe, started beside the test program that drives it from
// outside, as a person would use it.
#ifndef QUORVEL_TESTS_STARTED_QUORVEL_H
#define QUORVEL_TESTS_STARTED_QUORVEL_H

#include <windows.h>

#include <string>

#include "tools/outside/started_process.h"

struct StartedQuorvel {
    PROCESS_INFORMATION process = {};
    HWND window = nullptr; // its main window; nullptr when it never showed
};

// Starts quorvel.exe with arguments written after its quoted path, exactly as
// given, and waits for its main window, handling this thread's messages
// meanwhile. A failed start is a test failure.
StartedQuorvel StartQuorvel(const std::string& arguments);

// Asks the main window to close as its close box would; quorvel's exit code,
// or NO_EXIT_CODE when it had not ended within 20 seconds.
DWORD CloseQuorvel(StartedQuorvel* quorvel);

#endif
