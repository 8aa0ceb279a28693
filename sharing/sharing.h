#pragma once
// The local data server that shares the monitor's readings: started and stopped here, fed by
// the pipeline.
#include <winsock2.h>
#include <windows.h>

#include <cstdint>

#include "station.h"

// Written by the GUI thread alone (the server command, then the shutdown).
class Sharing {
public:
    explicit Sharing(Station& station) : station_(station) {}
    // The local data server's port: 5000 until the server command chooses one.
    std::int32_t server_port() const { return station_.sharing.port; }
    // The server command once its port is chosen: writes zksrv.cfg, turns sharing on and starts
    // the launcher thread, which ends the monitor when the server ends. False when the thread
    // could not be created.
    bool launch_server(std::int32_t port);
    // Gives the server a few seconds to listen: a reading pushed before it does would end the
    // monitor ("Ошибка подключения к сокету"), and under Wine the server takes a second or two.
    void wait_until_listening();
    // At the window's destruction: stops the launcher and tells the server to quit.
    void quit_data_server();

private:
    static DWORD WINAPI main_loop2(LPVOID self);
    Station& station_;
    HANDLE launcher_ = nullptr;
};
