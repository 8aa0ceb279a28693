#include "platform.h"

#include "monitor.h"

namespace {

std::wstring convert(UINT cp, std::string_view s) {
    if (s.empty()) return {};
    const int n = MultiByteToWideChar(cp, 0, s.data(), int(s.size()), nullptr, 0);
    std::wstring w(std::size_t(n > 0 ? n : 0), L'\0');
    if (n > 0) MultiByteToWideChar(cp, 0, s.data(), int(s.size()), w.data(), n);
    return w;
}

}  // namespace

std::wstring wide(std::string_view utf8) { return convert(CP_UTF8, utf8); }
std::wstring wide_ansi(std::string_view ansi) { return convert(CP_ACP, ansi); }

void error_box(const std::wstring& text) {
    MessageBoxW(nullptr, text.c_str(), L"Ошибка", MB_OK);
}

void error_box(const char* utf8) { error_box(wide(utf8)); }

void fatal(const char* utf8) {
    error_box(utf8);
    exit_between_rows(1);
}
