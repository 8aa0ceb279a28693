#pragma once
// Small text helpers: the station's files are Windows-1251, its sources UTF-8.
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

// Converts UTF-8 text to Windows-1251 bytes. Characters that 1251 cannot hold become '?'.
std::string to_cp1251(std::string_view utf8);

// Converts Windows-1251 bytes to UTF-8. The one byte 1251 leaves unassigned (0x98) becomes
// U+FFFD, so the result is always valid UTF-8.
std::string from_cp1251(std::string_view cp1251);

// White space as the standard library's formatted input skips it.
inline bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// A C stream that closes itself.
struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using UniqueFile = std::unique_ptr<std::FILE, FileCloser>;

// The first n characters of s: the one place where a fixed capacity cuts a text.
inline std::string cut(std::string_view s, std::size_t n) {
    return std::string(s.substr(0, n));
}

// s up to (not including) its first NUL byte: a C text held in a larger buffer.
inline std::string_view c_text(std::string_view s) {
    const auto nul = s.find('\0');
    return nul == std::string_view::npos ? s : s.substr(0, nul);
}
