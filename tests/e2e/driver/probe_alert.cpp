// probe_alert threads|one COUNT: shows COUNT dialogs owned by a window of the main thread, as
// the monitor shows its alerts, each closed by a posted OK: from a new thread per dialog
// (threads) or all from one long-lived thread (one). After one dialog to load what any dialog
// needs, prints the process's working set six times on the way: "<mode> <dialogs> <KB>".
// Under Wine 8 a thread per dialog keeps memory; one thread does not.
// Exit codes: 0 done, 2 bad usage, 3 a dialog did not close within 10 s.

#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "probe_ids.h"

namespace {

constexpr UINT WM_DIALOG_OPEN = WM_APP + 1;  // to the main window; LPARAM is the dialog

HWND owner;
HANDLE next_dialog, dialog_closed;  // auto-reset: "one" mode's hand-over

SIZE_T working_set_kb() {
    PROCESS_MEMORY_COUNTERS c{};
    c.cb = sizeof c;
    return GetProcessMemoryInfo(GetCurrentProcess(), &c, sizeof c) ? c.WorkingSetSize / 1024 : 0;
}

INT_PTR CALLBACK dialog_proc(HWND dlg, UINT msg, WPARAM wp, LPARAM) {
    if (msg == WM_INITDIALOG) {
        PostMessageW(owner, WM_DIALOG_OPEN, 0, reinterpret_cast<LPARAM>(dlg));
        return TRUE;
    }
    if (msg == WM_COMMAND && LOWORD(wp) == PROBE_OK) EndDialog(dlg, 0);
    return FALSE;
}

void show_dialog() { DialogBoxParamW(GetModuleHandleW(nullptr), L"Probe_Dlg", owner, dialog_proc, 0); }

DWORD WINAPI one_dialog(LPVOID) {
    show_dialog();
    return 0;
}

DWORD WINAPI every_dialog(LPVOID) {
    for (;;) {
        WaitForSingleObject(next_dialog, INFINITE);
        show_dialog();
        SetEvent(dialog_closed);
    }
}

// The owner's thread: OK is posted to each dialog as it opens, as a driver's click would be.
LRESULT CALLBACK owner_proc(HWND w, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_DIALOG_OPEN) {
        PostMessageW(reinterpret_cast<HWND>(lp), WM_COMMAND, MAKEWPARAM(PROBE_OK, BN_CLICKED), 0);
        return 0;
    }
    return DefWindowProcW(w, msg, wp, lp);
}

bool pump_until(HANDLE done) {
    for (;;) {
        DWORD r = MsgWaitForMultipleObjects(1, &done, FALSE, 10000, QS_ALLINPUT);
        if (r == WAIT_OBJECT_0) return true;
        if (r != WAIT_OBJECT_0 + 1) return false;
        MSG m;
        while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&m);
    }
}

bool dialog(bool threads) {
    if (!threads) {
        SetEvent(next_dialog);
        return pump_until(dialog_closed);
    }
    HANDLE t = CreateThread(nullptr, 0, one_dialog, nullptr, 0, nullptr);
    if (!t) return false;
    bool closed = pump_until(t);
    CloseHandle(t);
    return closed;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3 || (std::strcmp(argv[1], "threads") != 0 && std::strcmp(argv[1], "one") != 0)) {
        std::fprintf(stderr, "usage: probe_alert threads|one COUNT\n");
        return 2;
    }
    const bool threads = std::strcmp(argv[1], "threads") == 0;
    const long count = std::strtol(argv[2], nullptr, 10);
    if (count < 5) return 2;
    HINSTANCE self = GetModuleHandleW(nullptr);
    WNDCLASSW wc{};
    wc.lpfnWndProc = owner_proc;
    wc.hInstance = self;
    wc.lpszClassName = L"ProbeAlertOwner";
    RegisterClassW(&wc);
    owner = CreateWindowW(L"ProbeAlertOwner", L"probe_alert", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 300,
                          200, nullptr, nullptr, self, nullptr);
    next_dialog = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    dialog_closed = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (!owner || !next_dialog || !dialog_closed) return 2;
    if (!threads) {
        HANDLE t = CreateThread(nullptr, 0, every_dialog, nullptr, 0, nullptr);
        if (!t) return 2;
        CloseHandle(t);
    }
    if (!dialog(threads)) return 3;
    for (long i = 0; i <= count; ++i) {
        if (i % (count / 5) == 0) {
            std::printf("%s %ld %lu\n", argv[1], i, static_cast<unsigned long>(working_set_kb()));
            std::fflush(stdout);
        }
        if (i < count && !dialog(threads)) return 3;
    }
    return 0;
}
