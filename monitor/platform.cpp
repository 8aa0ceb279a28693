#include "platform.h"

#include "monitor.h"
#include "wide_text.h"

namespace {

const wchar_t kErrorCaption[] = L"Ошибка";

// A timer of the thread that shows the box: it fires inside the box's own message loop, on
// Windows as under Wine, and presses OK on that thread's error box.
void CALLBACK close_error_box(HWND, UINT, UINT_PTR, DWORD) {
    EnumThreadWindows(
        GetCurrentThreadId(),
        [](HWND h, LPARAM) -> BOOL {
            wchar_t cls[16] = {}, title[16] = {};
            GetClassNameW(h, cls, 16);
            GetWindowTextW(h, title, 16);
            if (lstrcmpW(cls, L"#32770") == 0 && lstrcmpW(title, kErrorCaption) == 0)
                PostMessageW(h, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
            return TRUE;
        },
        0);
}

}  // namespace

std::wstring wide(std::string_view utf8) { return widen(utf8, CP_UTF8); }
std::wstring wide_ansi(std::string_view ansi) { return widen(ansi, CP_ACP); }

void error_box(const std::wstring& text) {
    MessageBoxW(nullptr, text.c_str(), kErrorCaption, MB_OK);
}

void error_box(const char* utf8) { error_box(wide(utf8)); }

void fatal(const char* utf8) {
    if (const UINT ms = window.fatal_box_timeout_ms) SetTimer(nullptr, 0, ms, close_error_box);
    error_box(utf8);
    station().exit_between_rows(1);
}
