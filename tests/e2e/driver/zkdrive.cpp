// zkdrive: drives and reads the windows of another program from inside the same Wine prefix.
//
// One command per invocation (`zkdrive.exe CMD [options] [args]`), or many with `zkdrive.exe
// serve`, which reads one command per line from stdin (fields separated by tabs, with \t \n \r
// and \\ escaped) and ends each reply with a line {"rc":N}. Every result is one JSON object per
// line, UTF-8; window texts are read with the wide functions so Cyrillic survives whatever the
// ANSI code page is. Exit code: 0 done, 1 not found / timed out / refused, 2 bad usage.
//
// Control texts are read with WM_GETTEXT sent with a time limit, not with GetWindowText: for a
// control of another process only the message reaches the control's own buffer (an edit keeps
// its text there), and a hung program must not hang the driver. Titles of top-level windows are
// the system's own copy (GetWindowText), which needs no answer from the program.

#include <windows.h>
#include <winternl.h>
#include <ntstatus.h>
#include <shellapi.h>
#include <tlhelp32.h>

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cstdint>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "wide_text.h"

namespace {

constexpr UINT kSendTimeoutMs = 5000;
constexpr DWORD kPollMs = 20;
constexpr DWORD kDefaultResolveMs = 5000;
constexpr DWORD kDefaultWaitMs = 10000;

// ---------------------------------------------------------------------------------------------
// Handles and texts

struct HandleCloser {
    void operator()(HANDLE h) const {
        if (h && h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
};
using UniqueHandle = std::unique_ptr<void, HandleCloser>;

std::string utf8(const std::wstring& w) { return narrow(w, CP_UTF8); }
std::wstring wide(const std::string& s) { return widen(s, CP_UTF8); }

std::wstring lower(std::wstring s) {
    if (!s.empty()) CharLowerBuffW(s.data(), DWORD(s.size()));
    return s;
}

std::string json_string(const std::wstring& w) {
    std::string in = utf8(w), out = "\"";
    for (unsigned char c : in) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04x", c);
                out += buf;
            } else {
                out += char(c);
            }
        }
    }
    return out + "\"";
}

// One JSON object, built field by field.
class Json {
public:
    Json& str(const char* key, const std::wstring& v) { return raw(key, json_string(v)); }
    Json& num(const char* key, long long v) { return raw(key, std::to_string(v)); }
    Json& flag(const char* key, bool v) { return raw(key, v ? "true" : "false"); }
    Json& raw(const char* key, const std::string& v) {
        body_ += body_.empty() ? "{" : ",";
        body_ += "\"";
        body_ += key;
        body_ += "\":";
        body_ += v;
        return *this;
    }
    std::string text() const { return body_.empty() ? "{}" : body_ + "}"; }

private:
    std::string body_;
};

void emit(const Json& j) {
    std::string line = j.text() + "\n";
    std::fwrite(line.data(), 1, line.size(), stdout);
}

// A failure that ends the command: printed as {"error":...} with the exit code.
struct Failure {
    int code;
    std::wstring what;
    std::wstring detail;
};

[[noreturn]] void fail(std::wstring what, std::wstring detail = {}) { throw Failure{1, std::move(what), std::move(detail)}; }
[[noreturn]] void usage(std::wstring detail) { throw Failure{2, L"usage", std::move(detail)}; }

unsigned long long hwnd_value(HWND h) { return static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(h)); }

// ---------------------------------------------------------------------------------------------
// Arguments

const std::set<std::wstring> kValueOptions = {L"class", L"title", L"title-prefix", L"exe", L"pid", L"hwnd",
                                              L"id", L"nth", L"at", L"timeout", L"press", L"code"};
const std::set<std::wstring> kFlagOptions = {L"all", L"send", L"post", L"contains"};

struct Args {
    std::wstring command;
    std::vector<std::wstring> positional;
    std::map<std::wstring, std::wstring> values;
    std::set<std::wstring> flags;

    bool has(const std::wstring& k) const { return values.count(k) != 0; }
    bool flag(const std::wstring& k) const { return flags.count(k) != 0; }
    const std::wstring& value(const std::wstring& k) const { return values.at(k); }
};

long long parse_number(const std::wstring& text, const std::wstring& what) {
    if (text.empty()) usage(L"empty number for " + what);
    wchar_t* end = nullptr;
    long long v = std::wcstoll(text.c_str(), &end, 0);  // 0x... accepted for window handles
    if (*end != 0) usage(L"not a number for " + what + L": " + text);
    return v;
}

Args parse_args(const std::vector<std::wstring>& argv) {
    if (argv.empty()) usage(L"no command");
    Args a;
    a.command = argv[0];
    for (size_t i = 1; i < argv.size(); ++i) {
        const std::wstring& s = argv[i];
        if (s.size() > 2 && s.compare(0, 2, L"--") == 0) {
            std::wstring name = s.substr(2);
            if (kFlagOptions.count(name)) {
                a.flags.insert(name);
            } else if (kValueOptions.count(name)) {
                if (i + 1 >= argv.size()) usage(L"--" + name + L" needs a value");
                a.values[name] = argv[++i];
            } else {
                usage(L"unknown option " + s);
            }
        } else {
            a.positional.push_back(s);
        }
    }
    return a;
}

