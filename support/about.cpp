#include "support/about.h"

#include "resources/resource.h"
#include "shell/app_state.h"
#include "support/text.h"

namespace {

// The fixed file information follows the block's header ("VS_VERSION_INFO"
// in 16-bit characters, padded) at 40 bytes; its signature comes first and
// the two file version words lie at 48 and 52.
constexpr DWORD FIXED_INFO_OFFSET = 40;
constexpr DWORD FILE_VERSION_MS_OFFSET = 48;
constexpr DWORD FILE_VERSION_LS_OFFSET = 52;
constexpr DWORD FIXED_INFO_SIGNATURE = 0xFEEF04BD;

DWORD ReadWord32(const unsigned char* bytes)
{
    return DWORD(bytes[0]) | DWORD(bytes[1]) << 8 | DWORD(bytes[2]) << 16 | DWORD(bytes[3]) << 24;
}

void ShowFileVersion(HWND dialog)
{
    char text[PATH_BUFFER_BYTES];
    text[0] = 0;
    GetModuleFileNameA(nullptr, text, PLATFORM_PATH_CHARS);
    text[PLATFORM_PATH_CHARS - 1] = 0;
    const DWORD size = GetFileVersionInfoSizeA(text, nullptr);
    if (size == 0)
        return;
    auto* block = static_cast<unsigned char*>(HeapAlloc(g_app.heap, 0, size));
    if (block == nullptr)
        return;
    if (GetFileVersionInfoA(text, 0, size, block) && FormatFileVersion(block, size, text))
        SetDlgItemTextA(dialog, IDC_VERSION, text);
    HeapFree(g_app.heap, 0, block);
}

} // namespace

bool FormatFileVersion(const unsigned char* block, DWORD size, char* text)
{
    // The block's own length (its first 16 bits) may be less than the
    // buffer the platform asked for; only bytes inside both are read.
    if (size < 2)
        return false;
    const DWORD declared = DWORD(block[0]) | DWORD(block[1]) << 8;
    const DWORD usable = declared < size ? declared : size;
    // Too short a block, or one whose fixed information is not where the
    // header puts it, keeps the template's "Version 0.0.0.0".
    if (usable < FILE_VERSION_LS_OFFSET + 4 || ReadWord32(block + FIXED_INFO_OFFSET) != FIXED_INFO_SIGNATURE)
        return false;
    const DWORD high = ReadWord32(block + FILE_VERSION_MS_OFFSET);
    const DWORD low = ReadWord32(block + FILE_VERSION_LS_OFFSET);
    wsprintfA(text, "Version %d.%d.%d.%d", int(HIWORD(high)), int(LOWORD(high)), int(HIWORD(low)), int(LOWORD(low)));
    return true;
}

INT_PTR CALLBACK AboutDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_INITDIALOG:
        ShowFileVersion(dialog);
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
            EndDialog(dialog, 0);
            return TRUE;
        }
        return FALSE;
    case WM_CLOSE:
        EndDialog(dialog, 0);
        return TRUE;
    }
    return FALSE;
}
