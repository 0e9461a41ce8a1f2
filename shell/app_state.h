// AppState: the one global record of quorvel. Each field says what it is,
// who writes it and which thread may touch it.
#ifndef QUORVEL_SHELL_APP_STATE_H
#define QUORVEL_SHELL_APP_STATE_H

#include <windows.h>
#include <commctrl.h>

#include <atomic>

#include "support/text.h"

struct PackEntry;
struct ExtractJob;

struct AppState {
    // Written once by start-up, then only read (UI thread and worker).
    HWND mainWindow;
    HACCEL accelerators;
    HMENU mainMenu;
    HANDLE heap; // serialized: both threads may allocate and release

    // Children and image lists, made by the main window's creation step.
    // The worker reaches the status bar only through ShowStatus, which the
    // UI thread carries out.
    HWND treeView;
    HWND entryListView;
    HWND statusBar;
    HIMAGELIST smallImages;
    HIMAGELIST largeImages;

    // The child that had the keyboard focus when the main window last lost
    // its activation (to a message box, for instance) or was minimized; the
    // window passes the focus on to it. UI thread only.
    HWND focusedChild;

    // Splitter, UI thread only.
    LONG splitPosition;
    LONG splitAtDragStart;
    LONG dragging;

    // The open pack. Written by OpenPack/ClosePack on the UI thread. The
    // worker reads the entries of its jobs, the pack path and the data area
    // start while it runs a job; the UI thread never releases or rewrites
    // them before the worker has stopped (StopExtractionAndWait).
    PackEntry* entryHead;
    char packPath[PACK_PATH_BYTES]; // "" when no pack is open
    ULONGLONG dataAreaStart;

    // Extraction: the run's one state (a RunState of extract/extraction.h),
    // written only while queueLock is held and read anywhere; the design's
    // extracting flag is derived from it (Extracting()), and so is quitting
    // (Quitting()). The queue head and the jobs' links are guarded by
    // queueLock too (see extract/extraction_queue.cpp).
    std::atomic<LONG> runState;
    ExtractJob* queueHead;
    SRWLOCK queueLock;
    // One atomic word, read by ExtractEntry before each chunk: when set, the
    // entry being copied is given up and its partial file removed. Stored
    // by the UI thread alone: set just before it waits for the worker to end
    // (a pack closed during a run, or quitting, after the run state says
    // so), cleared only once the worker thread
    // has ended, so it never reaches a later run or a preview.
    std::atomic<LONG> abandonEntry;

    // HTML Help loader, UI thread only.
    HMODULE helpModule;
    FARPROC helpEntry;
    BOOL helpLoadFailed;
};

extern AppState g_app;

#endif