DWORD timeout_ms(const Args& a, DWORD fallback) {
    return a.has(L"timeout") ? DWORD(parse_number(a.value(L"timeout"), L"--timeout")) : fallback;
}

const std::wstring& positional(const Args& a, size_t i, const wchar_t* what) {
    if (i >= a.positional.size()) usage(std::wstring(L"missing ") + what);
    return a.positional[i];
}

// Polls `probe` until it returns true or the time is up; true when it succeeded.
bool poll_until(DWORD timeout, const std::function<bool()>& probe) {
    const ULONGLONG deadline = GetTickCount64() + timeout;
    for (;;) {
        if (probe()) return true;
        if (GetTickCount64() >= deadline) return false;
        Sleep(kPollMs);
    }
}

// ---------------------------------------------------------------------------------------------
// Windows and their properties

std::wstring class_name(HWND h) {
    wchar_t buf[256] = {};
    GetClassNameW(h, buf, 256);
    return buf;
}

// Caption of a top-level window as the system keeps it (no message sent).
std::wstring caption(HWND h) {
    int n = GetWindowTextLengthW(h);
    std::wstring buf(size_t(n) + 1, L'\0');
    int got = GetWindowTextW(h, buf.data(), n + 1);
    buf.resize(size_t(got > 0 ? got : 0));
    return buf;
}

// Text of any window, from the window itself.
std::optional<std::wstring> window_text(HWND h) {
    DWORD_PTR len = 0;
    if (!SendMessageTimeoutW(h, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs, &len)) return std::nullopt;
    std::wstring buf(len + 2, L'\0');
    DWORD_PTR got = 0;
    if (!SendMessageTimeoutW(h, WM_GETTEXT, buf.size(), reinterpret_cast<LPARAM>(buf.data()), SMTO_ABORTIFHUNG,
                             kSendTimeoutMs, &got))
        return std::nullopt;
    buf.resize(wcsnlen(buf.c_str(), buf.size()));
    return buf;
}

std::wstring text_or_empty(HWND h) { return window_text(h).value_or(L""); }

bool is_class(HWND h, const wchar_t* cls) { return lstrcmpiW(class_name(h).c_str(), cls) == 0; }

