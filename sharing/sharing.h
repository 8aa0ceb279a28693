#pragma once
// Sharing the monitor's readings through a local data server that it starts, feeds and stops.
#include <cstdint>
#include <string_view>

#include <winsock2.h>

// How long a push or the quit waits for the local data server to take the connection.
constexpr int PUSH_CONNECT_TIMEOUT_MS = 5000;

bool sharing_on();
// The server command: asks for the port, writes zksrv.cfg, starts the server's launcher.
void start_sharing();
// The local data server's address as the serial reader copies it when it starts.
sockaddr_in local_server_address();
std::int32_t run_code();
// The poller's push of a new reading: the reply exactly as received. False when the exchange
// failed: acquisition is paused and the failure shown.
bool push_reply(std::string_view reply);
// At the window's destruction: stops the launcher and tells the server to quit.
void quit_data_server();
