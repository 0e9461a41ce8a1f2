// The Extract and Abort commands and the worker that drains the queue, in
// the real main window with real dialogs.
#include "extraction_support.h"
#include "harness/import_patch.h"
#include "resources/texts.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <thread>

using namespace extraction_support;

namespace {

class ExtractionTest : public ProgramTest {
protected:
    void OpenEntries(const std::vector<pakwriter::Entry>& list, const std::string& name = "test.pak")
    {
        entries = list;
        packPath = WritePack(temp, name, entries);
        ASSERT_EQ(OpenPack(packPath.c_str()), 0);
        StatusHistory().clear();
    }

    std::string Folder(const std::string& name)
    {
        const std::string folder = temp + "\\" + name;
        CreateDirectoryA(folder.c_str(), nullptr);
        return folder;
    }

    void ExtractTo(const std::string& folder)
    {
        dialogs.Answer({{IDOK, folder}});
        Command(IDM_EXTRACT);
    }

    std::string ProgressOf(int row) const { return Progress(entries[row].name, entries[row].bytes.size()); }

    std::string OutputOf(const std::string& folder, int row) const { return folder + "\\" + entries[row].name; }

    // True when folder holds row's entry with exactly its bytes.
    bool Holds(const std::string& folder, int row) const
    {
        std::vector<uint8_t> bytes;
        return ReadBytes(OutputOf(folder, row), &bytes) && bytes == entries[row].bytes;
    }

    std::vector<std::string> Run(const std::vector<int>& rows, const std::string& end) const
    {
        std::vector<std::string> texts = {START_TEXT};
        for (int row : rows)
            texts.push_back(ProgressOf(row));
        texts.push_back(end);
        return texts;
    }

    std::vector<std::string> Captions()
    {
        std::vector<std::string> captions;
        for (const SeenDialog& seen : dialogs.Seen())
            captions.push_back(seen.caption);
        return captions;
    }

    void ExpectIdleAndEmpty()
    {
        EXPECT_FALSE(IsExtractionWorkerActive());
        EXPECT_FALSE(Extracting());
        EXPECT_EQ(g_app.queueHead, nullptr);
        EXPECT_TRUE(HeapValidate(g_app.heap, 0, nullptr));
    }