std::map<DWORD, std::wstring> process_names() {
    std::map<DWORD, std::wstring> names;
    UniqueHandle snap(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (snap.get() == INVALID_HANDLE_VALUE) return names;
    PROCESSENTRY32W pe{};
    pe.dwSize = sizeof pe;
    for (BOOL ok = Process32FirstW(snap.get(), &pe); ok; ok = Process32NextW(snap.get(), &pe))
        names[pe.th32ProcessID] = pe.szExeFile;
    return names;
}

std::string rect_json(const RECT& r) {
    return "[" + std::to_string(r.left) + "," + std::to_string(r.top) + "," + std::to_string(r.right - r.left) + "," +
           std::to_string(r.bottom - r.top) + "]";
}

// Rectangle of a window in its parent's client coordinates (screen coordinates for a top-level one).
RECT rect_in_parent(HWND h) {
    RECT r{};
    GetWindowRect(h, &r);
    HWND parent = (GetWindowLongW(h, GWL_STYLE) & WS_CHILD) ? GetParent(h) : nullptr;
    if (parent) MapWindowPoints(HWND_DESKTOP, parent, reinterpret_cast<POINT*>(&r), 2);
    return r;
}

Json window_json(HWND h, const std::map<DWORD, std::wstring>& names) {
    DWORD pid = 0;
    DWORD tid = GetWindowThreadProcessId(h, &pid);
    RECT client{};
    GetClientRect(h, &client);
    auto exe = names.find(pid);
    Json j;
    j.num("hwnd", (long long)hwnd_value(h))
        .num("pid", pid)
        .num("tid", tid)
        .str("exe", exe == names.end() ? L"" : exe->second)
        .str("class", class_name(h))
        .str("title", caption(h))
        .flag("visible", IsWindowVisible(h) != 0)
        .flag("enabled", IsWindowEnabled(h) != 0)
        .flag("iconic", IsIconic(h) != 0)
        .flag("zoomed", IsZoomed(h) != 0)
        .raw("rect", rect_json(rect_in_parent(h)))
        .raw("client", rect_json(client))
        .num("style", (unsigned long)GetWindowLongW(h, GWL_STYLE))
        .num("exstyle", (unsigned long)GetWindowLongW(h, GWL_EXSTYLE));
    HWND owner = GetWindow(h, GW_OWNER);
    if (owner) j.num("owner", (long long)hwnd_value(owner));
    return j;
}

Json control_json(HWND h) {
    auto text = window_text(h);
    Json j;
    j.num("hwnd", (long long)hwnd_value(h))
        .num("parent", (long long)hwnd_value(GetParent(h)))
        .num("id", GetDlgCtrlID(h))
        .str("class", class_name(h))
        .raw("text", text ? json_string(*text) : "null")  // null: the control did not answer
        .raw("rect", rect_json(rect_in_parent(h)))
        .num("style", (unsigned long)GetWindowLongW(h, GWL_STYLE))
        .num("exstyle", (unsigned long)GetWindowLongW(h, GWL_EXSTYLE))
        .flag("visible", IsWindowVisible(h) != 0)
        .flag("enabled", IsWindowEnabled(h) != 0);
    if (is_class(h, L"Button")) {
        DWORD_PTR state = 0;
        SendMessageTimeoutW(h, BM_GETCHECK, 0, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs, &state);
        j.num("checked", (long long)state);
    }
    if (is_class(h, L"ComboBox")) {
        DWORD_PTR sel = DWORD_PTR(-1);
        SendMessageTimeoutW(h, CB_GETCURSEL, 0, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs, &sel);
        j.num("selected", (long long)(LRESULT)sel);
    }
    return j;
}

std::vector<HWND> descendants(HWND parent) {
    std::vector<HWND> out;
    EnumChildWindows(
        parent,
        [](HWND h, LPARAM p) -> BOOL {
            reinterpret_cast<std::vector<HWND>*>(p)->push_back(h);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&out));
    return out;
}

std::vector<HWND> top_level_windows() {
    std::vector<HWND> out;
    EnumWindows(
        [](HWND h, LPARAM p) -> BOOL {
            reinterpret_cast<std::vector<HWND>*>(p)->push_back(h);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&out));
    return out;
}

// ---------------------------------------------------------------------------------------------
// Finding windows

// Which top-level windows a command means: --hwnd, --class, --title, --title-prefix, --exe, --pid.
// Hidden windows count only with --all.
struct Filter {
    std::optional<std::wstring> cls, title, title_prefix, exe;
    std::optional<DWORD> pid;
    HWND hwnd = nullptr;
    bool all = false;

    bool empty() const { return !cls && !title && !title_prefix && !exe && !pid && !hwnd; }
};

Filter filter_from(const Args& a) {
    Filter f;
    if (a.has(L"class")) f.cls = a.value(L"class");
    if (a.has(L"title")) f.title = a.value(L"title");
    if (a.has(L"title-prefix")) f.title_prefix = a.value(L"title-prefix");
    if (a.has(L"exe")) f.exe = lower(a.value(L"exe"));
    if (a.has(L"pid")) f.pid = DWORD(parse_number(a.value(L"pid"), L"--pid"));
    if (a.has(L"hwnd")) f.hwnd = reinterpret_cast<HWND>(uintptr_t(parse_number(a.value(L"hwnd"), L"--hwnd")));
    f.all = a.flag(L"all");
    return f;
}

bool matches(HWND h, const Filter& f, const std::map<DWORD, std::wstring>& names) {
    if (!f.all && !IsWindowVisible(h)) return false;
    if (f.cls && lstrcmpiW(class_name(h).c_str(), f.cls->c_str()) != 0) return false;
    if (f.title || f.title_prefix) {
        std::wstring t = caption(h);
        if (f.title && t != *f.title) return false;
        if (f.title_prefix && t.compare(0, f.title_prefix->size(), *f.title_prefix) != 0) return false;
    }
    if (f.pid || f.exe) {
        DWORD pid = 0;
        GetWindowThreadProcessId(h, &pid);
        if (f.pid && pid != *f.pid) return false;
        if (f.exe) {
            auto it = names.find(pid);
            if (it == names.end() || lower(it->second) != *f.exe) return false;
        }
    }
    return true;
}

// Matching windows, topmost first. A window given by --hwnd may also be a child window.
std::vector<HWND> find_windows(const Filter& f) {
    std::map<DWORD, std::wstring> names;
    if (f.exe) names = process_names();
    if (f.hwnd) {
        if (IsWindow(f.hwnd) && (f.all || IsWindowVisible(f.hwnd))) return {f.hwnd};
        return {};
    }
    std::vector<HWND> out;
    for (HWND h : top_level_windows())
        if (matches(h, f, names)) out.push_back(h);
    return out;
}

HWND wait_window(const Filter& f, DWORD timeout) {
    HWND found = nullptr;
    poll_until(timeout, [&] {
        auto w = find_windows(f);
        if (!w.empty()) found = w.front();
        return found != nullptr;
    });
    return found;
}

int depth_below(HWND h, HWND top) {
    int depth = 0;
    for (HWND p = GetParent(h); p && p != top; p = GetParent(p)) ++depth;
    return depth;
}

// Direct children come first, as with GetDlgItem: the Save-As dialog's button 1 must win over
// the list view with id 1 nested inside it.
HWND child_by_id(HWND parent, int id, int nth) {
    std::vector<std::pair<int, HWND>> found;
    for (HWND h : descendants(parent))
        if (GetDlgCtrlID(h) == id) found.emplace_back(depth_below(h, parent), h);
    std::stable_sort(found.begin(), found.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    return nth >= 0 && size_t(nth) < found.size() ? found[size_t(nth)].second : nullptr;
}

HWND child_at(HWND parent, POINT pt) {
    for (HWND h = GetWindow(parent, GW_CHILD); h; h = GetWindow(h, GW_HWNDNEXT)) {
        if (!IsWindowVisible(h)) continue;
        RECT r = rect_in_parent(h);
        if (PtInRect(&r, pt)) return h;
    }
    return nullptr;
}

// The window a command acts on: a top-level window (or --hwnd), then --id [--nth] or --at x,y
// among its children. Waits up to --timeout for both to exist.
HWND resolve_target(const Args& a) {
    Filter f = filter_from(a);
    if (f.empty()) usage(L"no window named (--hwnd, --class, --title, --title-prefix, --exe or --pid)");
    const DWORD timeout = timeout_ms(a, kDefaultResolveMs);
    std::optional<int> id;
    int nth = 0;
    std::optional<POINT> at;
    if (a.has(L"id")) id = int(parse_number(a.value(L"id"), L"--id"));
    if (a.has(L"nth")) nth = int(parse_number(a.value(L"nth"), L"--nth"));
    if (a.has(L"at")) {
        int x = 0, y = 0;
        if (std::swscanf(a.value(L"at").c_str(), L"%d,%d", &x, &y) != 2) usage(L"--at wants x,y");
        at = POINT{x, y};
    }
    HWND target = nullptr, top = nullptr;
    poll_until(timeout, [&] {
        auto w = find_windows(f);
        if (w.empty()) return false;
        top = w.front();
        if (id)
            target = child_by_id(top, *id, nth);
        else if (at)
            target = child_at(top, *at);
        else
            target = top;
        return target != nullptr;
    });
    if (!top) fail(L"no such window");
    if (!target) fail(L"no such control");
    return target;
}

// ---------------------------------------------------------------------------------------------
// Commands

using Command = std::function<void(const Args&)>;

void cmd_windows(const Args& a) {
    auto names = process_names();
    for (HWND h : find_windows(filter_from(a))) emit(window_json(h, names));
}

void cmd_wait(const Args& a) {
    Filter f = filter_from(a);
    if (f.empty()) usage(L"wait needs a window filter");
    HWND h = wait_window(f, timeout_ms(a, kDefaultWaitMs));
    if (!h) fail(L"timeout", L"window did not appear");
    emit(window_json(h, process_names()));
}

void cmd_wait_gone(const Args& a) {
    Filter f = filter_from(a);
    if (f.empty()) usage(L"wait-gone needs a window filter");
    if (!poll_until(timeout_ms(a, kDefaultWaitMs), [&] { return find_windows(f).empty(); }))
        fail(L"timeout", L"window is still there");
    emit(Json().flag("gone", true));
}

void cmd_controls(const Args& a) {
    HWND h = resolve_target(a);
    for (HWND c : descendants(h)) emit(control_json(c));
}

void cmd_get_text(const Args& a) {
    HWND h = resolve_target(a);
    auto text = window_text(h);
    if (!text) fail(L"no answer", L"WM_GETTEXT");
    emit(Json().num("hwnd", (long long)hwnd_value(h)).str("text", *text));
}

void cmd_set_text(const Args& a) {
    HWND h = resolve_target(a);
    const std::wstring& text = positional(a, 0, L"text");
    DWORD_PTR ok = 0;
    if (!SendMessageTimeoutW(h, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()), SMTO_ABORTIFHUNG,
                             kSendTimeoutMs, &ok) ||
        !ok)
        fail(L"refused", L"WM_SETTEXT");
    emit(Json().num("hwnd", (long long)hwnd_value(h)).str("text", text_or_empty(h)));
}

void cmd_wait_text(const Args& a) {
    HWND h = resolve_target(a);
    const std::wstring& want = positional(a, 0, L"text");
    const bool contains = a.flag(L"contains");
    std::wstring last;
    bool ok = poll_until(timeout_ms(a, kDefaultWaitMs), [&] {
        if (!IsWindow(h)) return false;
        last = text_or_empty(h);
        return contains ? last.find(want) != std::wstring::npos : last == want;
    });
    if (!ok) fail(L"timeout", last);
    emit(Json().num("hwnd", (long long)hwnd_value(h)).str("text", last));
}

// Delivers a message posted (default for what may open a modal loop) or sent (--send).
void deliver(HWND h, UINT msg, WPARAM wp, LPARAM lp, bool send, DWORD send_timeout) {
    if (send) {
        DWORD_PTR r = 0;
        if (!SendMessageTimeoutW(h, msg, wp, lp, SMTO_ABORTIFHUNG, send_timeout, &r))
            fail(L"no answer", L"message not handled in time");
    } else if (!PostMessageW(h, msg, wp, lp)) {
        fail(L"refused", L"PostMessage");
    }
}

void cmd_click(const Args& a) {
    HWND h = resolve_target(a);
    deliver(h, BM_CLICK, 0, 0, a.flag(L"send"), kSendTimeoutMs);
    emit(Json().num("hwnd", (long long)hwnd_value(h)).num("id", GetDlgCtrlID(h)).flag("sent", a.flag(L"send")));
}

// WM_COMMAND from the control to its parent, as the control itself would send it.
void cmd_command(const Args& a) {
    HWND h = resolve_target(a);
    HWND parent = GetParent(h);
    if (!parent) fail(L"no parent");
    int id = GetDlgCtrlID(h);
    WORD code = a.has(L"code") ? WORD(parse_number(a.value(L"code"), L"--code")) : WORD(BN_CLICKED);
    deliver(parent, WM_COMMAND, MAKEWPARAM(id, code), reinterpret_cast<LPARAM>(h), a.flag(L"send"), kSendTimeoutMs);
    emit(Json().num("hwnd", (long long)hwnd_value(h)).num("id", id).num("code", code));
}

std::vector<std::wstring> combo_items(HWND h) {
    DWORD_PTR count = 0;
    if (!SendMessageTimeoutW(h, CB_GETCOUNT, 0, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs, &count) || LRESULT(count) < 0)
        fail(L"no answer", L"CB_GETCOUNT");
    std::vector<std::wstring> items;
    for (WPARAM i = 0; i < count; ++i) {
        DWORD_PTR len = 0;
        SendMessageTimeoutW(h, CB_GETLBTEXTLEN, i, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs, &len);
        std::wstring buf(size_t(LRESULT(len) < 0 ? 0 : len) + 2, L'\0');
        DWORD_PTR got = 0;
        SendMessageTimeoutW(h, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(buf.data()), SMTO_ABORTIFHUNG,
                            kSendTimeoutMs, &got);
        buf.resize(wcsnlen(buf.c_str(), buf.size()));
        items.push_back(buf);
    }
    return items;
}

LRESULT combo_selection(HWND h) {
    DWORD_PTR sel = DWORD_PTR(-1);
    SendMessageTimeoutW(h, CB_GETCURSEL, 0, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs, &sel);
    return LRESULT(sel);
}

void cmd_items(const Args& a) {
    HWND h = resolve_target(a);
    auto items = combo_items(h);
    LRESULT sel = combo_selection(h);
    for (size_t i = 0; i < items.size(); ++i)
        emit(Json().num("index", (long long)i).str("text", items[i]).flag("selected", LRESULT(i) == sel));
}

// Selects an entry as the user would: CB_SETCURSEL, then the CBN_SELCHANGE the parent would get
// (sent, or posted with --post). The entry is an index, or "=TEXT" for the entry with that
// exact text.
void cmd_select(const Args& a) {
    HWND h = resolve_target(a);
    const std::wstring& which = positional(a, 0, L"index or =text");
    auto items = combo_items(h);
    long long index = -1;
    if (!which.empty() && which[0] == L'=') {
        for (size_t i = 0; i < items.size(); ++i)
            if (items[i] == which.substr(1)) index = (long long)i;
        if (index < 0) fail(L"no such entry", which.substr(1));
    } else {
        index = parse_number(which, L"index");
    }
    if (index < 0 || index >= (long long)items.size()) fail(L"no such entry", which);
    DWORD_PTR r = 0;
    if (!SendMessageTimeoutW(h, CB_SETCURSEL, WPARAM(index), 0, SMTO_ABORTIFHUNG, kSendTimeoutMs, &r) ||
        LRESULT(r) != index)
        fail(L"refused", L"CB_SETCURSEL");
    HWND parent = GetParent(h);
    if (parent)
        deliver(parent, WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(h), CBN_SELCHANGE), reinterpret_cast<LPARAM>(h),
                !a.flag(L"post"), kSendTimeoutMs);
    emit(Json().num("hwnd", (long long)hwnd_value(h)).num("index", index).str("text", items[size_t(index)]));
}

