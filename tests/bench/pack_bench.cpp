// Pack access figures, measured in one run with quorvel's real main window
// on screen:
//   (i)   opening a pack of 100,000 entries, against the same rows put into
//         a bare list view the plain way (the floor any opening has to pay);
//   (ii)  copying one 256 MiB entry out with ExtractEntry, in MB/s (the
//         native copy baseline is measured by tests/bench/run_pack_bench.sh,
//         which reads the lines printed here);
//   (iii) private-heap bytes per entry of the entry list.
//
// Usage: pack_bench.exe [FOLDER]. The packs are written into FOLDER and the
// 256 MiB pack is left there for the native baseline; without FOLDER a
// temporary folder is used and removed.
#include "bench_clock.h"

#include "harness/program_fixture.h"

#include "pack/directory.h"
#include "pack/pack.h"
#include "shell/app_state.h"
#include "shell/program_entry.h"
#include "resources/texts.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr int ENTRY_COUNT = 100000;
constexpr int ROUNDS = 5;
constexpr uint64_t BIG_ENTRY_BYTES = 256ull << 20;

// Lets every pending paint and notification run, as the message loop would
// right after the command that opened the pack.
void Settle()
{
    PumpFor(50);
}

std::string EntryName(int index)
{
    char name[64];
    wsprintfA(name, "data\\stage%02d\\object_%06d.bin", index % 40, index);
    return name;
}

pakwriter::Layout ManyEntries()
{
    pakwriter::Layout layout;
    layout.records.reserve(ENTRY_COUNT);
    uint32_t offset = 0;
    for (int i = 0; i < ENTRY_COUNT; ++i) {
        const uint32_t size = 1000u + uint32_t(i % 9000);
        layout.records.push_back({EntryName(i), size, offset});
        offset += size;
    }
    return layout;
}

// A top-level window of the main window's size holding a list view made
// like quorvel's: report view, three columns, the same small images.
HWND MakeBareListView()
{
    RECT frame = {};
    GetWindowRect(g_app.mainWindow, &frame);
    RECT view = {};
    GetClientRect(g_app.entryListView, &view);
    WNDCLASSA hostClass = {};
    hostClass.lpfnWndProc = DefWindowProcA;
    hostClass.hInstance = GetModuleHandleA(nullptr);
    hostClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    hostClass.lpszClassName = "BareListViewHost";
    RegisterClassA(&hostClass);
    HWND host = CreateWindowExA(0, hostClass.lpszClassName, "bare list view", WS_OVERLAPPEDWINDOW | WS_VISIBLE,
                                frame.left, frame.top, frame.right - frame.left, frame.bottom - frame.top, nullptr,
                                nullptr, GetModuleHandleA(nullptr), nullptr);
    HWND list =
        CreateWindowExA(WS_EX_CLIENTEDGE, "SysListView32", "", WS_CHILD | WS_VISIBLE | LVS_REPORT | LVS_SHOWSELALWAYS,
                        0, 0, view.right, view.bottom, host, nullptr, GetModuleHandleA(nullptr), nullptr);
    SendMessageA(list, LVM_SETIMAGELIST, LVSIL_SMALL, reinterpret_cast<LPARAM>(g_app.smallImages));
    const char* headings[] = {NAME_COLUMN, SIZE_COLUMN, OFFSET_COLUMN};
    for (int i = 0; i < 3; ++i) {
        LVCOLUMNA column = {};
        column.mask = LVCF_WIDTH | LVCF_TEXT | LVCF_SUBITEM;
        column.cx = i == 0 ? 200 : 100;
        column.pszText = const_cast<char*>(headings[i]);
        column.iSubItem = i;
        SendMessageA(list, LVM_INSERTCOLUMNA, i, reinterpret_cast<LPARAM>(&column));
    }
    Settle();
    return list;
}

