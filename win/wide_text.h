#pragma once
// Text between the 8-bit code pages the programs keep their bytes in (UTF-8, the ANSI code
// page) and the UTF-16 of the wide Windows functions. Shared by the monitor, the forwarder
// and the test driver.
#include <windows.h>

#include <string>
#include <string_view>

inline std::wstring widen(std::string_view s, UINT cp) {
    if (s.empty()) return {};
    const int n = MultiByteToWideChar(cp, 0, s.data(), int(s.size()), nullptr, 0);
    if (n <= 0) return {};
    std::wstring w(std::size_t(n), L'\0');
    MultiByteToWideChar(cp, 0, s.data(), int(s.size()), w.data(), n);
    return w;
}

inline std::string narrow(std::wstring_view w, UINT cp) {
    if (w.empty()) return {};
    const int n = WideCharToMultiByte(cp, 0, w.data(), int(w.size()), nullptr, 0, nullptr, nullptr);
    if (n <= 0) return {};
    std::string s(std::size_t(n), '\0');
    WideCharToMultiByte(cp, 0, w.data(), int(w.size()), s.data(), n, nullptr, nullptr);
    return s;
}
