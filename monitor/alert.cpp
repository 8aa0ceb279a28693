// The sensor fault alert: "Внимание!" naming the channels in ERROR; OK acknowledges it and
// clears every latch.
//
// Serial path: one alert thread, started with the first alert and kept for the life of the
// process, shows every alert as a dialog of its own, owned by the main window; several can be
// open at once and the main window takes no input while any is. A thread per alert, as before,
// left Wine 8 holding memory for each thread that had shown a dialog (see probe_alert).
#include "alert.h"

#include <memory>

#include "monitor.h"
#include "resource.h"

namespace {

// Thread message to the alert thread; its LPARAM is a std::string the thread takes over.
constexpr UINT WM_SHOW_ALERT = WM_APP + 20;

struct AlertInit {
    const std::string* list;
    bool modeless;  // shown by the alert thread rather than by DialogBoxParamW
};

void close_modeless(HWND dlg) {
    DestroyWindow(dlg);
    window.open_alerts.erase(dlg);
    if (window.open_alerts.empty()) EnableWindow(window.winhandler, TRUE);
}

INT_PTR CALLBACK DlgProc3(HWND dlg, UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
    case WM_INITDIALOG: {
        const auto* init = reinterpret_cast<const AlertInit*>(lp);
        SetWindowLongPtrW(dlg, DWLP_USER, init->modeless);
        // The list of the reading that raised the alert, not of a later one.
        SetDlgItemTextA(dlg, IDC_ALERT_LIST, init->list->c_str());
        return TRUE;
    }
    case WM_COMMAND:
        if (LOWORD(wp) == IDC_ALERT_OK) {
            station().acknowledge_faults();
            if (GetWindowLongPtrW(dlg, DWLP_USER))
                close_modeless(dlg);
            else
                EndDialog(dlg, 0);
        }
        return FALSE;
    }
    return FALSE;
}

void open_alert(std::unique_ptr<std::string> list) {
    AlertInit init{list.get(), true};
    HWND dlg = CreateDialogParamW(window.hin, L"Ex6_Dlg", window.winhandler, DlgProc3,
                                  reinterpret_cast<LPARAM>(&init));
    if (!dlg) return;
    window.open_alerts.insert(dlg);
    EnableWindow(window.winhandler, FALSE);
    ShowWindow(dlg, SW_SHOW);
}

DWORD WINAPI check_sens(LPVOID ready) {
    MSG msg;
    PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);  // the queue the reader posts alerts to
    SetEvent(static_cast<HANDLE>(ready));
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (!msg.hwnd && msg.message == WM_SHOW_ALERT) {
            open_alert(std::unique_ptr<std::string>(reinterpret_cast<std::string*>(msg.lParam)));
            continue;
        }
        // Keys as in a modal dialog: Enter presses OK, Esc does nothing.
        HWND root = msg.hwnd ? GetAncestor(msg.hwnd, GA_ROOT) : nullptr;
        if (root && window.open_alerts.count(root) && IsDialogMessageW(root, &msg)) continue;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return 0;
}

bool start_alert_thread() {
    HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!ready) return false;
    DWORD id = 0;
    HANDLE t = CreateThread(nullptr, 0, check_sens, ready, 0, &id);
    if (t) {
        // Only until the thread has its message queue: it waits for nothing before that.
        WaitForSingleObject(ready, INFINITE);
        CloseHandle(t);
        window.alert_thread_id = id;
    }
    CloseHandle(ready);
    return t != nullptr;
}

}  // namespace

void raise_alert_async(const std::string& list) {
    if (!window.alert_thread_id && !start_alert_thread()) {
        error_box("Невозможно создать процесс");
        return;
    }
    auto* owned = new std::string(list);
    const LPARAM message = reinterpret_cast<LPARAM>(owned);
    if (!PostThreadMessageW(window.alert_thread_id, WM_SHOW_ALERT, 0, message)) {
        delete owned;
        error_box("Невозможно создать процесс");
    }
}

void raise_alert_modal(const std::string& list) {
    AlertInit init{&list, false};
    DialogBoxParamW(window.hin, L"Ex6_Dlg", window.winhandler, DlgProc3,
                    reinterpret_cast<LPARAM>(&init));
}
