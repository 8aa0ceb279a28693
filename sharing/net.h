#pragma once
// TCP client helpers of the monitor: an owned socket and exchanges with bounded waits.
#include <winsock2.h>

#include <cstdint>

class Socket {
public:
    Socket() : s_(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP)) {}
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    ~Socket() { close(); }
    bool valid() const { return s_ != INVALID_SOCKET; }
    SOCKET get() const { return s_; }
    // Shuts the connection down in both directions and closes it.
    void close() {
        if (s_ == INVALID_SOCKET) return;
        shutdown(s_, SD_BOTH);
        closesocket(s_);
        s_ = INVALID_SOCKET;
    }

private:
    SOCKET s_;
};

// How long a push or the quit waits for the local data server to take the connection.
constexpr int kPushConnectTimeoutMs = 5000;

// 127.0.0.1 at the low 16 bits of port.
sockaddr_in loopback_address(std::int32_t port);

// Connects, waiting at most timeout_ms for the peer; the socket stays blocking afterwards.
bool connect_within(SOCKET s, const sockaddr_in& addr, int timeout_ms);
// One receive, waiting at most timeout_ms for data; the byte count, or -1 on time-out or error.
int recv_within(SOCKET s, char* buf, int len, int timeout_ms);
