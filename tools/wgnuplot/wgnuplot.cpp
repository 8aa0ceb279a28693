// wgnuplot.exe, set in the monitor's working directory: the monitor starts
// "<working dir>\wgnuplot.exe" "<script>", and this program hands the script to a gnuplot.
//
// On Windows it starts an installed gnuplot on the script as given, found through the
// registry's App Paths, the usual program folders and PATH. Under Wine, when no Windows
// gnuplot is installed in the prefix, it starts the host's gnuplot instead: it writes a copy of
// the script with its Windows paths turned into host paths into %TEMP%\zk47-plots and starts
// the host's gnuplot on the copy. Wine cannot wait for a host program, so the copy is left
// behind and swept by a later start once it is old: gnuplot keeps its script open and a live
// graph's "reread" rewinds that open file, so a removed copy does not disturb a running graph.
// ZK_WGNUPLOT_WINDOWS=1 keeps to the Windows way under Wine, so that it can be tested there.
//
// Exit codes: 0 gnuplot started, 2 no script named, 3 script unreadable, 4 no gnuplot found,
// 5 copy not writable, 6 gnuplot not startable.
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "handle.h"
#include "script_copy.h"
#include "wide_text.h"

namespace {

// The monitor hands its paths to the narrow file functions, which read them in the process's
// ANSI code page: the script's path bytes mean what that code page says (1251 under a Russian
// locale, 1252 under Wine's default), not necessarily Windows-1251.
constexpr UINT PATH_CODE_PAGE = CP_ACP;
// Copies younger than this are kept: gnuplot may not have opened them yet.
constexpr ULONGLONG COPY_KEEP_MS = 10ull * 60 * 1000;
constexpr const char* HOST_GNUPLOTS[] = {"/usr/bin/gnuplot", "/usr/local/bin/gnuplot"};
// The window build first: the console one would open a console beside the graph.
constexpr const wchar_t* WINDOWS_GNUPLOTS[] = {L"wgnuplot.exe", L"gnuplot.exe"};
const wchar_t NO_GNUPLOT[] =
    L"Для графика нужна программа gnuplot, но она не найдена.\n"
    L"Установите gnuplot для Windows и повторите команду.";

struct FindCloser {
    void operator()(HANDLE h) const {
        if (h != INVALID_HANDLE_VALUE) FindClose(h);
    }
};

struct HeapFreer {
    void operator()(void* p) const { HeapFree(GetProcessHeap(), 0, p); }
};

struct LocalFreer {
    void operator()(void* p) const { LocalFree(p); }
};

// Any length: PATH is often longer than a path.
std::optional<std::wstring> env(const wchar_t* name) {
    const DWORD size = GetEnvironmentVariableW(name, nullptr, 0);
    if (size == 0) return std::nullopt;
    std::wstring value(size, L'\0');
    const DWORD n = GetEnvironmentVariableW(name, value.data(), size);
    if (n == 0 || n >= size) return std::nullopt;
    value.resize(n);
    return value;
}

// Wine's own exports for crossing between Windows and host paths.
class WinePaths {
public:
    WinePaths() {
        HMODULE k32 = GetModuleHandleW(L"kernel32.dll");
        if (!k32) return;
        to_unix_ = reinterpret_cast<ToUnix>(
            reinterpret_cast<void*>(GetProcAddress(k32, "wine_get_unix_file_name")));
        to_dos_ = reinterpret_cast<ToDos>(
            reinterpret_cast<void*>(GetProcAddress(k32, "wine_get_dos_file_name")));
    }
    bool available() const { return to_unix_ && to_dos_; }

    std::optional<std::string> unix_name(const std::wstring& dos) const {
        if (!to_unix_ || dos.empty()) return std::nullopt;
        std::unique_ptr<char, HeapFreer> p(to_unix_(dos.c_str()));
        if (!p) return std::nullopt;
        return std::string(p.get());
    }

