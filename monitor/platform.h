#pragma once
// Thin Win32 helpers of the monitor: owned handles, wide texts, error boxes.
#include <winsock2.h>
#include <windows.h>

#include <string>
#include <string_view>

// A kernel handle closed when it goes out of scope.
class Handle {
public:
    Handle() = default;
    explicit Handle(HANDLE h) : h_(h == INVALID_HANDLE_VALUE ? nullptr : h) {}
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    Handle(Handle&& o) noexcept : h_(o.h_) { o.h_ = nullptr; }
    Handle& operator=(Handle&& o) noexcept {
        if (this != &o) { reset(); h_ = o.h_; o.h_ = nullptr; }
        return *this;
    }
    ~Handle() { reset(); }
    HANDLE get() const { return h_; }
    explicit operator bool() const { return h_ != nullptr; }
    void reset() {
        if (h_) CloseHandle(h_);
        h_ = nullptr;
    }

private:
    HANDLE h_ = nullptr;
};

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
// Set before any box can show: when not 0, the box of fatal() closes itself after this many
// milliseconds, so that an unattended station ends (and its service manager restarts it)
// instead of waiting for an OK nobody will press.
extern UINT fatal_box_timeout_ms;
