// Entry, main window, start-up and shutdown of the monitor.
#include <cstring>

#include "alert.h"
#include "commands.h"
#include "layout.h"
#include "monitor.h"
#include "resource.h"
#include "settings_dialog.h"
#include "sharing.h"
#include "sockets.h"

namespace {

const wchar_t kClassName[] = L"zk47_monitor";
const wchar_t kTitle[] = L"Монитор ZK-47 Версия 1.0";

// The title says, without a box, that the meter's port is away: no one may be there to click.
void show_port_state(bool lost) {
    std::wstring title = kTitle;
    if (lost) title += wide(" — нет связи с прибором (" + station().settings.com0 + ")");
    SetWindowTextW(window.winhandler, title.c_str());
}

HWND make_child(const wchar_t* cls, const std::wstring& text, DWORD style, const Rect& r, int id,
                HWND parent) {
    return CreateWindowExW(0, cls, text.c_str(), WS_CHILD | WS_VISIBLE | style, r.x, r.y, r.w, r.h,
                           parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), window.hin,
                           nullptr);
}

// Labels of the columns, then per channel its label and eight cells, then the time cells.
void create_grid(HWND hwnd) {
    const bool secs = station().settings.OnlySeconds != 0;
    make_child(L"STATIC", wide(secs ? " Время,с" : " Время"), 0, header_rect(0), ID_HEADER_FIRST, hwnd);
    make_child(L"STATIC", wide("Вр.ZK-47"), 0, header_rect(1), ID_HEADER_FIRST + 1, hwnd);
    for (int n = 0; n < NCHAN; ++n) {
        const int col = n + 2;
        make_child(L"STATIC", wide(kChannelTitles[n]), 0, header_rect(col), ID_HEADER_FIRST + col, hwnd);
        for (int r = 0; r < GRID_ROWS; ++r)
            window.val_data[col][r] =
                make_child(L"EDIT", L"", WS_BORDER, cell_rect(col, r), cell_id(col, r), hwnd);
    }
    for (int r = 0; r < GRID_ROWS; ++r)
        for (int col = 0; col < 2; ++col)
            window.val_data[col][r] =
                make_child(L"EDIT", L"", WS_BORDER, cell_rect(col, r), cell_id(col, r), hwnd);
}

LRESULT on_create(HWND hwnd) {
    window.winhandler = hwnd;
    read_zkdrv_cfg();
    station().clear_grid();
    run_settings_dialog(hwnd);
    complete_run_setup();

    // Start and the server button are replaced later; the other buttons stay as they are.
    for (const ButtonSpec& b : kButtonRow) {
        const HWND h = make_child(L"BUTTON", wide(b.text), BS_PUSHBUTTON, b.rect, b.id, hwnd);
        if (b.id == ID_START) window.butt_start = h;
        if (b.id == ID_SERVER) window.server_butt = h;
    }
    create_grid(hwnd);
    make_child(L"STATIC", wide("Имя сохраняемого файла: "), SS_LEFT, kFileLabel, ID_FILE_LABEL, hwnd);
    window.file_name_real = make_child(L"EDIT", wide_ansi(station().current_log()),
                                WS_BORDER | WS_VSCROLL | ES_MULTILINE | ES_AUTOVSCROLL | ES_READONLY,
                                kFileField, ID_FILE_FIELD, hwnd);
    SetTimer(hwnd, RETRY_TIMER, RETRY_PERIOD_MS, nullptr);
    if (window.autostart) PostMessageW(hwnd, WM_COMMAND, MAKEWPARAM(ID_START, 0), 0);
    return 0;
}

LRESULT on_destroy() {
    // No poll may run under a box that the shutdown shows.
    KillTimer(window.winhandler, POLL_TIMER);
    KillTimer(window.winhandler, RETRY_TIMER);
    // Read before the reader is stopped: a reader terminated while logging would hold the lock.
    const ScriptNames s = station().current_scripts();
    window.serial_reader->stop();
    if (station().sharing.on) window.sharing->quit_data_server();
    if (station().settings.DeleteScripts) {
        if (!s.szPlt.empty()) DeleteFileA(s.szPlt.c_str());
        if (!s.szPld.empty()) DeleteFileA(s.szPld.c_str());
    }
    station().finish_logs();
    PostQuitMessage(0);
    return 0;
}

LRESULT CALLBACK WinProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
    case WM_CREATE: return on_create(hwnd);
    case WM_SIZE:
        restore();
        break;
    case WM_PAINT: {
        PAINTSTRUCT ps;
        BeginPaint(hwnd, &ps);
        EndPaint(hwnd, &ps);
        return 0;
    }
    case WM_COMMAND:
        on_command(LOWORD(wp), HIWORD(wp));
        return 0;
    case WM_TIMER:
        if (wp == RETRY_TIMER)
            station().retry_waiting_rows();
        else if (wp == POLL_TIMER)
            window.poller->tick();
        return 0;
    case WM_GRID_CHANGED:
        restore();
        return 0;
    case WM_PORT_STATE:
        show_port_state(wp != 0);
        return 0;
    case WM_WRITE_FAILED:
        show_write_failure(reinterpret_cast<std::string*>(lp));
        return 0;
    case WM_DESTROY: return on_destroy();
    }
    return DefWindowProcW(hwnd, msg, wp, lp);
}

void winclass() {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.style = CS_HREDRAW | CS_VREDRAW | CS_DBLCLKS;
    wc.lpfnWndProc = WinProc;
    wc.hInstance = window.hin;
    wc.hIcon = LoadIconW(window.hin, MAKEINTRESOURCEW(IDI_ZK47));
    wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
    wc.lpszClassName = kClassName;
    RegisterClassExW(&wc);
}

HWND makewin() {
    return CreateWindowExW(WS_EX_OVERLAPPEDWINDOW, kClassName, kTitle,
                           WS_OVERLAPPEDWINDOW, 0, 0, 870, 280, nullptr, nullptr, window.hin, nullptr);
}

void messageprocess() {
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR cmdline, int) {
    // The run's objects live until the message loop ends; the window reaches them through
    // its struct.
    WindowEvents events;
    Station station(events);
    SerialReader serial_reader(station);
    Poller poller(station);
    Sharing sharing(station);
    window.station = &station;
    window.serial_reader = &serial_reader;
    window.poller = &poller;
    window.sharing = &sharing;
    window.hin = instance;
    window.autostart = cmdline && std::strstr(cmdline, "--autostart") != nullptr;
    if (window.autostart) window.fatal_box_timeout_ms = 60000;
    const net::Library sockets;  // for the poller, sharing and the pushes, until the process ends
    if (sockets.error() != 0) fatal("Невозможно инициализировать библиотеку сокетов");
    winclass();
    window.winhandler = makewin();
    if (!window.winhandler) {
        // Closed while the settings dialog still waited (a stop request): its exit path has
        // run and left the quit message; nothing failed.
        MSG quit;
        if (PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_NOREMOVE)) return 0;
        fatal("Невозможно создать окно");
    }
    ShowWindow(window.winhandler, SW_SHOW);
    messageprocess();
    return 0;
}