// The plain way of filling the list: one insert and two sub-item texts per
// row, redraw off around the whole of it.
double FillBareListView(HWND list, const pakwriter::Layout& layout, std::vector<std::string>* names)
{
    const double start = Seconds();
    SendMessageA(list, WM_SETREDRAW, FALSE, 0);
    char number[16];
    for (int row = 0; row < ENTRY_COUNT; ++row) {
        const pakwriter::Record& record = layout.records[row];
        LVITEMA item = {};
        item.mask = LVIF_TEXT | LVIF_IMAGE | LVIF_PARAM;
        item.iItem = row;
        item.pszText = const_cast<char*>((*names)[row].c_str());
        item.iImage = 1;
        item.lParam = row;
        SendMessageA(list, LVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&item));
        item.mask = LVIF_TEXT;
        item.pszText = number;
        item.iSubItem = 1;
        wsprintfA(number, "%lu", static_cast<unsigned long>(record.size));
        SendMessageA(list, LVM_SETITEMA, 0, reinterpret_cast<LPARAM>(&item));
        item.iSubItem = 2;
        wsprintfA(number, "0x%08X", static_cast<unsigned int>(record.offset));
        SendMessageA(list, LVM_SETITEMA, 0, reinterpret_cast<LPARAM>(&item));
    }
    SendMessageA(list, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(list, nullptr, TRUE);
    UpdateWindow(list);
    return Seconds() - start;
}

