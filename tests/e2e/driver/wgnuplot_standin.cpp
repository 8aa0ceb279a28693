// wgnuplot_standin.exe: installed as wgnuplot.exe in the monitor's working directory by the
// end-to-end tests. It records how it was started and ends at once: one line per start,
// appended to wgnuplot-calls.txt beside the program, holding the command line exactly as the
// program got it (GetCommandLineW), a tab, and the current directory, in UTF-8.
// Exit codes: 0 recorded, 1 the record could not be written.
#include <windows.h>

#include <string>

#include "wide_text.h"

namespace {

std::string utf8(const std::wstring& w) { return narrow(w, CP_UTF8); }

std::wstring own_directory() {
    wchar_t path[32768];
    const DWORD n = GetModuleFileNameW(nullptr, path, 32768);
    std::wstring p(path, n);
    const std::size_t slash = p.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring(L".") : p.substr(0, slash);
}

std::wstring current_directory() {
    wchar_t dir[32768];
    const DWORD n = GetCurrentDirectoryW(32768, dir);
    return std::wstring(dir, n < 32768 ? n : 0);
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    const std::string record = utf8(GetCommandLineW()) + '\t' + utf8(current_directory()) + '\n';
    const std::wstring log = own_directory() + L"\\wgnuplot-calls.txt";
    // One write per record on a file opened for appending: records of viewers started side by
    // side do not interleave.
    HANDLE f = CreateFileW(log.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) return 1;
    DWORD written = 0;
    const BOOL ok = WriteFile(f, record.data(), DWORD(record.size()), &written, nullptr);
    CloseHandle(f);
    return ok && written == record.size() ? 0 : 1;
}