    std::vector<pakwriter::Entry> entries;
    std::string packPath;
};

std::vector<pakwriter::Entry> FiveEntries()
{
    return {{"a.txt", {'a', 'b', 'c'}},
            {"空.bin", {}},
            {"表ソ.dat", Pattern(2, 5000)},
            {"four.bin", Pattern(3, 4097)},
            {"tail.bin", Pattern(4, 4096)}};
}

// ---- A run ----------------------------------------------------------------

struct SelectionCase {
    const char* what;
    std::vector<int> selectedInThisOrder;
    std::vector<int> extractedRows;
};

TEST_F(ExtractionTest, RunShowsEachEntryInRowOrderAndWritesItsBytes)
{
    const SelectionCase cases[] = {
        {"every row, selected last to first", {4, 3, 2, 1, 0}, {0, 1, 2, 3, 4}},
        {"two rows, selected out of order", {3, 0}, {0, 3}},
        {"one entry of size 0", {1}, {1}},
    };
    OpenEntries(FiveEntries());
    int n = 0;
    for (const SelectionCase& c : cases) {
        const std::string folder = Folder("out" + std::to_string(++n));
        StatusHistory().clear();
        dialogs.Clear();
        SelectRows(c.selectedInThisOrder);
        ExtractTo(folder);
        ASSERT_TRUE(WorkerGone()) << c.what;

        EXPECT_EQ(StatusHistory(), Run(c.extractedRows, COMPLETE_TEXT)) << c.what;
        for (int row = 0; row < static_cast<int>(entries.size()); ++row) {
            const bool wanted = std::count(c.extractedRows.begin(), c.extractedRows.end(), row) != 0;
            if (wanted)
                EXPECT_TRUE(Holds(folder, row)) << c.what << ": row " << row;
            else
                EXPECT_FALSE(FileExists(OutputOf(folder, row))) << c.what << ": row " << row;
        }
        ASSERT_EQ(dialogs.Count(), 1u) << c.what;
        EXPECT_EQ(dialogs.Seen()[0].caption, CHOOSER_CAPTION) << c.what;
        EXPECT_NE(dialogs.Seen()[0].text.find(DESTINATION_CHOOSER_TITLE), std::string::npos) << c.what;
        ExpectIdleAndEmpty();
    }
}

TEST_F(ExtractionTest, ExtractWithNoRowSelectedStillAsksAndRunsEmpty)
{
    OpenEntries(FiveEntries());
    const std::string folder = Folder("out");
    SelectRows({});
    ExtractTo(folder);
    ASSERT_TRUE(WorkerGone());
    EXPECT_EQ(StatusHistory(), Run({}, COMPLETE_TEXT));
    EXPECT_EQ(Captions(), std::vector<std::string>{CHOOSER_CAPTION});
    for (int row = 0; row < 5; ++row)
        EXPECT_FALSE(FileExists(OutputOf(folder, row)));
    ExpectIdleAndEmpty();
}

TEST_F(ExtractionTest, CancelledChooserQueuesAndShowsNothing)
{
    OpenEntries(FiveEntries());
    const std::string folder = Folder("out");
    SelectRows({0, 2});
    dialogs.Answer({{IDCANCEL, folder}});
    Command(IDM_EXTRACT);
    PumpFor(100);
    EXPECT_TRUE(StatusHistory().empty());
    EXPECT_EQ(Captions(), std::vector<std::string>{CHOOSER_CAPTION});
    EXPECT_FALSE(FileExists(OutputOf(folder, 0)));
    ExpectIdleAndEmpty();
}

TEST_F(ExtractionTest, ProgressTextHoldsNamesOfUpTo255Bytes)
{
    // Longest names a directory record carries, single- and double-byte.
    std::string doubleByte;
    for (int i = 0; i < 127; ++i)
        doubleByte += "表";
    doubleByte += "x";
    const std::vector<std::string> names = {std::string(255, 'n'), doubleByte, std::string(234, 'm')};
    std::vector<pakwriter::Entry> list;
    for (size_t i = 0; i < names.size(); ++i)
        list.push_back({names[i], Pattern(i, 7 + i)});
    OpenEntries(list);
    ASSERT_EQ(names[1].size(), 255u);

    SelectRows({0, 1, 2});
    ExtractTo(Folder("out"));
    ASSERT_TRUE(WorkerGone());
    // The output paths of the two longest names do not fit and are refused
    // with a warning; the run goes on.
    EXPECT_EQ(StatusHistory(), Run({0, 1, 2}, COMPLETE_TEXT));
    ExpectIdleAndEmpty();
}

TEST_F(ExtractionTest, SameEntryQueuedTwiceIsExtractedTwiceAskingTheSecondTime)
{
    OpenEntries(FiveEntries());
    const std::string folder = Folder("out");
    SelectRows({2});
    StatusTrigger again(ProgressOf(2), StatusTrigger::HOLD_WORKER, [&] { ExtractTo(folder); });
    dialogs.Answer({{IDOK, folder}, {IDOK, folder}, {IDYES}});
    Command(IDM_EXTRACT);
    ASSERT_TRUE(WorkerGone());
    EXPECT_TRUE(again.Fired());
    EXPECT_EQ(StatusHistory(), Run({2, 2}, COMPLETE_TEXT));
    ASSERT_EQ(dialogs.Count(), 3u);
    EXPECT_EQ(dialogs.Seen()[2].caption, OutputOf(folder, 2));
    EXPECT_EQ(dialogs.Seen()[2].text, OVERWRITE_QUESTION);
    EXPECT_TRUE(Holds(folder, 2));
    ExpectIdleAndEmpty();
}

// ---- Extract during a run -------------------------------------------------

TEST_F(ExtractionTest, ExtractWhileRunningAppendsWithItsOwnDestination)
{
    OpenEntries(FiveEntries());
    const std::string first = Folder("first");
    const std::string second = Folder("second");
    SelectRows({0, 2});
    StatusTrigger append(ProgressOf(0), StatusTrigger::HOLD_WORKER, [&] {
        SelectRows({1, 4});
        ExtractTo(second);
    });
    ExtractTo(first);
    ASSERT_TRUE(WorkerGone());
    EXPECT_TRUE(append.Fired());
    // One run: the appended jobs follow the queued ones.
    EXPECT_EQ(StatusHistory(), Run({0, 2, 1, 4}, COMPLETE_TEXT));
    EXPECT_TRUE(Holds(first, 0));
    EXPECT_TRUE(Holds(first, 2));
    EXPECT_TRUE(Holds(second, 1));
    EXPECT_TRUE(Holds(second, 4));
    EXPECT_FALSE(FileExists(OutputOf(first, 1)));
    EXPECT_FALSE(FileExists(OutputOf(second, 0)));
    ExpectIdleAndEmpty();
}

TEST_F(ExtractionTest, ExtractWhileAbortingWithdrawsTheAbort)
{
    OpenEntries(FiveEntries());
    const std::string first = Folder("first");
    const std::string second = Folder("second");
    SelectRows({0, 2, 3});
    StatusTrigger abortThenExtract(ProgressOf(0), StatusTrigger::HOLD_WORKER, [&] {
        dialogs.Answer({{IDYES}});
        Command(IDM_ABORT);
        EXPECT_FALSE(Extracting()); // Aborting
        SelectRows({4});
        ExtractTo(second);
    });
    ExtractTo(first);
    ASSERT_TRUE(WorkerGone());
    EXPECT_TRUE(abortThenExtract.Fired());
    // The running worker took everything; no second worker, no second start.
    EXPECT_EQ(StatusHistory(), Run({0, 2, 3, 4}, COMPLETE_TEXT));
    EXPECT_TRUE(Holds(first, 3));
    EXPECT_TRUE(Holds(second, 4));
    ExpectIdleAndEmpty();
}

TEST_F(ExtractionTest, ExtractArrivingAsARunEndsGetsARunOfItsOwn)
{
    OpenEntries(FiveEntries());
    const std::string first = Folder("first");
    const std::string second = Folder("second");
    SelectRows({0});
    // The worker has found the queue drained and waits on its last text.
    StatusTrigger late(COMPLETE_TEXT, StatusTrigger::HOLD_WORKER, [&] {
        SelectRows({3});
        ExtractTo(second);
    });
    ExtractTo(first);
    ASSERT_TRUE(WorkerGone());
    EXPECT_TRUE(late.Fired());
    std::vector<std::string> expected = Run({0}, COMPLETE_TEXT);
    const std::vector<std::string> next = Run({3}, COMPLETE_TEXT);
    expected.insert(expected.end(), next.begin(), next.end());
    EXPECT_EQ(StatusHistory(), expected);
    EXPECT_TRUE(Holds(second, 3));
    ExpectIdleAndEmpty();
}

TEST_F(ExtractionTest, JobsAbortedAsARunEndsAreReleasedNotKept)
{
    OpenEntries(FiveEntries());
    const std::string first = Folder("first");
    const std::string second = Folder("second");
    SelectRows({0});
    StatusTrigger late(COMPLETE_TEXT, StatusTrigger::HOLD_WORKER, [&] {
        SelectRows({3});
        ExtractTo(second);
        dialogs.Answer({{IDYES}});
        Command(IDM_ABORT);
    });
    ExtractTo(first);
    ASSERT_TRUE(WorkerGone());
    EXPECT_TRUE(late.Fired());
    std::vector<std::string> expected = Run({0}, COMPLETE_TEXT);
    expected.push_back(START_TEXT);
    expected.push_back(ABORTED_TEXT);
    EXPECT_EQ(StatusHistory(), expected);
    EXPECT_FALSE(FileExists(OutputOf(second, 3)));
    ExpectIdleAndEmpty();

    // A later Extract runs only its own jobs.
    StatusHistory().clear();
    SelectRows({4});
    ExtractTo(second);
    ASSERT_TRUE(WorkerGone());
    EXPECT_EQ(StatusHistory(), Run({4}, COMPLETE_TEXT));
    EXPECT_FALSE(FileExists(OutputOf(second, 3)));
}

// ---- Abort ------------------------------------------------------------------

struct AbortCase {
    const char* what;
    int atRow;  // the job in progress when Abort is given
    int answer; // to ABORT_QUESTION
    std::vector<int> extracted;
    std::string end;
};

TEST_F(ExtractionTest, AbortStopsBeforeTheNextJobOnlyWhenConfirmed)
{
    const AbortCase cases[] = {
        {"confirmed during the first job", 0, IDYES, {0}, ABORTED_TEXT},
        {"confirmed during the middle job", 2, IDYES, {0, 2}, ABORTED_TEXT},
        {"confirmed during the last job", 4, IDYES, {0, 2, 4}, ABORTED_TEXT},
        {"declined", 2, IDNO, {0, 2, 4}, COMPLETE_TEXT},
    };
    OpenEntries(FiveEntries());
    int n = 0;
    for (const AbortCase& c : cases) {
        const std::string folder = Folder("out" + std::to_string(++n));
        StatusHistory().clear();
        dialogs.Clear();
        SelectRows({0, 2, 4});
        StatusTrigger abort(ProgressOf(c.atRow), StatusTrigger::HOLD_WORKER, [&] {
            dialogs.Answer({{c.answer}});
            Command(IDM_ABORT);
        });
        ExtractTo(folder);
        ASSERT_TRUE(WorkerGone()) << c.what;
        EXPECT_TRUE(abort.Fired()) << c.what;

        EXPECT_EQ(StatusHistory(), Run(c.extracted, c.end)) << c.what;
        for (int row : {0, 2, 4}) {
            if (std::count(c.extracted.begin(), c.extracted.end(), row) != 0)
                EXPECT_TRUE(Holds(folder, row)) << c.what << ": row " << row;
            else
                EXPECT_FALSE(FileExists(OutputOf(folder, row))) << c.what << ": row " << row;
        }
        ASSERT_EQ(dialogs.Count(), 2u) << c.what;
        EXPECT_EQ(dialogs.Seen()[1].caption, QUESTION_CAPTION) << c.what;
        EXPECT_EQ(dialogs.Seen()[1].text, ABORT_QUESTION) << c.what;
        ExpectIdleAndEmpty();
    }
}

TEST_F(ExtractionTest, AbortWhileIdleAsksNothing)
{
    OpenEntries(FiveEntries());
    Command(IDM_ABORT);
    PumpFor(100);
    EXPECT_EQ(dialogs.Count(), 0u);
    EXPECT_TRUE(StatusHistory().empty());
    ExpectIdleAndEmpty();
}

// ---- Failed jobs --------------------------------------------------------------

// Entries a, b, c, d; b fails in one of two ways until repaired.
struct FailureCase {
    const char* what;
    bool movePack; // the pack is moved away while b's progress is shown
    std::string failureText;
    std::string failureCaption;
    bool partialOutputLeft; // b's output file was created before the failure
};

const FailureCase FAILURES[] = {
    {"pack moved away", true, PACK_UNOPENED_TEXT, DOOMED_CAPTION, false},
    {"entry past the end of the pack", false, SHORT_READ_TEXT, COPY_FAILURE_CAPTION, true},
};

class FailedJobTest : public ExtractionTest {
protected:
    // a, b, c, d; b fails until repaired.
    void OpenFailing(const FailureCase& c)
    {
        const pakwriter::Bytes b = {0x61, 0x62, 0x63, 0x64, 0x65};
        layout = pakwriter::Layout();
        layout.records = {{"a.txt", 3, 0}, {"b.bin", 5, c.movePack ? 9u : 1000u}, {"c.bin", 2, 3}, {"d.bin", 4, 5}};
        layout.data = {1, 2, 3, 4, 5, 6, 7, 8, 9};
        if (c.movePack)
            layout.data.insert(layout.data.end(), b.begin(), b.end());
        packPath = temp + "\\failing.pak";
        ASSERT_TRUE(WriteBytes(packPath, pakwriter::Encode(layout)));
        ASSERT_EQ(OpenPack(packPath.c_str()), 0);
        StatusHistory().clear();
        entries = {{"a.txt", {1, 2, 3}}, {"b.bin", b}, {"c.bin", {4, 5}}, {"d.bin", {6, 7, 8, 9}}};
    }

