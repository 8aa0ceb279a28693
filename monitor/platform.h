#pragma once
// Thin Win32 helpers of the monitor: wide texts, error boxes.
#include <winsock2.h>
#include <windows.h>

#include <string>
#include <string_view>

// UTF-8 text (our sources) to UTF-16 for the wide functions, which show Cyrillic whatever
// the system's ANSI code page.
std::wstring wide(std::string_view utf8);
// Text in the ANSI code page (paths, edit contents) to UTF-16.
std::wstring wide_ansi(std::string_view ansi);

// A box without owner, titled "Ошибка", with one OK button.
void error_box(const std::wstring& text);
void error_box(const char* utf8);
// The box, then the end of the process with exit code 1 (after the waiting log rows' last
// try), from whichever thread.
[[noreturn]] void fatal(const char* utf8);
