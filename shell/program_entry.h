#ifndef QUORVEL_SHELL_PROGRAM_ENTRY_H
#define QUORVEL_SHELL_PROGRAM_ENTRY_H

#include <windows.h>

// Start-up up to the message loop: common controls, the private heap and
// the main window. 0 on success; otherwise the failure was reported.
int StartProgram();

// Hands the pack path on the process's command line, if any, to OpenPack.
void OpenFromCommandLine();

// Runs the message loop until WM_QUIT; returns its exit code.
int RunMessageLoop();

extern "C" void ProgramEntry();

#endif