    // Makes b's bytes readable again, without touching the directory.
    void Repair(const FailureCase& c)
    {
        if (c.movePack) {
            ASSERT_TRUE(MoveFileA((packPath + ".away").c_str(), packPath.c_str()));
            return;
        }
        layout.data.resize(1000, 0);
        layout.data.insert(layout.data.end(), entries[1].bytes.begin(), entries[1].bytes.end());
        ASSERT_TRUE(WriteBytes(packPath, pakwriter::Encode(layout)));
    }

    // Moves the pack away while the worker shows row's progress text.
    std::unique_ptr<StatusTrigger> MoveAwayAt(const FailureCase& c, int row)
    {
        if (!c.movePack)
            return nullptr;
        return std::make_unique<StatusTrigger>(ProgressOf(row), StatusTrigger::HOLD_WORKER, [this] {
            ASSERT_TRUE(MoveFileA(packPath.c_str(), (packPath + ".away").c_str()));
        });
    }

    pakwriter::Layout layout;
};

TEST_F(FailedJobTest, AnsweredYesDropsTheJobAndTheNextFollows)
{
    for (const FailureCase& c : FAILURES) {
        OpenFailing(c);
        const std::string folder = Folder("out");
        dialogs.Clear();
        SelectRows({0, 1, 2});
        auto move = MoveAwayAt(c, 1);
        std::unique_ptr<StatusTrigger> back;
        if (c.movePack)
            back = std::make_unique<StatusTrigger>(ProgressOf(2), StatusTrigger::HOLD_WORKER, [&] { Repair(c); });
        dialogs.Answer({{IDOK, folder}, {IDOK}, {IDYES}});
        Command(IDM_EXTRACT);
        ASSERT_TRUE(WorkerGone()) << c.what;

        EXPECT_EQ(StatusHistory(), Run({0, 1, 2}, COMPLETE_TEXT)) << c.what;
        const std::vector<SeenDialog> seen = dialogs.Seen();
        ASSERT_EQ(seen.size(), 3u) << c.what;
        EXPECT_EQ(seen[1].caption, c.failureCaption) << c.what;
        EXPECT_EQ(seen[1].text, c.failureText) << c.what;
        EXPECT_EQ(seen[2].caption, QUESTION_CAPTION) << c.what;
        EXPECT_EQ(seen[2].text, CONTINUE_QUESTION) << c.what;
        EXPECT_TRUE(Holds(folder, 0)) << c.what;
        EXPECT_FALSE(Holds(folder, 1)) << c.what;
        EXPECT_TRUE(Holds(folder, 2)) << c.what;
        ExpectIdleAndEmpty();

        ClosePack();
        RemoveTree(folder);
        StatusHistory().clear();
    }
}

TEST_F(FailedJobTest, AnsweredNoStopsKeepingTheQueueForTheNextRun)
{
    for (const FailureCase& c : FAILURES) {
        OpenFailing(c);
        const std::string first = Folder("first");
        const std::string second = Folder("second");
        dialogs.Clear();
        SelectRows({0, 1, 2});
        {
            auto move = MoveAwayAt(c, 1);
            dialogs.Answer({{IDOK, first}, {IDOK}, {IDNO}});
            Command(IDM_EXTRACT);
            ASSERT_TRUE(WorkerGone()) << c.what;
        }
        EXPECT_EQ(StatusHistory(), Run({0, 1}, STOPPED_TEXT)) << c.what;
        EXPECT_FALSE(Extracting()) << c.what;
        // The failed job heads the kept queue, the one behind it follows.
        ASSERT_EQ(QueueLength(), 2) << c.what;
        EXPECT_EQ(g_app.queueHead->entry, g_app.entryHead->next) << c.what;
        EXPECT_EQ(std::string(g_app.queueHead->destination), first) << c.what;
        EXPECT_EQ(g_app.queueHead->next->entry, g_app.entryHead->next->next) << c.what;
        EXPECT_TRUE(Holds(first, 0)) << c.what;
        EXPECT_FALSE(FileExists(OutputOf(first, 2))) << c.what;

        Repair(c);
        StatusHistory().clear();
        dialogs.Clear();
        SelectRows({3});
        dialogs.Answer({{IDOK, second}});
        if (c.partialOutputLeft)
            dialogs.Answer({{IDYES}});
        Command(IDM_EXTRACT);
        ASSERT_TRUE(WorkerGone()) << c.what;
        EXPECT_EQ(StatusHistory(), Run({1, 2, 3}, COMPLETE_TEXT)) << c.what;
        EXPECT_TRUE(Holds(first, 1)) << c.what;
        EXPECT_TRUE(Holds(first, 2)) << c.what;
        EXPECT_TRUE(Holds(second, 3)) << c.what;
        EXPECT_EQ(dialogs.Count(), c.partialOutputLeft ? 2u : 1u) << c.what;
        ExpectIdleAndEmpty();

        ClosePack();
        RemoveTree(first);
        RemoveTree(second);
    }
}

TEST_F(FailedJobTest, ExtractArrivingAsTheRunStopsIsServedAfterTheKeptJobs)
{
    const FailureCase& c = FAILURES[1];
    OpenFailing(c);
    const std::string first = Folder("first");
    const std::string second = Folder("second");
    SelectRows({0, 1, 2});
    StatusTrigger late(STOPPED_TEXT, StatusTrigger::HOLD_WORKER, [&] {
        Repair(c);
        SelectRows({3});
        dialogs.Answer({{IDOK, second}, {IDYES}});
        Command(IDM_EXTRACT);
    });
    dialogs.Answer({{IDOK, first}, {IDOK}, {IDNO}});
    Command(IDM_EXTRACT);
    ASSERT_TRUE(WorkerGone());
    EXPECT_TRUE(late.Fired());
    std::vector<std::string> expected = Run({0, 1}, STOPPED_TEXT);
    const std::vector<std::string> next = Run({1, 2, 3}, COMPLETE_TEXT);
    expected.insert(expected.end(), next.begin(), next.end());
    EXPECT_EQ(StatusHistory(), expected);
    EXPECT_TRUE(Holds(first, 1));
    EXPECT_TRUE(Holds(second, 3));
    ExpectIdleAndEmpty();
}

TEST_F(FailedJobTest, KeptJobsGoWithTheirPack)
{
    const FailureCase& c = FAILURES[1];
    OpenFailing(c);
    SelectRows({0, 1, 2});
    dialogs.Answer({{IDOK, Folder("first")}, {IDOK}, {IDNO}});
    Command(IDM_EXTRACT);
    ASSERT_TRUE(WorkerGone());
    ASSERT_EQ(QueueLength(), 2);

    // No run is in progress: Close asks nothing and takes the kept jobs along.
    dialogs.Clear();
    Command(IDM_CLOSE);
    EXPECT_EQ(dialogs.Count(), 0u);
    ExpectIdleAndEmpty();

    // The next pack's run holds its own job only, never a released entry.
    OpenEntries(FiveEntries(), "next.pak");
    const std::string second = Folder("second");
    SelectRows({0});
    ExtractTo(second);
    ASSERT_TRUE(WorkerGone());
    EXPECT_EQ(StatusHistory(), Run({0}, COMPLETE_TEXT));
    EXPECT_TRUE(Holds(second, 0));
    ExpectIdleAndEmpty();
}

// The platform refuses the worker thread, as CreateThread does when the
// process runs out of memory or address space for its stack.
HANDLE WINAPI RefusingCreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE, LPVOID, DWORD, LPDWORD)
{
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
}

