// probe_window: a small window with the kinds of controls the monitor has, on which the
// end-to-end machinery proves itself. Every action leaves a visible trace in the status line
// (id 1002) so a test can tell that it arrived. The exit code is the first argument (default 0);
// the argument "crash" makes it crash at once.
//
//   7  "Старт"   replaced by 8 "Пауза" at the same place when clicked
//   1  "Файл"    Save-As dialog; the chosen name goes to field 1001
//   5  "Ошибка"  message box captioned "Ошибка" without owner
//   6  "Диалог"  modal dialog Probe_Dlg that only OK (231) ends

#include <windows.h>
#include <commdlg.h>

#include <cstdlib>
#include <cwchar>
#include <string>

#include "probe_ids.h"

namespace {

HINSTANCE hin;
HWND status_line;
int exit_code;
std::wstring dialog_edit;  // what the dialog's edit held at OK

struct Child {
    int id;
    const wchar_t* cls;
    const wchar_t* text;
    DWORD style;
    int x, y, w, h;
};

const Child kChildren[] = {
    {PROBE_START, L"BUTTON", L"Старт", BS_PUSHBUTTON, 2, 0, 115, 20},
    {PROBE_FILE, L"BUTTON", L"Файл", BS_PUSHBUTTON, 120, 0, 115, 20},
    {PROBE_ERROR, L"BUTTON", L"Ошибка", BS_PUSHBUTTON, 238, 0, 115, 20},
    {PROBE_DIALOG, L"BUTTON", L"Диалог", BS_PUSHBUTTON, 356, 0, 115, 20},
    {PROBE_EDIT, L"EDIT", L"127.0.0.1", WS_BORDER | ES_LEFT, 2, 30, 200, 20},
    {PROBE_COMBO, L"COMBOBOX", L"", CBS_DROPDOWNLIST | CBS_HASSTRINGS | WS_VSCROLL, 210, 30, 100, 200},
    {PROBE_CHECK, L"BUTTON", L"Линии", BS_AUTOCHECKBOX, 320, 30, 80, 20},
    {PROBE_NAME_LABEL, L"STATIC", L"Имя сохраняемого файла: ", SS_LEFT, 2, 60, 188, 20},
    {PROBE_NAME, L"EDIT", L"", WS_BORDER | ES_MULTILINE | ES_AUTOVSCROLL | ES_READONLY, 192, 60, 400, 20},
    {PROBE_STATUS, L"STATIC", L"", SS_LEFT, 2, 90, 590, 20},
};

HWND make_child(HWND parent, const Child& c) {
    return CreateWindowExW(0, c.cls, c.text, WS_CHILD | WS_VISIBLE | c.style, c.x, c.y, c.w, c.h, parent,
                           reinterpret_cast<HMENU>(static_cast<INT_PTR>(c.id)), hin, nullptr);
}

void status(const std::wstring& text) { SetWindowTextW(status_line, text.c_str()); }

std::wstring text_of(HWND h) {
    wchar_t buf[512] = {};
    GetWindowTextW(h, buf, 512);
    return buf;
}

INT_PTR CALLBACK DlgProc(HWND dlg, UINT msg, WPARAM wp, LPARAM) {
    if (msg == WM_INITDIALOG) {
        SetDlgItemTextW(dlg, PROBE_EDIT, L"127.0.0.1");
        CheckDlgButton(dlg, PROBE_CHECK, BST_CHECKED);
        return TRUE;
    }
    // Only OK ends the dialog: Escape (IDCANCEL) and everything else leave it open.
    if (msg == WM_COMMAND && LOWORD(wp) == PROBE_OK) {
        dialog_edit = text_of(GetDlgItem(dlg, PROBE_EDIT));
        EndDialog(dlg, 0);
    }
    return FALSE;
}

void on_create(HWND hwnd) {
    for (const Child& c : kChildren) {
        HWND h = make_child(hwnd, c);
        if (c.id == PROBE_STATUS) status_line = h;
        if (c.id == PROBE_COMBO) {
            for (int i = 1; i <= 16; ++i) {
                wchar_t name[8];
                std::swprintf(name, 8, L"COM%d", i);
                SendMessageW(h, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name));
            }
            SendMessageW(h, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"Сервер"));
            SendMessageW(h, CB_SETCURSEL, 0, 0);
        }
    }
}