void cmd_check(const Args& a) {
    HWND h = resolve_target(a);
    long long state = parse_number(positional(a, 0, L"state 0, 1 or 2"), L"state");
    if (state < 0 || state > 2) usage(L"state is 0, 1 or 2");
    DWORD_PTR r = 0;
    if (!SendMessageTimeoutW(h, BM_SETCHECK, WPARAM(state), 0, SMTO_ABORTIFHUNG, kSendTimeoutMs, &r))
        fail(L"no answer", L"BM_SETCHECK");
    SendMessageTimeoutW(h, BM_GETCHECK, 0, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs, &r);
    emit(Json().num("hwnd", (long long)hwnd_value(h)).num("checked", (long long)r));
}

UINT key_code(const std::wstring& name) {
    static const std::map<std::wstring, UINT> names = {{L"enter", VK_RETURN}, {L"return", VK_RETURN},
                                                       {L"escape", VK_ESCAPE}, {L"esc", VK_ESCAPE},
                                                       {L"tab", VK_TAB},       {L"space", VK_SPACE}};
    auto it = names.find(lower(name));
    return it != names.end() ? it->second : UINT(parse_number(name, L"key"));
}

// A key press posted to the window that has the focus in the target's thread (if it is the
// target or inside it), else to the target. A dialog's message loop turns Enter and Escape into
// its default button's command and IDCANCEL, as it would for a real key.
void cmd_key(const Args& a) {
    HWND h = resolve_target(a);
    UINT vk = key_code(positional(a, 0, L"key"));
    GUITHREADINFO gti{};
    gti.cbSize = sizeof gti;
    HWND to = h;
    if (GetGUIThreadInfo(GetWindowThreadProcessId(h, nullptr), &gti) && gti.hwndFocus &&
        (gti.hwndFocus == h || IsChild(h, gti.hwndFocus)))
        to = gti.hwndFocus;
    LPARAM scan = LPARAM(MapVirtualKeyW(vk, MAPVK_VK_TO_VSC)) << 16;
    deliver(to, WM_KEYDOWN, vk, scan | 1, false, 0);
    deliver(to, WM_KEYUP, vk, scan | 1 | (LPARAM(3) << 30), false, 0);
    emit(Json().num("hwnd", (long long)hwnd_value(to)).num("key", vk));
}

