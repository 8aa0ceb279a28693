// The settings dialog: what it shows, and the run's set-up when it is confirmed.
#include "settings_dialog.h"

#include <ctime>

#include "monitor.h"
#include "resource.h"

namespace {

std::string item_text(HWND dlg, int id, std::size_t capacity) {
    std::string buf(capacity + 1, '\0');
    const int n = GetDlgItemTextA(dlg, id, buf.data(), int(capacity + 1));
    buf.resize(std::size_t(n > 0 ? n : 0));
    return buf;
}

void on_init(HWND dlg) {
    station().settings = settings_from_zk47_cfg(read_small_file("zk47.cfg"));
    // Seeded once per run, so every run and station gets its own code.
    const unsigned seed = unsigned(std::time(nullptr)) ^ (unsigned(GetCurrentProcessId()) << 16);
    station().secret = draw_secret(seed);
    const DialogState d = dialog_state(station().settings);
    HWND combo = GetDlgItem(dlg, IDC_SOURCE);
    for (int i = 0; i <= SERVER_LOCATION; ++i)
        SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(wide(combo_entry(i)).c_str()));
    SendMessageW(combo, CB_SETCURSEL, WPARAM(d.selected), 0);
    SetDlgItemTextA(dlg, IDC_IP, d.ip.c_str());
    SetDlgItemTextA(dlg, IDC_PORT, d.port.c_str());
    SetDlgItemTextA(dlg, IDC_PERIOD, d.period.c_str());
    SetDlgItemTextA(dlg, IDC_GPERIOD, d.gperiod.c_str());
    CheckDlgButton(dlg, IDC_LINES, BST_CHECKED);
    CheckDlgButton(dlg, IDC_POINTS, BST_CHECKED);
    if (window.autostart) PostMessageW(dlg, WM_COMMAND, MAKEWPARAM(IDC_SETTINGS_OK, BN_CLICKED), 0);
}

void on_confirm(HWND dlg) {
    DialogState d;
    HWND combo = GetDlgItem(dlg, IDC_SOURCE);
    d.selected = int(SendMessageA(combo, CB_GETCURSEL, 0, 0));
    if (d.selected < 0 || d.selected > SERVER_LOCATION) d.selected = 0;
    char entry[64] = {};
    if (SendMessageA(combo, CB_GETLBTEXTLEN, WPARAM(d.selected), 0) < LRESULT(sizeof entry))
        SendMessageA(combo, CB_GETLBTEXT, WPARAM(d.selected), reinterpret_cast<LPARAM>(entry));
    d.selected_text = entry;
    d.ip = item_text(dlg, IDC_IP, IP_CAPACITY);
    d.port = item_text(dlg, IDC_PORT, PORT_CAPACITY);
    d.period = item_text(dlg, IDC_PERIOD, PERIOD_CAPACITY);
    d.gperiod = item_text(dlg, IDC_GPERIOD, PERIOD_CAPACITY);
    d.lines = IsDlgButtonChecked(dlg, IDC_LINES) == BST_CHECKED;
    d.points = IsDlgButtonChecked(dlg, IDC_POINTS) == BST_CHECKED;
    d.delete_scripts = IsDlgButtonChecked(dlg, IDC_DELETE_SCRIPTS) == BST_CHECKED;
    d.only_seconds = IsDlgButtonChecked(dlg, IDC_ONLY_SECONDS) == BST_CHECKED;
    confirm_settings(d, window.zkdrv_port, station().settings);

    char wdir[MAX_PATH + 1] = {};
    const DWORD n = GetCurrentDirectoryA(sizeof wdir, wdir);
    std::optional<RunSetup> run;
    if (n > 0 && n <= PATH_CAPACITY) run = make_run_setup(wdir, std::time(nullptr));
    // Checked before anything is written: the default log path must fit a path buffer.
    if (!run) fatal("Слишком длинный путь рабочего каталога");
    station().run = *run;
    create_run_dirs(station().run);
    write_text_file("zk47.cfg", zk47_cfg_text(station().settings));
    EndDialog(dlg, 0);
}

INT_PTR CALLBACK DlgProc(HWND dlg, UINT msg, WPARAM wp, LPARAM) {
    switch (msg) {
    case WM_INITDIALOG:
        on_init(dlg);
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wp) == IDC_SETTINGS_OK) on_confirm(dlg);
        return FALSE;
    }
    return FALSE;
}

}  // namespace

void read_zkdrv_cfg() { window.zkdrv_port = zkdrv_port(read_small_file("zkdrv.cfg")); }

void run_settings_dialog(HWND owner) {
    DialogBoxParamW(window.hin, L"Ex4_Dlg", owner, DlgProc, 0);
}

void complete_run_setup() {
    station().set_default_log(station().run.szFile);
    const Settings& s = station().settings;
    if (s.location == SERVER_LOCATION) station().server1 = net::ipv4_address(inet_addr(s.ip0.c_str()), s.port);
}
