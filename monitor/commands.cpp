// Commands of the button row: File, Graph, Snapshot, Journal, Start, Pause, Continue and the
// server button. Start, Pause and Continue replace the first button.
#include "commands.h"

#include "platform.h"

#include <commdlg.h>

#include "command_lines.h"
#include "layout.h"
#include "monitor.h"
#include "numbers.h"
#include "resource.h"
#include "sharing.h"

namespace {

HWND replace_first_button(HWND& old, const char* text, int id) {
    DestroyWindow(old);
    old = nullptr;
    return CreateWindowExW(0, L"BUTTON", wide(text).c_str(), WS_CHILD | WS_VISIBLE, kStartButton.x,
                           kStartButton.y, kStartButton.w, kStartButton.h, window.winhandler,
                           reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), window.hin, nullptr);
}

// Starts a program on a command line; the monitor neither waits for it nor keeps its handles.
bool start_program(const std::string& command) {
    std::string line = command;  // CreateProcessA may write into its command line
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return false;
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    return true;
}

// The server port dialog: lParam points at the port, which a text that is no number leaves
// as it was.
INT_PTR CALLBACK DlgProc2(HWND dlg, UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
    case WM_INITDIALOG:
        SetWindowLongPtrW(dlg, DWLP_USER, lp);
        SetDlgItemTextA(dlg, IDC_SRV_PORT, "5000");
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wp) == IDC_SRV_OK) {
            char port2[PORT_CAPACITY + 1] = {};
            GetDlgItemTextA(dlg, IDC_SRV_PORT, port2, sizeof port2);
            scan_int(port2, *reinterpret_cast<std::int32_t*>(GetWindowLongPtrW(dlg, DWLP_USER)));
            EndDialog(dlg, 0);
        }
        return FALSE;
    }
    return FALSE;
}

// The server command: the port, the launcher, and the label in the button's place.
void on_server() {
    std::int32_t port = window.sharing->server_port();
    DialogBoxParamW(window.hin, L"Ex5_Dlg", window.winhandler, DlgProc2,
                    reinterpret_cast<LPARAM>(&port));
    DestroyWindow(window.server_butt);
    window.server_butt = nullptr;
    const bool launched = window.sharing->launch_server(port);
    CreateWindowExW(0, L"STATIC", wide("Сервер запущен!").c_str(), WS_CHILD | WS_VISIBLE, kServerButton.x,
                    kServerButton.y, kServerButton.w, kServerButton.h, window.winhandler,
                    reinterpret_cast<HMENU>(ID_SERVER_LABEL), window.hin, nullptr);
    if (!launched) fatal("Невозможно создать поток");
    window.sharing->wait_until_listening();
}

void run_gnuplot(const char* ext) {
    const std::string script = derived_name(station().current_log(), ext);
    const auto command = viewer_command(station().run.szGnuplotStart, script);
    if (!command || !start_program(*command)) error_box("Невозможно запустить Gnuplot");
}

void on_journal() {
    const auto command = viewer_command("notepad", station().current_log());
    if (!command || !start_program(*command)) error_box("Невозможно запустить Блокнот");
}

void on_file() {
    char path[PATH_CAPACITY + 1] = {};
    const std::string current = station().current_log();
    current.copy(path, PATH_CAPACITY);
    const std::wstring wfilter = wide("Файлы с данными (.txt)") + L'\0' + L"*.txt" + L'\0';
    wchar_t wpath[PATH_CAPACITY + 1] = {};
    MultiByteToWideChar(CP_ACP, 0, path, -1, wpath, PATH_CAPACITY + 1);
    const std::wstring initial = wide_ansi(station().run.szDDir1);
    OPENFILENAMEW ofn{};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = window.winhandler;
    ofn.lpstrFilter = wfilter.c_str();
    ofn.nFilterIndex = 1;
    ofn.lpstrFile = wpath;
    ofn.nMaxFile = PATH_CAPACITY + 1;
    ofn.lpstrInitialDir = initial.c_str();
    ofn.lpstrDefExt = L"txt";
    if (!GetSaveFileNameW(&ofn)) return;

    // Paths are kept in the ANSI code page, as the logs are opened with it.
    char chosen[PATH_CAPACITY * 2 + 1] = {};
    WideCharToMultiByte(CP_ACP, 0, wpath, -1, chosen, sizeof chosen - 1, nullptr, nullptr);
    const std::optional<std::string> name = chosen_log_name(chosen);
    if (!name) {
        error_box("Слишком длинное имя файла: журнал остаётся прежним");
        return;
    }
    window.FileFlag = 1;
    SetWindowTextW(window.file_name_real, wide_ansi(*name).c_str());
    station().prepare_log_file(&*name);
}

void on_start() {
    DestroyWindow(window.butt_start);
    window.butt_start = nullptr;
    if (window.server_butt) {
        DestroyWindow(window.server_butt);
        window.server_butt = nullptr;
    }
    HWND none = nullptr;
    window.butt_stop = replace_first_button(none, "Пауза", ID_PAUSE);
    station().NotPausedFlag = 1;
    // The headers go first: lines already waiting on the port reach the reader at once, and its
    // second line could otherwise be logged before them (and before the CSV log has a name).
    if (window.FileFlag == 0) station().prepare_log_file(nullptr);
    if (station().settings.location == SERVER_LOCATION)
        window.poller->start();
    else
        window.serial_reader->start();
}

void on_pause() {
    station().NotPausedFlag = 0;
    window.butt_cont = replace_first_button(window.butt_stop, "Продолжить", ID_CONTINUE);
}

void on_continue() {
    station().NotPausedFlag = 1;
    window.butt_stop = replace_first_button(window.butt_cont, "Пауза", ID_PAUSE);
}

}  // namespace

void pause_acquisition() {
    if (window.butt_stop) on_pause();
}

void on_command(int id, int notification) {
    if (notification != 0) return;
    switch (id) {
    case ID_FILE: on_file(); break;
    case ID_GRAPH: run_gnuplot("plt"); break;
    case ID_SNAPSHOT: run_gnuplot("pld"); break;
    case ID_JOURNAL: on_journal(); break;
    case ID_SERVER: if (window.server_butt) on_server(); break;
    case ID_START: if (window.butt_start) on_start(); break;
    case ID_PAUSE: if (window.butt_stop) on_pause(); break;
    case ID_CONTINUE: if (window.butt_cont) on_continue(); break;
    }
}