TEST_F(FailedJobTest, AWorkerThatCannotStartLeavesNothingHalfLinked)
{
    // Jobs kept by a stop on error stand in the queue beforehand.
    const FailureCase& c = FAILURES[1];
    OpenFailing(c);
    SelectRows({0, 1, 2});
    dialogs.Answer({{IDOK, Folder("first")}, {IDOK}, {IDNO}});
    Command(IDM_EXTRACT);
    ASSERT_TRUE(WorkerGone());
    ASSERT_EQ(QueueLength(), 2);
    ExtractJob* const keptHead = g_app.queueHead;
    const size_t blocksBefore = HeapBusyBlocks(g_app.heap);

    dialogs.Clear();
    StatusHistory().clear();
    const std::string second = Folder("second");
    {
        ImportPatch refuse("kernel32.dll", "CreateThread", reinterpret_cast<void*>(RefusingCreateThread));
        ASSERT_TRUE(refuse.Installed());
        SelectRows({2});
        ExtractTo(second);
    }
    ASSERT_EQ(dialogs.Count(), 2u);
    EXPECT_EQ(dialogs.Seen()[1].caption, ERROR_CAPTION);
    EXPECT_EQ(dialogs.Seen()[1].text, NO_WORKER_TEXT);
    EXPECT_TRUE(StatusHistory().empty());
    // The flag is back at 0, no worker counts as running, the new job is
    // gone again and the kept ones stand as they stood.
    EXPECT_FALSE(Extracting());
    EXPECT_FALSE(IsExtractionWorkerActive());
    EXPECT_EQ(g_app.queueHead, keptHead);
    EXPECT_EQ(QueueLength(), 2);
    EXPECT_EQ(HeapBusyBlocks(g_app.heap), blocksBefore);
    EXPECT_TRUE(HeapValidate(g_app.heap, 0, nullptr));

    // With threads to be had again, the next Extract runs the kept jobs.
    Repair(c);
    dialogs.Clear();
    ExtractTo(second);
    ASSERT_TRUE(WorkerGone());
    EXPECT_EQ(QueueLength(), 0);
    EXPECT_FALSE(Extracting());
}