// Minimise, maximise, restore, hide or show, without waiting for the program.
void cmd_show(const Args& a) {
    HWND h = resolve_target(a);
    static const std::map<std::wstring, int> states = {{L"min", SW_MINIMIZE}, {L"max", SW_MAXIMIZE},
                                                       {L"restore", SW_RESTORE}, {L"hide", SW_HIDE},
                                                       {L"show", SW_SHOW}};
    auto it = states.find(lower(positional(a, 0, L"min, max, restore, hide or show")));
    if (it == states.end()) usage(L"show wants min, max, restore, hide or show");
    ShowWindowAsync(h, it->second);
    emit(Json().num("hwnd", (long long)hwnd_value(h)).num("show", it->second));
}

// New position and size (in the parent's client area for a child), without waiting.
void cmd_move(const Args& a) {
    HWND h = resolve_target(a);
    int x = 0, y = 0, w = 0, ht = 0;
    if (std::swscanf(positional(a, 0, L"x,y,w,h").c_str(), L"%d,%d,%d,%d", &x, &y, &w, &ht) != 4)
        usage(L"move wants x,y,w,h");
    if (!SetWindowPos(h, nullptr, x, y, w, ht, SWP_NOZORDER | SWP_NOACTIVATE | SWP_ASYNCWINDOWPOS))
        fail(L"refused", L"SetWindowPos");
    emit(Json().num("hwnd", (long long)hwnd_value(h)).raw("rect", rect_json(RECT{x, y, x + w, y + ht})));
}