void BringToTop(HWND window)
{
    SetWindowPos(window, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    SetForegroundWindow(window);
    Settle();
}

// The part of opening that has nothing to do with the list view: the
// directory read into an entry list on the private heap by the reader
// OpenPack uses, then released again. -1 when it refused the pack.
double ReadDirectoryOnly(const std::string& path)
{
    const double start = Seconds();
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    PackEntry* head = nullptr;
    DWORD count = 0;
    ULONGLONG dataAreaStart = 0;
    const DirectoryResult result = ReadEntryList(file, &head, &count, &dataAreaStart);
    CloseHandle(file);
    const double elapsed = Seconds() - start;
    FreeEntryList(head);
    HeapCompact(g_app.heap, 0);
    return result == DIRECTORY_OK && count == ENTRY_COUNT ? elapsed : -1;
}

// The same 4 KiB chunks read and written by plain platform calls, without
// decoding: what Wine's file calls alone cost for this copy.
double PlainCopy(const std::string& from, uint64_t skip, const std::string& to)
{
    const double start = Seconds();
    HANDLE in = CreateFileA(from.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    HANDLE out = CreateFileA(to.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    LARGE_INTEGER position;
    position.QuadPart = LONGLONG(skip);
    SetFilePointerEx(in, position, nullptr, FILE_BEGIN);
    static unsigned char block[4096];
    DWORD got = 0, put = 0;
    while (ReadFile(in, block, sizeof block, &got, nullptr) && got > 0)
        WriteFile(out, block, got, &put, nullptr);
    CloseHandle(out);
    CloseHandle(in);
    return Seconds() - start;
}

bool Check(bool condition, const char* what)
{
    if (!condition)
        std::printf("ERROR: %s\n", what);
    return condition;
}

// The rounds of (i) and (iii), each figure a round.
struct OpenRounds {
    std::vector<double> openTimes, bareTimes, closeTimes, ratios, directoryTimes, bareDeleteTimes;
    HeapUse before, after; // the private heap around the first OpenPack
};

// (i) and (iii): opening and closing 100,000 entries, alternating with the
// same rows put into a bare list view.
void MeasureOpening(const pakwriter::Layout& layout, const std::string& manyPath, std::vector<std::string>* names,
                    OpenRounds* rounds, bool& ok)
{
    HWND bare = MakeBareListView();
    for (int round = 0; ok && round < ROUNDS; ++round) {
        // Alternating the two keeps any drift of the machine out of the ratio.
        // Each view is measured with its window on top, fully visible.
        if (round > 0) {
            const double deleteStart = Seconds();
            SendMessageA(bare, LVM_DELETEALLITEMS, 0, 0);
            UpdateWindow(bare);
            rounds->bareDeleteTimes.push_back(Seconds() - deleteStart);
        }
        BringToTop(GetParent(bare));
        rounds->bareTimes.push_back(FillBareListView(bare, layout, names));
        ok &= Check(SendMessageA(bare, LVM_GETITEMCOUNT, 0, 0) == ENTRY_COUNT, "bare list view lost rows");
        Settle();

        BringToTop(g_app.mainWindow);
        if (round == 0)
            rounds->before = MeasureHeap(g_app.heap);
        const double start = Seconds();
        const int opened = OpenPack(manyPath.c_str());
        UpdateWindow(g_app.mainWindow);
        rounds->openTimes.push_back(Seconds() - start);
        ok &= Check(opened == 0, "OpenPack failed");
        rounds->ratios.push_back(rounds->openTimes.back() / rounds->bareTimes.back());
        ok &= Check(SendMessageA(g_app.entryListView, LVM_GETITEMCOUNT, 0, 0) == ENTRY_COUNT, "rows missing");
        if (round == 0)
            rounds->after = MeasureHeap(g_app.heap);
        Settle();

        const double closeStart = Seconds();
        ClosePack();
        UpdateWindow(g_app.mainWindow);
        rounds->closeTimes.push_back(Seconds() - closeStart);
        Settle();
        rounds->directoryTimes.push_back(ReadDirectoryOnly(manyPath));
        ok &= Check(rounds->directoryTimes.back() >= 0, "the directory reader refused many.pak");
    }
    SendMessageA(bare, LVM_DELETEALLITEMS, 0, 0);
    DestroyWindow(GetParent(bare));
}

void PrintOpenFigures(const OpenRounds& rounds, const std::vector<std::string>& names)
{
    for (int round = 0; round < ROUNDS; ++round)
        std::printf("round %d: OpenPack %.3f s, bare list view %.3f s (ratio %.2f), ClosePack %.3f s, "
                    "directory and entry list alone %.3f s\n",
                    round + 1, rounds.openTimes[round], rounds.bareTimes[round], rounds.ratios[round],
                    rounds.closeTimes[round], rounds.directoryTimes[round]);
    std::printf("open_pack_seconds: %.3f\n", Median(rounds.openTimes));
    std::printf("bare_list_view_seconds: %.3f\n", Median(rounds.bareTimes));
    std::printf("open_pack_to_bare_list_view_ratio: %.2f (median of the rounds' ratios; goal: open 2.5 s or "
                "less, ratio 1.3 or less)\n",
                Median(rounds.ratios));
    std::printf("directory_and_entry_list_seconds: %.3f\n", Median(rounds.directoryTimes));
    std::printf("close_pack_seconds: %.3f\n", Median(rounds.closeTimes));
    std::printf("bare_list_view_delete_all_seconds: %.3f (the rows alone, for the close figure)\n",
                Median(rounds.bareDeleteTimes));
    const HeapUse& before = rounds.before;
    const HeapUse& after = rounds.after;
    std::printf("heap_blocks_per_entry: %.2f\n", double(after.blocks - before.blocks) / ENTRY_COUNT);
    std::printf("heap_requested_bytes_per_entry: %.1f\n",
                double(after.requestedBytes - before.requestedBytes) / ENTRY_COUNT);
    std::printf("heap_bytes_per_entry: %.1f (blocks with the heap's own overhead)\n",
                double(after.blockBytes - before.blockBytes) / ENTRY_COUNT);
    std::printf("heap_committed_bytes_per_entry: %.1f\n",
                double(int64_t(after.committedBytes) - int64_t(before.committedBytes)) / ENTRY_COUNT);
    uint64_t nameBytes = 0;
    for (const std::string& name : names)
        nameBytes += name.size() + 1;
    std::printf("average_name_bytes: %.1f\n", double(nameBytes) / ENTRY_COUNT);
}

// Spot checks across the whole extracted entry: a copy that is fast but
// wrong would make the figure meaningless.
bool HoldsBigEntry(const std::string& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data);
    const uint64_t written = (uint64_t(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    bool ok = Check(written == BIG_ENTRY_BYTES, "extracted file has the wrong size");
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    for (uint64_t at = 0; ok && file != INVALID_HANDLE_VALUE && at < BIG_ENTRY_BYTES; at += 7777777) {
        LARGE_INTEGER position;
        position.QuadPart = LONGLONG(at);
        uint8_t byte = 0;
        DWORD got = 0;
        SetFilePointerEx(file, position, nullptr, FILE_BEGIN);
        ok &= Check(ReadFile(file, &byte, 1, &got, nullptr) && got == 1 && byte == pakwriter::PatternByte(0, at),
                    "extracted bytes differ from the entry");
    }
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    return ok;
}

void PrintExtractFigures(const std::vector<double>& extractTimes, const std::vector<double>& plainTimes)
{
    for (int round = 0; round < ROUNDS; ++round)
        std::printf("round %d: ExtractEntry 256 MiB %.3f s, plain 4 KiB ReadFile/WriteFile copy %.3f s\n", round + 1,
                    extractTimes[round], plainTimes[round]);
    const double best = *std::min_element(extractTimes.begin(), extractTimes.end());
    const double median = Median(extractTimes);
    std::printf("extract_bytes: %llu\n", static_cast<unsigned long long>(BIG_ENTRY_BYTES));
    std::printf("extract_seconds: %.3f (median; best %.3f)\n", median, best);
    std::printf("extract_mb_per_s: %.1f (10^6 bytes per second, median)\n", double(BIG_ENTRY_BYTES) / median / 1e6);
    std::printf("extract_best_mb_per_s: %.1f\n", double(BIG_ENTRY_BYTES) / best / 1e6);
    const double plain = Median(plainTimes);
    std::printf("plain_copy_mb_per_s: %.1f (the same chunks through ReadFile/WriteFile, no decoding)\n",
                double(BIG_ENTRY_BYTES) / plain / 1e6);
    std::printf("extract_to_plain_copy_ratio: %.2f (medians; bests %.2f)\n", plain / median,
                *std::min_element(plainTimes.begin(), plainTimes.end()) / best);
}

// (ii): one 256 MiB entry by ExtractEntry, against the plain copy of its
// bytes, in the same rounds.
void MeasureBigEntry(const std::string& bigPath, const std::string& out, bool& ok)
{
    ok &= Check(pakwriter::WriteGeneratedPack(bigPath, {{"big.bin", BIG_ENTRY_BYTES}}, pakwriter::FillPattern),
                "could not write big.pak");
    CreateDirectoryA(out.c_str(), nullptr);
    char outputPath[PACK_PATH_BYTES];
    std::vector<double> extractTimes, plainTimes;
    if (ok && Check(OpenPack(bigPath.c_str()) == 0, "OpenPack of big.pak failed")) {
        // The first copy also brings the pack into the file cache, as dd's
        // first pass does; every copy replaces the previous output.
        for (int round = 0; round < ROUNDS; ++round) {
            const double start = Seconds();
            const int result = ExtractEntry(g_app.mainWindow, out.c_str(), g_app.entryHead, 1, outputPath);
            extractTimes.push_back(Seconds() - start);
            ok &= Check(result == EXTRACT_DONE, "ExtractEntry failed");
            plainTimes.push_back(PlainCopy(bigPath, g_app.dataAreaStart, out + "\\plain.bin"));
        }
        ClosePack();
        ok &= HoldsBigEntry(out + "\\big.bin");
    }
    if (ok)
        PrintExtractFigures(extractTimes, plainTimes);
}

} // namespace

int main(int argc, char** argv)
{
    if (StartProgram() != 0) {
        std::printf("ERROR: quorvel's main window could not be created\n");
        return 1;
    }
    // Any message box would stall the run; the watcher answers and counts it.
    DialogWatcher dialogs;
    Settle();

    const bool ownFolder = argc > 1;
    const std::string folder = ownFolder ? std::string(argv[1]) : NewTempFolder();
    if (ownFolder)
        CreateDirectoryA(folder.c_str(), nullptr);
    std::printf("pack bench: %d entries, %d rounds, folder %s\n", ENTRY_COUNT, ROUNDS, folder.c_str());
    bool ok = true;

    const pakwriter::Layout layout = ManyEntries();
    const std::string manyPath = folder + "\\many.pak";
    ok &= Check(WriteBytes(manyPath, pakwriter::Encode(layout)), "could not write many.pak");
    std::vector<std::string> names;
    for (const pakwriter::Record& record : layout.records)
        names.push_back(record.name);
    OpenRounds rounds;
    MeasureOpening(layout, manyPath, &names, &rounds, ok);
    DeleteFileA(manyPath.c_str());
    if (ok)
        PrintOpenFigures(rounds, names);
    std::fflush(stdout);

    const std::string bigPath = folder + "\\big.pak";
    const std::string out = folder + "\\out";
    MeasureBigEntry(bigPath, out, ok);
    RemoveTree(out);
    if (!ownFolder)
        RemoveTree(folder);
    else
        std::printf("big_pack: %s\n", bigPath.c_str());

    if (dialogs.Count() != 0) {
        for (const SeenDialog& seen : dialogs.Seen())
            std::printf("ERROR: unexpected message box \"%s\"\n", seen.caption.c_str());
        ok = false;
    }
    std::fflush(stdout);
    return ok ? 0 : 1;
}