// ---- Closing or replacing the pack during a run -------------------------------

struct PackChange {
    const char* what;
    WORD command;
};

TEST_F(ExtractionTest, ClosingOrReplacingThePackGivesUpTheJobInProgress)
{
    const PackChange changes[] = {{"Close command", IDM_CLOSE}, {"Open command", IDM_OPEN}};
    for (const PackChange& change : changes) {
        std::vector<pakwriter::Entry> list = {{"a.txt", {1, 2, 3}}, {"big.bin", Pattern(1, 3 << 20)}, {"c.bin", {4}}};
        OpenEntries(list);
        const std::string other = WritePack(temp, "other.pak", {{"x", {9}}});
        const std::string folder = Folder("out");
        // An older big.bin makes the worker ask, and wait, inside its job.
        ASSERT_TRUE(WriteBytes(OutputOf(folder, 1), {0x55}));
        dialogs.Clear();
        SelectRows({0, 1, 2});
        dialogs.Answer({{IDOK, folder}, {0}});
        Command(IDM_EXTRACT);
        ASSERT_TRUE(PumpUntil([&] { return dialogs.Count() == 2 && FindDialog(OutputOf(folder, 1)) != nullptr; }))
            << change.what;
        const size_t dialogsBefore = dialogs.Count();

        // While the UI thread waits: the window takes no input, commands are
        // ignored, and only then is the worker let on with its job.
        bool waited = false;
        bool enabledDuringWait = true;
        size_t dialogsDuringWait = 0;
        UiTimer duringWait([&] {
            if (!IsWaitingForWorker())
                return false;
            waited = true;
            enabledDuringWait = IsWindowEnabled(g_app.mainWindow) != FALSE;
            Press(FindDialog(OutputOf(folder, 1)), IDYES);
            // The wait cannot end while this runs inside it.
            for (WORD command : {IDM_EXTRACT, IDM_ABORT, IDM_CLOSE, IDM_OPEN})
                Command(command);
            SendMessageA(g_app.mainWindow, WM_CLOSE, 0, 0);
            dialogsDuringWait = dialogs.Count();
            return true;
        });
        // Shown by the worker once its job is over, while the UI still waits.
        bool enabledAtEnd = true;
        bool waitingAtEnd = false;
        StatusTrigger end(ABORTED_TEXT, StatusTrigger::HOLD_WORKER, [&] {
            enabledAtEnd = IsWindowEnabled(g_app.mainWindow) != FALSE;
            waitingAtEnd = IsWaitingForWorker();
        });
        if (change.command == IDM_OPEN)
            dialogs.Answer({{IDOK, other}, {IDYES}});
        else
            dialogs.Answer({{IDYES}});
        // Whatever a command that should have been ignored shows is cancelled.
        dialogs.Answer({{IDCANCEL}, {IDCANCEL}, {IDCANCEL}});
        Command(change.command);

        EXPECT_TRUE(waited) << change.what;
        EXPECT_FALSE(enabledDuringWait) << change.what;
        EXPECT_EQ(dialogsDuringWait, dialogsBefore + (change.command == IDM_OPEN ? 2u : 1u)) << change.what;
        EXPECT_TRUE(end.Fired()) << change.what;
        EXPECT_FALSE(enabledAtEnd) << change.what;
        EXPECT_TRUE(waitingAtEnd) << change.what;
        EXPECT_TRUE(IsWindowEnabled(g_app.mainWindow)) << change.what;
        EXPECT_FALSE(IsWaitingForWorker()) << change.what;

        const std::vector<SeenDialog> seen = dialogs.Seen();
        ASSERT_FALSE(seen.empty()) << change.what;
        EXPECT_EQ(seen.back().text, CLOSE_QUESTION) << change.what;
        std::vector<std::string> expected = Run({0, 1}, ABORTED_TEXT);
        expected.push_back(CLOSED_TEXT);
        if (change.command == IDM_OPEN)
            expected.push_back(OPENED_TEXT);
        EXPECT_EQ(StatusHistory(), expected) << change.what;
        // The job in progress was given up once its question was answered:
        // the older file is left as it was, not replaced by a copy that would
        // be removed at once; nothing after it.
        std::vector<uint8_t> older;
        EXPECT_TRUE(ReadBytes(OutputOf(folder, 1), &older) && older == std::vector<uint8_t>{0x55}) << change.what;
        EXPECT_FALSE(FileExists(OutputOf(folder, 2))) << change.what;
        EXPECT_EQ(std::string(g_app.packPath), change.command == IDM_OPEN ? other : "") << change.what;
        ExpectIdleAndEmpty();
        // The close request that came during the wait is carried out after it.
        MSG posted = {};
        EXPECT_TRUE(PeekMessageA(&posted, g_app.mainWindow, WM_CLOSE, WM_CLOSE, PM_REMOVE)) << change.what;
        DispatchMessageA(&posted);
        EXPECT_EQ(std::string(g_app.packPath), "") << change.what;
        EXPECT_TRUE(PeekMessageA(&posted, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) << change.what;
        ForgetQuitting();

        if (g_app.packPath[0] != 0)
            ClosePack();
        RemoveTree(folder);
    }
}

TEST_F(ExtractionTest, CloseAnsweredNoLeavesTheRunGoing)
{
    OpenEntries(FiveEntries());
    const std::string folder = Folder("out");
    SelectRows({0, 2, 4});
    StatusTrigger close(ProgressOf(0), StatusTrigger::HOLD_WORKER, [&] {
        dialogs.Answer({{IDNO}});
        Command(IDM_CLOSE);
    });
    ExtractTo(folder);
    ASSERT_TRUE(WorkerGone());
    EXPECT_TRUE(close.Fired());
    EXPECT_EQ(StatusHistory(), Run({0, 2, 4}, COMPLETE_TEXT));
    EXPECT_EQ(std::string(g_app.packPath), packPath);
    EXPECT_TRUE(Holds(folder, 4));
    ASSERT_EQ(dialogs.Count(), 2u);
    EXPECT_EQ(dialogs.Seen()[1].text, CLOSE_QUESTION);
}

// ---- Quitting during a run ----------------------------------------------------

class QuitTest : public ExtractionTest {
protected:
    // Sends WM_CLOSE as the close button does; true when the program asked
    // its loop to end. The quit message is taken away again, so the tests
    // go on.
    bool Quit()
    {
        const LRESULT kept = SendMessageA(g_app.mainWindow, WM_CLOSE, 0, 0);
        MSG message;
        const bool quitPosted = PeekMessageA(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE) != FALSE;
        EXPECT_EQ(Quitting(), kept == 0);
        ForgetQuitting();
        return kept == 0 && quitPosted && message.wParam == 0;
    }
};

struct OpenQuestionCase {
    const char* what;
    bool failure; // the continue question instead of the overwrite question
};

TEST_F(QuitTest, QuitAnswersTheWorkersOpenQuestionNoAndTouchesNothingMore)
{
    const OpenQuestionCase cases[] = {{"overwrite question open", false}, {"continue question open", true}};
    for (const OpenQuestionCase& c : cases) {
        OpenEntries({{"a.txt", {1, 2, 3}}, {"big.bin", Pattern(1, 1 << 20)}, {"c.bin", {4}}});
        const std::string folder = Folder("out");
        if (!c.failure)
            ASSERT_TRUE(WriteBytes(OutputOf(folder, 1), {0x55}));
        std::unique_ptr<StatusTrigger> move;
        if (c.failure)
            move = std::make_unique<StatusTrigger>(ProgressOf(1), StatusTrigger::HOLD_WORKER,
                                                   [&] { MoveFileA(packPath.c_str(), (packPath + ".away").c_str()); });
        dialogs.Clear();
        SelectRows({0, 1, 2});
        if (c.failure)
            dialogs.Answer({{IDOK, folder}, {IDOK}, {0}});
        else
            dialogs.Answer({{IDOK, folder}, {0}});
        Command(IDM_EXTRACT);
        const std::string openCaption = c.failure ? QUESTION_CAPTION : OutputOf(folder, 1);
        ASSERT_TRUE(PumpUntil([&] { return FindDialog(openCaption) != nullptr; })) << c.what;

        // Should quitting leave the question open, the test answers it
        // after a while rather than wait for ever.
        const ULONGLONG deadline = GetTickCount64() + 10000;
        bool answeredByTest = false;
        UiTimer rescue([&] {
            if (GetTickCount64() < deadline)
                return false;
            if (HWND box = FindDialog(openCaption)) {
                answeredByTest = true;
                Press(box, IDNO);
            }
            return true;
        });
        dialogs.Answer({{IDYES}});
        EXPECT_TRUE(Quit()) << c.what;
        EXPECT_FALSE(answeredByTest) << c.what;

        EXPECT_EQ(dialogs.Seen().back().text, QUIT_QUESTION) << c.what;
        EXPECT_EQ(FindDialog(openCaption), nullptr) << c.what;
        EXPECT_FALSE(IsExtractionWorkerActive()) << c.what;
        // No word from the worker after the quit: no end of run.
        std::vector<std::string> expected = Run({0, 1}, CLOSED_TEXT);
        EXPECT_EQ(StatusHistory(), expected) << c.what;
        if (!c.failure) {
            std::vector<uint8_t> bytes;
            ASSERT_TRUE(ReadBytes(OutputOf(folder, 1), &bytes)) << c.what;
            EXPECT_EQ(bytes, std::vector<uint8_t>{0x55}) << c.what;
        }
        EXPECT_FALSE(FileExists(OutputOf(folder, 2))) << c.what;
        EXPECT_EQ(std::string(g_app.packPath), "") << c.what;
        ExpectIdleAndEmpty();

        if (c.failure)
            MoveFileA((packPath + ".away").c_str(), packPath.c_str());
        RemoveTree(folder);
        StatusHistory().clear();
    }
}

TEST_F(QuitTest, QuitDuringALargeEntryStopsItAndRemovesThePartialFile)
{
    const uint64_t size = 96ull << 20;
    const std::string path = temp + "\\large.pak";
    ASSERT_TRUE(pakwriter::WriteGeneratedPack(path, {{"small.bin", 10}, {"large.bin", size}}, pakwriter::FillPattern));
    ASSERT_EQ(OpenPack(path.c_str()), 0);
    StatusHistory().clear();
    const std::string folder = Folder("out");
    const std::string output = folder + "\\large.bin";
    SelectRows({0, 1});
    dialogs.Answer({{IDOK, folder}, {0}});
    Command(IDM_EXTRACT);
    ASSERT_TRUE(PumpUntil([&] { return FileSize(output) > 0; }));

    // The quit question is answered while the copy is known to be halfway.
    uint64_t sizeWhenAnswered = 0;
    UiTimer answer([&] {
        HWND question = FindDialog(QUESTION_CAPTION);
        const uint64_t written = FileSize(output);
        if (question == nullptr || written == 0)
            return false;
        sizeWhenAnswered = written;
        // Too late to tell a stopped copy from a finished one: say No.
        Press(question, written <= size / 2 ? IDYES : IDNO);
        return true;
    });
    EXPECT_TRUE(Quit());
    EXPECT_TRUE(answer.Done());
    EXPECT_GT(sizeWhenAnswered, 0u);
    EXPECT_LE(sizeWhenAnswered, size / 2);
    EXPECT_FALSE(FileExists(output));
    EXPECT_TRUE(FileHoldsPattern(folder + "\\small.bin", 0, 10));
    const std::vector<std::string> expected = {START_TEXT, Progress("small.bin", 10), Progress("large.bin", size),
                                               CLOSED_TEXT};
    EXPECT_EQ(StatusHistory(), expected);
    // The abandoned copy is no failure to ask about: the chooser and the
    // quit question were all (the watcher does not always see the latter,
    // which the timer answers as soon as it shows).
    PumpFor(200);
    EXPECT_GE(dialogs.Count(), 1u);
    EXPECT_LE(dialogs.Count(), 2u);
    for (const SeenDialog& seen : dialogs.Seen())
        EXPECT_NE(seen.text, CONTINUE_QUESTION);
    ExpectIdleAndEmpty();
}

TEST_F(QuitTest, QuitWhileIdleAsksNothing)
{
    OpenEntries(FiveEntries());
    EXPECT_TRUE(Quit());
    EXPECT_EQ(dialogs.Count(), 0u);
    EXPECT_EQ(StatusHistory(), std::vector<std::string>{CLOSED_TEXT});
    ExpectIdleAndEmpty();
}

TEST_F(QuitTest, QuitAnsweredNoKeepsTheRunGoing)
{
    OpenEntries(FiveEntries());
    const std::string folder = Folder("out");
    SelectRows({0, 2, 4});
    bool quit = true;
    StatusTrigger close(ProgressOf(0), StatusTrigger::HOLD_WORKER, [&] {
        dialogs.Answer({{IDNO}});
        quit = Quit();
    });
    ExtractTo(folder);
    ASSERT_TRUE(WorkerGone());
    EXPECT_FALSE(quit);
    EXPECT_EQ(StatusHistory(), Run({0, 2, 4}, COMPLETE_TEXT));
    EXPECT_TRUE(Holds(folder, 4));
    ASSERT_EQ(dialogs.Count(), 2u);
    EXPECT_EQ(dialogs.Seen()[1].text, QUIT_QUESTION);
}

// ---- Running out of memory ------------------------------------------------------

// A real heap with a ceiling, filled so that the next allocations fail
// where each case wants.
class StarvedHeap {
public:
    StarvedHeap(size_t destinationBytes, size_t jobsLeft, size_t destinationsLeft)
    {
        heap = HeapCreate(0, 0, 64 * 1024);
        for (void* block; (block = HeapAlloc(heap, 0, destinationBytes)) != nullptr;)
            destinations_.push_back(block);
        for (void* block; (block = HeapAlloc(heap, 0, sizeof(ExtractJob))) != nullptr;)
            jobs_.push_back(block);
        for (size_t i = 0; i < jobsLeft && !jobs_.empty(); ++i) {
            HeapFree(heap, 0, jobs_.back());
            jobs_.pop_back();
        }
        for (size_t i = 0; i < destinationsLeft && !destinations_.empty(); ++i) {
            HeapFree(heap, 0, destinations_.back());
            destinations_.pop_back();
        }
    }
    ~StarvedHeap() { HeapDestroy(heap); }

    // Busy blocks beyond the fillers.
    size_t Leftovers() { return HeapBusyBlocks(heap) - destinations_.size() - jobs_.size(); }

    HANDLE heap = nullptr;

private:
    std::vector<void*> destinations_;
    std::vector<void*> jobs_;
};

struct StarvedCase {
    const char* what;
    size_t jobsLeft;
    size_t destinationsLeft;
};

const StarvedCase STARVED[] = {
    {"no room for the first job", 0, 0},
    {"room for a job but not its destination", 1, 0},
    {"room for some jobs only", 0, 3},
};

TEST_F(ExtractionTest, NoMemoryForJobsQueuesNothingAndSays)
{
    std::vector<pakwriter::Entry> list;
    for (int i = 0; i < 12; ++i)
        list.push_back({"e" + std::to_string(i), {static_cast<uint8_t>(i)}});
    OpenEntries(list);
    const std::string folder = Folder(std::string(120, 'f'));
    std::vector<int> all;
    for (int i = 0; i < 12; ++i)
        all.push_back(i);
    for (const StarvedCase& c : STARVED) {
        SelectRows(all);
        dialogs.Clear();
        StatusHistory().clear();
        HANDLE roomy = g_app.heap;
        size_t leftovers = 0;
        bool valid = false;
        {
            StarvedHeap starved(folder.size() + 1, c.jobsLeft, c.destinationsLeft);
            g_app.heap = starved.heap;
            ExtractTo(folder);
            g_app.heap = roomy;
            valid = HeapValidate(starved.heap, 0, nullptr) != FALSE;
            leftovers = starved.Leftovers();
        }
        EXPECT_TRUE(valid) << c.what;
        EXPECT_EQ(leftovers, 0u) << c.what;
        ASSERT_EQ(dialogs.Count(), 2u) << c.what;
        EXPECT_EQ(dialogs.Seen()[1].caption, ERROR_CAPTION) << c.what;
        EXPECT_EQ(dialogs.Seen()[1].text, NO_JOBS_MEMORY_TEXT) << c.what;
        EXPECT_TRUE(StatusHistory().empty()) << c.what;
        ExpectIdleAndEmpty();
        EXPECT_FALSE(FileExists(folder + "\\e0")) << c.what;
    }
}

TEST_F(ExtractionTest, NoMemoryForJobsDuringARunLeavesTheRunAlone)
{
    OpenEntries(FiveEntries());
    const std::string first = Folder("first");
    const std::string second = Folder(std::string(120, 's'));
    ASSERT_TRUE(WriteBytes(OutputOf(first, 0), {0x55}));
    SelectRows({0, 2});
    // The worker waits in the overwrite question of its first job.
    dialogs.Answer({{IDOK, first}, {0}});
    Command(IDM_EXTRACT);
    ASSERT_TRUE(PumpUntil([&] { return FindDialog(OutputOf(first, 0)) != nullptr; }));

    SelectRows({1, 3, 4});
    HANDLE roomy = g_app.heap;
    size_t leftovers = 0;
    {
        StarvedHeap starved(second.size() + 1, 1, 0);
        g_app.heap = starved.heap;
        ExtractTo(second);
        g_app.heap = roomy;
        leftovers = starved.Leftovers();
    }
    EXPECT_EQ(leftovers, 0u);
    EXPECT_EQ(dialogs.Seen().back().caption, ERROR_CAPTION);
    EXPECT_EQ(QueueLength(), 2);
    EXPECT_TRUE(Extracting());

    Press(FindDialog(OutputOf(first, 0)), IDYES);
    ASSERT_TRUE(WorkerGone());
    EXPECT_EQ(StatusHistory(), Run({0, 2}, COMPLETE_TEXT));
    EXPECT_TRUE(Holds(first, 0));
    EXPECT_TRUE(Holds(first, 2));
    EXPECT_FALSE(FileExists(OutputOf(second, 3)));
    ExpectIdleAndEmpty();
}

// ---- Closing the pack during a large entry ---------------------------------------

std::atomic<int> s_failedWaits;
void* s_realMsgWait;

// Fails the first wait on one handle, which only the wait for the worker
// makes, and lets every other wait through.
DWORD WINAPI FailFirstWaitOnAHandle(DWORD count, const HANDLE* handles, BOOL all, DWORD milliseconds, DWORD mask)
{
    if (count == 1 && s_failedWaits.fetch_add(1) == 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    return reinterpret_cast<DWORD(WINAPI*)(DWORD, const HANDLE*, BOOL, DWORD, DWORD)>(s_realMsgWait)(
        count, handles, all, milliseconds, mask);
}

HWND s_activateOnWait;

// Makes another window active as the wait on the worker begins, as a user
// switching to another program would.
DWORD WINAPI ActivateAnotherWindowOnWait(DWORD count, const HANDLE* handles, BOOL all, DWORD milliseconds, DWORD mask)
{
    if (count == 1 && s_activateOnWait != nullptr) {
        SetForegroundWindow(s_activateOnWait);
        s_activateOnWait = nullptr;
    }
    return reinterpret_cast<DWORD(WINAPI*)(DWORD, const HANDLE*, BOOL, DWORD, DWORD)>(s_realMsgWait)(
        count, handles, all, milliseconds, mask);
}

TEST_F(ExtractionTest, ClosingDuringALargeEntryEndsWithTheWorkerAndGivesBackTheKeys)
{
    HWND other = CreateWindowExA(0, "STATIC", "other", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 200, 100, nullptr,
                                 nullptr, GetModuleHandleA(nullptr), nullptr);
    ASSERT_NE(other, nullptr);
    const struct {
        const char* what;
        bool waitFails;
        bool elsewhere; // another window is active when the wait ends
    } cases[] = {{"the wait works", false, false},
                 {"the wait on the worker fails", true, false},
                 {"another window is active when the wait ends", false, true}};
    for (const auto& c : cases) {
        const uint64_t size = 64ull << 20;
        const std::string path = temp + "\\large.pak";
        ASSERT_TRUE(pakwriter::WriteGeneratedPack(path, {{"large.bin", size}}, pakwriter::FillPattern));
        ASSERT_EQ(OpenPack(path.c_str()), 0) << c.what;
        const std::string folder = Folder("out");
        const std::string output = folder + "\\large.bin";
        SelectRows({0});
        dialogs.Clear();
        dialogs.Answer({{IDOK, folder}});
        Command(IDM_EXTRACT);
        ASSERT_TRUE(PumpUntil([&] { return FileSize(output) > 0; })) << c.what;
        SetForegroundWindow(g_app.mainWindow);
        SetFocus(g_app.entryListView);
        ASSERT_EQ(GetFocus(), g_app.entryListView) << c.what;

        s_failedWaits = 0;
        std::unique_ptr<ImportPatch> failing;
        if (c.waitFails || c.elsewhere) {
            failing =
                std::make_unique<ImportPatch>("user32.dll", "MsgWaitForMultipleObjects",
                                              c.waitFails ? reinterpret_cast<void*>(&FailFirstWaitOnAHandle)
                                                          : reinterpret_cast<void*>(&ActivateAnotherWindowOnWait));
            ASSERT_TRUE(failing->Installed());
            s_realMsgWait = failing->Original();
            s_activateOnWait = c.elsewhere ? other : nullptr;
        }
        dialogs.Answer({{IDYES}});
        Command(IDM_CLOSE);
        failing.reset();
        if (c.elsewhere) {
            EXPECT_EQ(GetActiveWindow(), other) << c.what;
            SetForegroundWindow(g_app.mainWindow);
            PumpUntil([] { return GetActiveWindow() == g_app.mainWindow; }, 2000);
        }

        if (c.waitFails)
            EXPECT_GE(s_failedWaits.load(), 1) << c.what;
        EXPECT_EQ(std::string(g_app.packPath), "") << c.what;
        EXPECT_FALSE(IsExtractionWorkerActive()) << c.what;
        EXPECT_EQ(g_app.abandonEntry.load(), 0) << c.what;
        // Given up half way, or finished before the close came; never partial.
        EXPECT_TRUE(!FileExists(output) || FileSize(output) == size) << c.what;
        EXPECT_EQ(GetFocus(), g_app.entryListView) << c.what;

        // The next run copies its entry whole.
        OpenEntries({{"after.bin", {7, 8, 9}}});
        SelectRows({0});
        ExtractTo(folder);
        ASSERT_TRUE(WorkerGone()) << c.what;
        EXPECT_TRUE(Holds(folder, 0)) << c.what;
        ResetProgramState();
        RemoveTree(folder);
    }
    DestroyWindow(other);
}

// The worker's failure message is open when the pack is closed: once it is
// answered, the run ends as aborted without asking whether to go on.
TEST_F(ExtractionTest, FailureOpenWhenThePackClosesAsksNothingMore)
{
    OpenEntries({{"a.txt", {1}}, {"b.txt", {2}}, {"c.txt", {3}}});
    const std::string folder = Folder("out");
    const std::string moved = temp + "\\moved.pak";
    SelectRows({0, 1, 2});
    // b's pack goes away just before its copy: the worker says it cannot open it.
    StatusTrigger move(ProgressOf(1), StatusTrigger::HOLD_WORKER,
                       [&] { ASSERT_TRUE(MoveFileA(packPath.c_str(), moved.c_str())); });
    UiTimer closer([&] {
        if (FindDialog(DOOMED_CAPTION) == nullptr)
            return false;
        Command(IDM_CLOSE);
        return true;
    });
    // The failure message is answered once the pack close waits for the worker.
    std::thread answerer([&] {
        const ULONGLONG deadline = GetTickCount64() + 20000;
        while (g_app.abandonEntry.load() == 0 && GetTickCount64() < deadline)
            Sleep(1);
        Sleep(100);
        Press(FindDialog(DOOMED_CAPTION), IDOK);
    });
    dialogs.Answer({{IDOK, folder}, {0}, {IDYES}});
    Command(IDM_EXTRACT);
    EXPECT_TRUE(PumpUntil([&] { return closer.Done() && !IsExtractionWorkerActive(); }));
    answerer.join();

    std::vector<std::string> texts;
    for (const SeenDialog& seen : dialogs.Seen())
        texts.push_back(seen.text);
    EXPECT_EQ(texts, (std::vector<std::string>{DESTINATION_CHOOSER_TITLE, PACK_UNOPENED_TEXT, CLOSE_QUESTION}));
    std::vector<std::string> expected = Run({0, 1}, ABORTED_TEXT);
    expected.push_back(CLOSED_TEXT);
    EXPECT_EQ(StatusHistory(), expected);
    EXPECT_TRUE(Holds(folder, 0));
    EXPECT_FALSE(FileExists(OutputOf(folder, 2)));
}

} // namespace