void cmd_close(const Args& a) {
    HWND h = resolve_target(a);
    deliver(h, WM_CLOSE, 0, 0, a.flag(L"send"), kSendTimeoutMs);
    emit(Json().num("hwnd", (long long)hwnd_value(h)).flag("closed", true));
}

int button_id(const std::wstring& name) {
    static const std::map<std::wstring, int> names = {{L"ok", IDOK},       {L"cancel", IDCANCEL}, {L"abort", IDABORT},
                                                      {L"retry", IDRETRY}, {L"ignore", IDIGNORE}, {L"yes", IDYES},
                                                      {L"no", IDNO}};
    auto it = names.find(lower(name));
    return it != names.end() ? it->second : int(parse_number(name, L"--press"));
}

// A dialog box (#32770) that shows a static text: message boxes and small warnings alike.
bool is_message_box(HWND h) {
    if (!is_class(h, L"#32770")) return false;
    for (HWND c : descendants(h))
        if (is_class(c, L"Static") && !text_or_empty(c).empty()) return true;
    return false;
}

void cmd_msgbox(const Args& a) {
    Filter f = filter_from(a);
    f.cls = L"#32770";
    HWND box = nullptr;
    poll_until(timeout_ms(a, kDefaultWaitMs), [&] {
        for (HWND h : find_windows(f))
            if (is_message_box(h)) {
                box = h;
                return true;
            }
        return false;
    });
    if (!box) fail(L"timeout", L"no message box");
    std::wstring text;
    std::string buttons = "[";
    for (HWND c : descendants(box)) {
        if (is_class(c, L"Static")) {
            std::wstring t = text_or_empty(c);
            if (!t.empty()) text += (text.empty() ? L"" : L"\n") + t;
        } else if (is_class(c, L"Button") && IsWindowVisible(c)) {
            if (buttons.size() > 1) buttons += ",";
            buttons += Json().num("id", GetDlgCtrlID(c)).str("text", text_or_empty(c)).text();
        }
    }
    buttons += "]";
    DWORD pid = 0;
    GetWindowThreadProcessId(box, &pid);
    Json j;
    j.num("hwnd", (long long)hwnd_value(box)).num("pid", pid).str("title", caption(box)).str("text", text).raw("buttons", buttons);
    if (a.has(L"press")) {
        int id = button_id(a.value(L"press"));
        HWND button = child_by_id(box, id, 0);
        if (!button) fail(L"no such button", a.value(L"press"));
        deliver(button, BM_CLICK, 0, 0, false, 0);
        if (!poll_until(timeout_ms(a, kDefaultWaitMs), [&] { return !IsWindow(box) || !IsWindowVisible(box); }))
            fail(L"timeout", L"message box did not close");
        j.num("pressed", id);
    }
    emit(j);
}

