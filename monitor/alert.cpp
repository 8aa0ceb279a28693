// The sensor fault alert: "Внимание!" naming the channels in ERROR; OK acknowledges it and
// clears every latch.
#include "alert.h"

#include <memory>

#include "monitor.h"
#include "resource.h"

namespace {

INT_PTR CALLBACK DlgProc3(HWND dlg, UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
    case WM_INITDIALOG:
        // The list of the reading that raised the alert, not of a later one.
        SetDlgItemTextA(dlg, IDC_ALERT_LIST, reinterpret_cast<const std::string*>(lp)->c_str());
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wp) == IDC_ALERT_OK) {
            acknowledge_faults();
            EndDialog(dlg, 0);
        }
        return FALSE;
    }
    return FALSE;
}

void show_alert(const std::string& list) {
    DialogBoxParamW(hin, L"Ex6_Dlg", winhandler, DlgProc3, reinterpret_cast<LPARAM>(&list));
}

DWORD WINAPI check_sens(LPVOID param) {
    std::unique_ptr<std::string> list(static_cast<std::string*>(param));
    show_alert(*list);
    return 0;
}

}  // namespace

void raise_alert_async(const std::string& list) {
    auto* owned = new std::string(list);
    HANDLE t = CreateThread(nullptr, 0, check_sens, owned, 0, nullptr);
    if (!t) {
        delete owned;
        error_box("Невозможно создать процесс");
        return;
    }
    CloseHandle(t);
}

void raise_alert_modal(const std::string& list) { show_alert(list); }