    std::optional<std::wstring> dos_name(const std::string& unix_path) const {
        if (!to_dos_) return std::nullopt;
        std::unique_ptr<WCHAR, HeapFreer> p(to_dos_(unix_path.c_str()));
        if (!p) return std::nullopt;
        return std::wstring(p.get());
    }

private:
    using ToUnix = char*(CDECL*)(LPCWSTR);
    using ToDos = WCHAR*(CDECL*)(LPCSTR);
    ToUnix to_unix_ = nullptr;
    ToDos to_dos_ = nullptr;
};

// The monitor has no console to show what went wrong, so a box says it; unattended runs set
// ZK_WGNUPLOT_QUIET and get the text on standard error only.
int fail(int code, const std::wstring& text) {
    const std::string utf8 = "wgnuplot: " + narrow(text, CP_UTF8) + "\n";
    HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    if (err && err != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        WriteFile(err, utf8.data(), DWORD(utf8.size()), &written, nullptr);
    }
    if (!env(L"ZK_WGNUPLOT_QUIET"))
        MessageBoxW(nullptr, text.c_str(), L"Ошибка", MB_OK | MB_ICONERROR);
    return code;
}

// The script's path: one argument as the monitor quotes it; a path the caller did not quote
// arrives in pieces at its blanks and is put back together.
std::optional<std::wstring> script_argument() {
    int argc = 0;
    std::unique_ptr<LPWSTR, LocalFreer> argv(CommandLineToArgvW(GetCommandLineW(), &argc));
    if (!argv || argc < 2) return std::nullopt;
    std::wstring path = argv.get()[1];
    for (int i = 2; i < argc; ++i) path += L" " + std::wstring(argv.get()[i]);
    if (path.empty()) return std::nullopt;
    return path;
}

std::optional<std::string> read_script(const std::wstring& path) {
    Handle f(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!f) return std::nullopt;
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(f.get(), &size) || size.QuadPart < 0 ||
        std::size_t(size.QuadPart) > SCRIPT_CAPACITY)
        return std::nullopt;
    std::string bytes(std::size_t(size.QuadPart), '\0');
    DWORD got = 0;
    if (!bytes.empty() && (!ReadFile(f.get(), bytes.data(), DWORD(bytes.size()), &got, nullptr) ||
                           got != bytes.size()))
        return std::nullopt;
    return bytes;
}