// The common Save-As dialog: its file-name field is control 1148, its Save button control 1.
void cmd_save_as(const Args& a) {
    const std::wstring& name = positional(a, 0, L"file name");
    Filter f = filter_from(a);
    f.cls = L"#32770";
    HWND dlg = nullptr, field = nullptr;
    poll_until(timeout_ms(a, kDefaultWaitMs), [&] {
        for (HWND h : find_windows(f))
            if ((field = child_by_id(h, 1148, 0)) != nullptr) {
                dlg = h;
                return true;
            }
        return false;
    });
    if (!dlg) fail(L"timeout", L"no file dialog");
    DWORD_PTR ok = 0;
    if (!SendMessageTimeoutW(field, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(name.c_str()), SMTO_ABORTIFHUNG,
                             kSendTimeoutMs, &ok))
        fail(L"no answer", L"WM_SETTEXT");
    HWND save = child_by_id(dlg, IDOK, 0);
    if (!save) fail(L"no Save button");
    std::wstring title = caption(dlg);
    deliver(save, BM_CLICK, 0, 0, false, 0);
    if (!poll_until(timeout_ms(a, kDefaultWaitMs), [&] { return !IsWindow(dlg); }))
        fail(L"timeout", L"file dialog did not close");
    emit(Json().num("hwnd", (long long)hwnd_value(dlg)).str("title", title).str("file", name));
}

