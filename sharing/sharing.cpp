// Sharing's side of the server command (zksrv.cfg and the launcher thread) and the quit. The
// pushes are the pipeline's; the port dialog and the label are the window's.
#include "sharing.h"

#include <cstdlib>
#include <string>

#include "logs.h"
#include "messages.h"
#include "sockets.h"
#include "station.h"

namespace {

// Runs the data server and waits for it; when it ends, so does the monitor: with code 0 when
// the server ended well, else with a box and code 1. A missing zksrv.exe is such a failure
// (the command processor's 9009): the readings were not shared.
DWORD WINAPI main_loop2(LPVOID) {
    // The outer quotes are the command processor's: it strips them and keeps the inner ones,
    // so a working directory with blanks works.
    const std::string command = "\"\"" + g_run.szWDir + "\\zksrv.exe\" " + std::to_string(secret) +
                                ' ' + std::to_string(g_sharing.port) + '"';
    const int status = std::system(command.c_str());
    if (status != 0)
        station_events().fatal(("Сервер данных завершился с кодом " + std::to_string(status)).c_str());
    exit_between_rows(0);
}

}  // namespace

void wait_until_listening() {
    const sockaddr_in server2 = local_server_address();
    const DWORD start = GetTickCount();
    while (GetTickCount() - start < 5000) {
        net::Socket probe = net::Socket::tcp();
        const bool listening = probe.valid() && net::connect_within(probe, server2, 500);
        net::shutdown_both(probe);
        if (listening) return;
        Sleep(100);
    }
}

std::int32_t server_port() { return g_sharing.port; }

bool launch_server(std::int32_t port) {
    g_sharing.port = port;
    write_text_file(g_run.szWDir + "\\zksrv.cfg", std::to_string(g_sharing.port));
    g_sharing.on = true;
    g_sharing.launcher = CreateThread(nullptr, 0, main_loop2, nullptr, 0, nullptr);
    return g_sharing.launcher != nullptr;
}

void quit_data_server() {
    if (g_sharing.launcher) {
        TerminateThread(g_sharing.launcher, 0);
        CloseHandle(g_sharing.launcher);
        g_sharing.launcher = nullptr;
    }
    net::Socket s = net::Socket::tcp();
    if (!s.valid()) station_events().fatal("Ошибка создания сокета");
    if (!net::connect_within(s, local_server_address(), PUSH_CONNECT_TIMEOUT_MS))
        station_events().fatal("Ошибка подключения к сокету");
    const std::string tmp1 = quit_message(secret);
    net::send_some(s, tmp1.data(), tmp1.size());
    net::shutdown_both(s);
}
