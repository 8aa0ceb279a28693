#include "net.h"

sockaddr_in loopback_address(std::int32_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(std::uint16_t(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

namespace {

bool wait_for(SOCKET s, bool write, int timeout_ms) {
    fd_set set, err;
    FD_ZERO(&set);
    FD_ZERO(&err);
    FD_SET(s, &set);
    FD_SET(s, &err);
    timeval tv{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    const int n = select(0, write ? nullptr : &set, write ? &set : nullptr, &err, &tv);
    return n > 0 && FD_ISSET(s, &set) && !FD_ISSET(s, &err);
}

}  // namespace

bool connect_within(SOCKET s, const sockaddr_in& addr, int timeout_ms) {
    u_long nonblocking = 1;
    if (ioctlsocket(s, FIONBIO, &nonblocking) != 0) return false;
    bool ok = connect(s, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
    if (!ok && WSAGetLastError() == WSAEWOULDBLOCK && wait_for(s, true, timeout_ms)) {
        int error = 0;
        int len = sizeof error;
        ok = getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &len) == 0 &&
             error == 0;
    }
    u_long blocking = 0;
    ioctlsocket(s, FIONBIO, &blocking);
    return ok;
}

int recv_within(SOCKET s, char* buf, int len, int timeout_ms) {
    if (!wait_for(s, false, timeout_ms)) return -1;
    return recv(s, buf, len, 0);
}
