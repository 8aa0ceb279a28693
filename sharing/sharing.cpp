// Sharing's side of the server command (zksrv.cfg and the launcher thread) and the quit. The
// pushes are the pipeline's; the port dialog and the label are the window's.
#include "sharing.h"

#include <cstdlib>
#include <string>

#include "logs.h"
#include "messages.h"
#include "sockets.h"

// Runs the data server and waits for it; when it ends, so does the monitor: with code 0 when
// the server ended well, else with a box and code 1. A missing zksrv.exe is such a failure
// (the command processor's 9009): the readings were not shared.
DWORD WINAPI Sharing::main_loop2(LPVOID self) {
    Station& station = static_cast<Sharing*>(self)->station_;
    // The outer quotes are the command processor's: it strips them and keeps the inner ones,
    // so a working directory with blanks works.
    const std::string command = "\"\"" + station.run.szWDir + "\\zksrv.exe\" " +
                                std::to_string(station.secret) + ' ' + std::to_string(station.sharing.port) + '"';
    const int status = std::system(command.c_str());
    if (status != 0)
        station.events().fatal(("Сервер данных завершился с кодом " + std::to_string(status)).c_str());
    station.exit_between_rows(0);
}

void Sharing::wait_until_listening() {
    const sockaddr_in server2 = station_.local_server_address();
    const DWORD start = GetTickCount();
    while (GetTickCount() - start < 5000) {
        net::Socket probe = net::Socket::tcp();
        const bool listening = probe.valid() && net::connect_within(probe, server2, 500);
        net::shutdown_both(probe);
        if (listening) return;
        Sleep(100);
    }
}

bool Sharing::launch_server(std::int32_t port) {
    station_.sharing.port = port;
    write_text_file(station_.run.szWDir + "\\zksrv.cfg", std::to_string(port));
    station_.sharing.on = true;
    launcher_ = CreateThread(nullptr, 0, main_loop2, this, 0, nullptr);
    return launcher_ != nullptr;
}

void Sharing::quit_data_server() {
    if (launcher_) {
        TerminateThread(launcher_, 0);
        CloseHandle(launcher_);
        launcher_ = nullptr;
    }
    const char* failure = push_to_server(station_.local_server_address(), quit_message(station_.secret));
    if (failure) station_.events().fatal(failure);
}