void cmd_processes(const Args&) {
    UniqueHandle snap(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (snap.get() == INVALID_HANDLE_VALUE) fail(L"no process list");
    PROCESSENTRY32W pe{};
    pe.dwSize = sizeof pe;
    for (BOOL ok = Process32FirstW(snap.get(), &pe); ok; ok = Process32NextW(snap.get(), &pe))
        emit(Json().num("pid", pe.th32ProcessID).num("ppid", pe.th32ParentProcessID).str("exe", pe.szExeFile));
}

// Open handles per process from the system's handle table, for where GetProcessHandleCount
// answers 0 (Wine 8 does, for every process; Windows never, as every process holds handles).
struct HandleEntry {
    ULONG pid;
    UCHAR type, flags;
    USHORT handle;
    PVOID object;
    ACCESS_MASK access;
};
struct HandleTable {
    ULONG count;
    HandleEntry first[1];
};
constexpr ULONG kSystemHandleInformation = 16;

std::map<DWORD, long long> handle_table_counts() {
    std::map<DWORD, long long> counts;
    std::vector<char> buf(1 << 20);
    for (int tries = 0; tries < 6; ++tries, buf.resize(buf.size() * 2)) {
        ULONG len = 0;
        const NTSTATUS st = NtQuerySystemInformation(SYSTEM_INFORMATION_CLASS(kSystemHandleInformation),
                                                     buf.data(), ULONG(buf.size()), &len);
        if (st == STATUS_INFO_LENGTH_MISMATCH) continue;
        if (st != 0 || len < sizeof(ULONG)) return counts;
        ULONG n = 0;
        std::memcpy(&n, buf.data(), sizeof n);
        const size_t first = offsetof(HandleTable, first);
        n = ULONG(std::min<size_t>(n, (len - first) / sizeof(HandleEntry)));
        for (ULONG i = 0; i < n; ++i) {
            HandleEntry e;
            std::memcpy(&e, buf.data() + first + i * sizeof e, sizeof e);
            ++counts[e.pid];
        }
        return counts;
    }
    return counts;
}

// What a soak watches in a process besides its memory: its open handles and its threads.
// --exe NAME or --pid N picks the processes. "handles_from" says where the count came from:
// "process" (GetProcessHandleCount) or "table" (the system's handle table); -1 when neither
// answered.
void cmd_counts(const Args& a) {
    const Filter f = filter_from(a);
    if (!f.exe && !f.pid) usage(L"counts needs --exe or --pid");
    UniqueHandle snap(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (snap.get() == INVALID_HANDLE_VALUE) fail(L"no process list");
    PROCESSENTRY32W pe{};
    pe.dwSize = sizeof pe;
    std::optional<std::map<DWORD, long long>> table;
    bool found = false;
    for (BOOL ok = Process32FirstW(snap.get(), &pe); ok; ok = Process32NextW(snap.get(), &pe)) {
        if (f.pid && pe.th32ProcessID != *f.pid) continue;
        if (f.exe && lower(pe.szExeFile) != *f.exe) continue;
        found = true;
        long long handles = -1;
        const wchar_t* from = L"process";
        UniqueHandle proc(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pe.th32ProcessID));
        DWORD n = 0;
        if (proc && GetProcessHandleCount(proc.get(), &n) && n > 0) {
            handles = n;
        } else {
            if (!table) table = handle_table_counts();
            auto it = table->find(pe.th32ProcessID);
            if (it != table->end()) handles = it->second;
            from = L"table";
        }
        emit(Json().num("pid", pe.th32ProcessID).str("exe", pe.szExeFile).num("handles", handles)
                 .str("handles_from", from).num("threads", pe.cntThreads));
    }
    if (!found) fail(L"not found", L"no such process");
}

// Dialog base units of the system font: a dialog without its own font maps x dialog units to
// x * units.x / 4 pixels and y to y * units.y / 8.
void cmd_units(const Args&) {
    LONG u = GetDialogBaseUnits();
    emit(Json().num("x", LOWORD(u)).num("y", HIWORD(u)));
}

SIZE text_extent(HDC dc, const std::wstring& text) {
    SIZE size{};
    GetTextExtentPoint32W(dc, text.c_str(), int(text.size()), &size);
    return size;
}

std::string size_json(SIZE s) { return "[" + std::to_string(s.cx) + "," + std::to_string(s.cy) + "]"; }

// How wide and high each control's text draws in the control's own font (the system font when
// it has none), against its client rectangle: the whole text, the text without its trailing
// blanks (which draw nothing), and the height of that text broken at words to the client
// width, as a static control draws it. A font handle of another process
// means nothing here, so a control with a font of its own is reported as such and not measured.
void cmd_extents(const Args& a) {
    HWND h = resolve_target(a);
    HDC dc = GetDC(nullptr);
    if (!dc) fail(L"no device context");
    for (HWND c : descendants(h)) {
        auto text = window_text(c);
        if (!text || text->empty()) continue;
        DWORD_PTR font = 0;
        SendMessageTimeoutW(c, WM_GETFONT, 0, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs, &font);
        RECT client{};
        GetClientRect(c, &client);
        Json j;
        j.num("hwnd", (long long)hwnd_value(c)).num("id", GetDlgCtrlID(c)).str("class", class_name(c))
            .str("text", *text).raw("client", rect_json(client));
        if (font) {
            emit(j.flag("own_font", true));
            continue;
        }
        HGDIOBJ old = SelectObject(dc, GetStockObject(SYSTEM_FONT));
        const std::wstring trimmed = text->substr(0, text->find_last_not_of(L' ') + 1);
        RECT wrapped{0, 0, client.right, 0};
        DrawTextW(dc, trimmed.c_str(), int(trimmed.size()), &wrapped, DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX);
        wchar_t face[LF_FACESIZE] = {};
        GetTextFaceW(dc, LF_FACESIZE, face);
        j.flag("own_font", false)
            .str("face", face)
            .raw("extent", size_json(text_extent(dc, *text)))
            .raw("trimmed", size_json(text_extent(dc, trimmed)))
            .num("wrapped_height", wrapped.bottom);
        SelectObject(dc, old);
        emit(j);
    }
    ReleaseDC(nullptr, dc);
}

const std::map<std::wstring, Command>& commands() {
    static const std::map<std::wstring, Command> table = {
        {L"windows", cmd_windows}, {L"wait", cmd_wait},         {L"wait-gone", cmd_wait_gone},
        {L"controls", cmd_controls}, {L"get-text", cmd_get_text}, {L"set-text", cmd_set_text},
        {L"wait-text", cmd_wait_text}, {L"click", cmd_click},     {L"command", cmd_command},
        {L"items", cmd_items},     {L"select", cmd_select},     {L"check", cmd_check},
        {L"key", cmd_key},         {L"close", cmd_close},       {L"msgbox", cmd_msgbox},
        {L"show", cmd_show},       {L"move", cmd_move},
        {L"save-as", cmd_save_as}, {L"processes", cmd_processes}, {L"units", cmd_units},
        {L"extents", cmd_extents}, {L"counts", cmd_counts},
    };
    return table;
}

int run(const std::vector<std::wstring>& argv) {
    try {
        Args a = parse_args(argv);
        auto it = commands().find(a.command);
        if (it == commands().end()) usage(L"unknown command " + a.command);
        it->second(a);
        return 0;
    } catch (const Failure& f) {
        Json j;
        j.str("error", f.what);
        if (!f.detail.empty()) j.str("detail", f.detail);
        emit(j);
        return f.code;
    }
}

// Serve mode: one command per line, tab-separated fields with \t \n \r \\ escaped.
std::vector<std::wstring> split_line(const std::string& line) {
    std::vector<std::wstring> fields;
    std::string cur;
    for (size_t i = 0; i < line.size(); ++i) {
        char c = line[i];
        if (c == '\t') {
            fields.push_back(wide(cur));
            cur.clear();
        } else if (c == '\\' && i + 1 < line.size()) {
            char e = line[++i];
            cur += e == 't' ? '\t' : e == 'n' ? '\n' : e == 'r' ? '\r' : e;
        } else {
            cur += c;
        }
    }
    fields.push_back(wide(cur));
    return fields;
}

int serve() {
    std::string line;
    for (int c; (c = std::fgetc(stdin)) != EOF;) {
        if (c != '\n') {
            line += char(c);
            continue;
        }
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line == "quit") break;
        if (!line.empty()) {
            int rc = run(split_line(line));
            emit(Json().num("rc", rc));
            std::fflush(stdout);
        }
        line.clear();
    }
    return 0;
}

}  // namespace

int main() {
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stdin), _O_BINARY);
    int argc = 0;
    LPWSTR* argvw = CommandLineToArgvW(GetCommandLineW(), &argc);
    std::vector<std::wstring> args;
    for (int i = 1; i < argc; ++i) args.emplace_back(argvw[i]);
    LocalFree(argvw);
    if (args.size() == 1 && args[0] == L"serve") return serve();
    int rc = run(args);
    std::fflush(stdout);
    return rc;
}