void on_start(HWND hwnd) {
    DestroyWindow(GetDlgItem(hwnd, PROBE_START));
    make_child(hwnd, Child{PROBE_PAUSE, L"BUTTON", L"Пауза", BS_PUSHBUTTON, 2, 0, 115, 20});
    status(L"старт");
}

void on_file(HWND hwnd) {
    wchar_t name[MAX_PATH] = L"проба.txt";
    OPENFILENAMEW ofn{};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = hwnd;
    ofn.lpstrFilter = L"Файлы с данными (.txt)\0*.txt\0";
    ofn.nFilterIndex = 1;
    ofn.lpstrFile = name;
    ofn.nMaxFile = MAX_PATH;
    ofn.lpstrDefExt = L"txt";
    if (GetSaveFileNameW(&ofn)) {
        SetDlgItemTextW(hwnd, PROBE_NAME, name);
        status(L"файл выбран");
    } else {
        status(L"файл не выбран");
    }
}

void on_error() {
    int r = MessageBoxW(nullptr, L"Невозможно запустить Блокнот", L"Ошибка", MB_OK);
    status(L"сообщение закрыто " + std::to_wstring(r));
}

void on_dialog(HWND hwnd) {
    INT_PTR r = DialogBoxParamW(hin, L"Probe_Dlg", hwnd, DlgProc, 0);
    status(L"диалог " + std::to_wstring(r) + L": " + dialog_edit);
}

void on_command(HWND hwnd, WPARAM wp) {
    const int id = LOWORD(wp), code = HIWORD(wp);
    if (id == PROBE_COMBO && code == CBN_SELCHANGE) {
        HWND combo = GetDlgItem(hwnd, PROBE_COMBO);
        wchar_t item[64] = {};
        LRESULT sel = SendMessageW(combo, CB_GETCURSEL, 0, 0);
        SendMessageW(combo, CB_GETLBTEXT, sel, reinterpret_cast<LPARAM>(item));
        status(std::wstring(L"выбрано: ") + item);
        return;
    }
    if (code != BN_CLICKED) return;
    switch (id) {
    case PROBE_START: on_start(hwnd); break;
    case PROBE_PAUSE: status(L"пауза"); break;
    case PROBE_FILE: on_file(hwnd); break;
    case PROBE_ERROR: on_error(); break;
    case PROBE_DIALOG: on_dialog(hwnd); break;
    case PROBE_CHECK:
        status(IsDlgButtonChecked(hwnd, PROBE_CHECK) ? L"линии: да" : L"линии: нет");
        break;
    default: break;
    }
}

LRESULT CALLBACK WinProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
    case WM_CREATE: on_create(hwnd); return 0;
    case WM_COMMAND: on_command(hwnd, wp); return 0;
    case WM_DESTROY: PostQuitMessage(exit_code); return 0;
    default: return DefWindowProcW(hwnd, msg, wp, lp);
    }
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR cmdline, int) {
    hin = instance;
    if (lstrcmpA(cmdline, "crash") == 0) {
        volatile int* nowhere = nullptr;
        *nowhere = 1;  // lets the harness prove that a crash ends the test program at once
    }
    exit_code = std::atoi(cmdline);
    WNDCLASSW wc{};
    wc.lpfnWndProc = WinProc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
    wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
    wc.lpszClassName = L"zk_probe";
    RegisterClassW(&wc);
    HWND hwnd = CreateWindowExW(0, L"zk_probe", L"Проба ZK-47", WS_OVERLAPPEDWINDOW, 0, 0, 600, 300, nullptr,
                                nullptr, instance, nullptr);
    if (!hwnd) return 100;
    ShowWindow(hwnd, SW_SHOW);
    MSG m;
    while (GetMessageW(&m, nullptr, 0, 0) > 0) {
        TranslateMessage(&m);
        DispatchMessageW(&m);
    }
    return int(m.wParam);
}
