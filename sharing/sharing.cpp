// Sharing's side of the server command (zksrv.cfg and the launcher thread), the poller's push
// and the quit. The port dialog and the label are the window's.
#include "sharing.h"

#include <cstdlib>
#include <string>

#include "commands.h"
#include "messages.h"
#include "monitor.h"
#include "sockets.h"

namespace {

int ServerFlag = 0;
std::int32_t port_int2 = 5000;
sockaddr_in server2{};
HANDLE hThread2 = nullptr;

// Runs the data server and waits for it; when it ends, so does the monitor: with code 0 when
// the server ended well, else with a box and code 1. A missing zksrv.exe is such a failure
// (the command processor's 9009): the readings were not shared.
DWORD WINAPI main_loop2(LPVOID) {
    // The outer quotes are the command processor's: it strips them and keeps the inner ones,
    // so a working directory with blanks works.
    const std::string command = "\"\"" + g_run.szWDir + "\\zksrv.exe\" " + std::to_string(secret) +
                                ' ' + std::to_string(port_int2) + '"';
    const int status = std::system(command.c_str());
    if (status != 0) {
        error_box(wide("Сервер данных завершился с кодом ") + std::to_wstring(status));
        exit_between_rows(1);
    }
    exit_between_rows(0);
}

}  // namespace

void wait_until_listening() {
    const DWORD start = GetTickCount();
    while (GetTickCount() - start < 5000) {
        net::Socket probe = net::Socket::tcp();
        const bool listening = probe.valid() && net::connect_within(probe, server2, 500);
        net::shutdown_both(probe);
        if (listening) return;
        Sleep(100);
    }
}

bool sharing_on() { return ServerFlag == 1; }
sockaddr_in local_server_address() { return net::ipv4_address(htonl(INADDR_LOOPBACK), port_int2); }
std::int32_t run_code() { return secret; }

std::int32_t server_port() { return port_int2; }

bool launch_server(std::int32_t port) {
    port_int2 = port;
    write_text_file(g_run.szWDir + "\\zksrv.cfg", std::to_string(port_int2));
    ServerFlag = 1;
    server2 = local_server_address();
    hThread2 = CreateThread(nullptr, 0, main_loop2, nullptr, 0, nullptr);
    return hThread2 != nullptr;
}

bool push_reply(std::string_view reply) {
    net::Socket s = net::Socket::tcp();
    if (!s.valid()) {
        pause_acquisition();
        error_box("Ошибка создания сокета");
        return false;
    }
    if (!net::connect_within(s, server2, PUSH_CONNECT_TIMEOUT_MS)) {
        s.close();
        pause_acquisition();
        error_box("Ошибка подключения к сокету");
        return false;
    }
    const std::string tmp1 = push_message(secret, reply);
    net::send_some(s, tmp1.data(), tmp1.size());
    net::shutdown_both(s);
    return true;
}

void quit_data_server() {
    if (hThread2) {
        TerminateThread(hThread2, 0);
        CloseHandle(hThread2);
        hThread2 = nullptr;
    }
    net::Socket s = net::Socket::tcp();
    if (!s.valid()) fatal("Ошибка создания сокета");
    if (!net::connect_within(s, local_server_address(), PUSH_CONNECT_TIMEOUT_MS))
        fatal("Ошибка подключения к сокету");
    const std::string tmp1 = quit_message(secret);
    net::send_some(s, tmp1.data(), tmp1.size());
    net::shutdown_both(s);
}