ULONGLONG file_time_ms(const FILETIME& t) {
    return ((ULONGLONG(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 10000;
}

// Removes the copies that earlier starts left behind, once they are old enough.
void sweep_old_copies(const std::wstring& dir) {
    FILETIME now_ft;
    GetSystemTimeAsFileTime(&now_ft);
    const ULONGLONG now = file_time_ms(now_ft);
    WIN32_FIND_DATAW fd;
    std::unique_ptr<void, FindCloser> find(FindFirstFileW((dir + L"zk47-*").c_str(), &fd));
    if (find.get() == INVALID_HANDLE_VALUE) return;
    do {
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
        const ULONGLONG written = file_time_ms(fd.ftLastWriteTime);
        if (written + COPY_KEEP_MS < now) DeleteFileW((dir + fd.cFileName).c_str());
    } while (FindNextFileW(find.get(), &fd));
}

// A new file of ours in the copies folder, with an ASCII name so that it reaches gnuplot's
// command line intact whatever the host's locale.
std::optional<std::wstring> write_copy(const std::wstring& dir, bool live, const std::string& text) {
    SYSTEMTIME t;
    GetLocalTime(&t);
    for (unsigned n = 0; n < 100; ++n) {
        wchar_t name[96];
        swprintf(name, std::size(name), L"zk47-%04u%02u%02u-%02u%02u%02u-%lu-%u.%ls", t.wYear,
                 t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, GetCurrentProcessId(), n,
                 live ? L"plt" : L"pld");
        const std::wstring path = dir + name;
        Handle f(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                             FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!f) {
            if (GetLastError() == ERROR_FILE_EXISTS) continue;
            return std::nullopt;
        }
        DWORD written = 0;
        if (!WriteFile(f.get(), text.data(), DWORD(text.size()), &written, nullptr) ||
            written != text.size()) {
            f.reset();
            DeleteFileW(path.c_str());
            return std::nullopt;
        }
        return path;
    }
    return std::nullopt;
}

std::optional<std::wstring> copies_dir() {
    wchar_t temp[MAX_PATH + 1];
    const DWORD n = GetTempPathW(DWORD(std::size(temp)), temp);
    if (n == 0 || n > MAX_PATH) return std::nullopt;
    std::wstring dir(temp, n);
    if (dir.back() != L'\\') dir += L'\\';
    dir += L"zk47-plots\\";
    if (!CreateDirectoryW(dir.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
        return std::nullopt;
    return dir;
}

bool is_file(const std::wstring& path) {
    const DWORD attr = GetFileAttributesW(path.c_str());
    return attr != INVALID_FILE_ATTRIBUTES && !(attr & FILE_ATTRIBUTE_DIRECTORY);
}

std::wstring full_path(const std::wstring& path) {
    wchar_t buf[MAX_PATH * 4];
    const DWORD n = GetFullPathNameW(path.c_str(), DWORD(std::size(buf)), buf, nullptr);
    return n == 0 || n >= std::size(buf) ? path : std::wstring(buf, n);
}

// A Windows gnuplot, never this program itself (the working directory may be on PATH).
class WindowsGnuplots {
public:
    WindowsGnuplots() {
        wchar_t buf[MAX_PATH * 4];
        const DWORD n = GetModuleFileNameW(nullptr, buf, DWORD(std::size(buf)));
        if (n > 0 && n < std::size(buf)) self_ = full_path(std::wstring(buf, n));
    }

    std::optional<std::wstring> find() const {
        for (const wchar_t* name : WINDOWS_GNUPLOTS)
            if (auto found = app_path(name)) return found;
        for (const wchar_t* base : {L"ProgramFiles", L"ProgramW6432", L"ProgramFiles(x86)"})
            if (auto dir = env(base))
                if (auto found = in_program_folder(*dir)) return found;
        if (auto local = env(L"LOCALAPPDATA"))
            if (auto found = in_program_folder(*local + L"\\Programs")) return found;
        return on_path();
    }

private:
    std::optional<std::wstring> usable(const std::wstring& path) const {
        if (path.empty() || !is_file(path)) return std::nullopt;
        const std::wstring full = full_path(path);
        if (lstrcmpiW(full.c_str(), self_.c_str()) == 0) return std::nullopt;
        return full;
    }

    // An installer's own record of where the program is: the key's default value (a
    // REG_EXPAND_SZ one comes expanded).
    std::optional<std::wstring> app_path(const wchar_t* name) const {
        const std::wstring key = std::wstring(L"Software\\Microsoft\\Windows\\CurrentVersion\\App Paths\\") + name;
        for (HKEY root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) {
            wchar_t value[MAX_PATH * 2];
            DWORD size = sizeof value;
            if (RegGetValueW(root, key.c_str(), nullptr, RRF_RT_REG_SZ, nullptr,
                             value, &size) != ERROR_SUCCESS)
                continue;
            std::wstring path(value);
            if (path.size() >= 2 && path.front() == L'"' && path.back() == L'"')
                path = path.substr(1, path.size() - 2);
            if (auto found = usable(path)) return found;
        }
        return std::nullopt;
    }

    // <base>\gnuplot*\bin\wgnuplot.exe, as gnuplot's Windows installer lays it out.
    std::optional<std::wstring> in_program_folder(const std::wstring& base) const {
        WIN32_FIND_DATAW fd;
        std::unique_ptr<void, FindCloser> find(FindFirstFileW((base + L"\\gnuplot*").c_str(), &fd));
        if (find.get() == INVALID_HANDLE_VALUE) return std::nullopt;
        do {
            if (!(fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) continue;
            for (const wchar_t* name : WINDOWS_GNUPLOTS)
                if (auto found = usable(base + L"\\" + fd.cFileName + L"\\bin\\" + name)) return found;
        } while (FindNextFileW(find.get(), &fd));
        return std::nullopt;
    }

    std::optional<std::wstring> on_path() const {
        const auto path = env(L"PATH");
        if (!path) return std::nullopt;
        for (const wchar_t* name : WINDOWS_GNUPLOTS) {
            std::size_t start = 0;
            while (start <= path->size()) {
                std::size_t end = path->find(L';', start);
                if (end == std::wstring::npos) end = path->size();
                std::wstring dir = path->substr(start, end - start);
                if (dir.size() >= 2 && dir.front() == L'"' && dir.back() == L'"') dir = dir.substr(1, dir.size() - 2);
                if (!dir.empty()) {
                    if (dir.back() != L'\\') dir += L'\\';
                    if (auto found = usable(dir + name)) return found;
                }
                start = end + 1;
            }
        }
        return std::nullopt;
    }

    std::wstring self_;
};

// A Windows gnuplot reads the script the monitor wrote, on its own path.
int start_windows_gnuplot(const std::wstring& program, const std::wstring& script) {
    std::wstring line = L"\"" + program + L"\" \"" + script + L"\"";
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return fail(6, L"Не удаётся запустить gnuplot: " + program);
    Handle process(pi.hProcess), thread(pi.hThread);
    return 0;
}

// The host's gnuplot as a Windows path: ZK_GNUPLOT (a host path) if set, else the usual places.
std::optional<std::wstring> find_gnuplot(const WinePaths& wine, std::wstring& looked_at) {
    std::vector<std::string> candidates;
    if (auto chosen = env(L"ZK_GNUPLOT")) candidates.push_back(narrow(*chosen, CP_UTF8));
    else candidates.assign(std::begin(HOST_GNUPLOTS), std::end(HOST_GNUPLOTS));
    for (const auto& c : candidates) {
        if (!looked_at.empty()) looked_at += L", ";
        looked_at += widen(c, CP_UTF8);
        auto dos = wine.dos_name(c);
        if (!dos) continue;
        if (is_file(*dos)) return dos;
    }
    return std::nullopt;
}

bool start_gnuplot(const std::wstring& program, const std::string& unix_script, bool live) {
    // The live graph gets the plain X window terminal unless the user chose one; the
    // snapshot names its own terminal, and without a display no window can open anyway.
    if (live && env(L"DISPLAY") && !env(L"GNUTERM")) SetEnvironmentVariableW(L"GNUTERM", L"x11");
    std::wstring line = L"\"" + program + L"\" \"" + widen(unix_script, CP_UTF8) + L"\"";
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return false;
    // Wine hands back no usable handles for a host program; close whatever came.
    Handle process(pi.hProcess), thread(pi.hThread);
    return true;
}

int run() {
    const auto script_path = script_argument();
    if (!script_path) return fail(2, L"Не указан сценарий gnuplot.");
    const auto script = read_script(*script_path);
    if (!script) return fail(3, L"Не удаётся прочитать сценарий:\n" + *script_path);

    if (auto gnuplot = WindowsGnuplots().find()) return start_windows_gnuplot(*gnuplot, *script_path);
    const WinePaths wine;
    if (!wine.available() || env(L"ZK_WGNUPLOT_WINDOWS")) return fail(4, NO_GNUPLOT);

    const HostScript host = host_script(*script, [&](std::string_view windows_path) {
        return wine.unix_name(widen(windows_path, PATH_CODE_PAGE));
    });

    std::wstring looked_at;
    const auto gnuplot = find_gnuplot(wine, looked_at);
    if (!gnuplot) return fail(6, L"Не найден gnuplot (" + looked_at + L").");

    const auto dir = copies_dir();
    if (!dir) return fail(5, L"Не удаётся создать папку для копии сценария во временной папке.");
    sweep_old_copies(*dir);
    const auto copy = write_copy(*dir, host.live, host.text);
    if (!copy) return fail(5, L"Не удаётся записать копию сценария в " + *dir);
    const auto unix_copy = wine.unix_name(*copy);
    if (!unix_copy || !start_gnuplot(*gnuplot, *unix_copy, host.live)) {
        DeleteFileW(copy->c_str());
        return fail(6, L"Не удаётся запустить gnuplot: " + *gnuplot);
    }
    return 0;
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) { return run(); }
