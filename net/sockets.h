#pragma once
// The little that differs between Winsock and BSD sockets, a socket that closes itself, and
// connects and receives with a time limit. Shared by every program; IPv4 TCP only.
#ifdef _WIN32
#include <winsock2.h>
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#endif

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>

namespace net {

#ifdef _WIN32
using socket_t = SOCKET;
inline constexpr socket_t no_socket = INVALID_SOCKET;
using poll_entry = WSAPOLLFD;
#else
using socket_t = int;
inline constexpr socket_t no_socket = -1;
using poll_entry = pollfd;
#endif

// Starts the platform's socket library (Winsock 2.2) for the life of the object.
class Library {
public:
    Library() {
#ifdef _WIN32
        WSADATA data;
        error_ = WSAStartup(MAKEWORD(2, 2), &data);
#endif
    }
    ~Library() {
#ifdef _WIN32
        if (error_ == 0) WSACleanup();
#endif
    }
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;
    int error() const { return error_; }  // 0 when the library is usable

private:
    int error_ = 0;
};

class Socket {
public:
    Socket() = default;
    explicit Socket(socket_t s) : s_(s) {}
    ~Socket() { close(); }
    Socket(Socket&& o) noexcept : s_(std::exchange(o.s_, no_socket)) {}
    Socket& operator=(Socket&& o) noexcept {
        if (this != &o) {
            close();
            s_ = std::exchange(o.s_, no_socket);
        }
        return *this;
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    static Socket tcp() { return Socket(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP)); }

    bool valid() const { return s_ != no_socket; }
    socket_t get() const { return s_; }

    void close() {
        if (!valid()) return;
#ifdef _WIN32
        ::closesocket(s_);
#else
        ::close(s_);
#endif
        s_ = no_socket;
    }

private:
    socket_t s_ = no_socket;
};

inline sockaddr_in ipv4_address(std::uint32_t address_net_order, int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = address_net_order;
    a.sin_port = htons(static_cast<std::uint16_t>(port & 0xFFFF));  // only the low 16 bits count
    return a;
}

inline bool bind_to(const Socket& s, const sockaddr_in& a) {
    return ::bind(s.get(), reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
}

inline bool connect_to(const Socket& s, const sockaddr_in& a) {
    return ::connect(s.get(), reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
}

// Takes the next pending connection; `peer`, when given, receives the caller's IPv4 address in
// host byte order.
inline Socket accept_from(const Socket& listener, std::uint32_t* peer = nullptr) {
    sockaddr_in a{};
#ifdef _WIN32
    int size = sizeof a;
#else
    socklen_t size = sizeof a;
#endif
    Socket s(::accept(listener.get(), peer ? reinterpret_cast<sockaddr*>(&a) : nullptr,
                      peer ? &size : nullptr));
    if (peer) *peer = ntohl(a.sin_addr.s_addr);
    return s;
}

// On BSD sockets a port whose last connections linger in TIME_WAIT cannot be bound again for
// a minute without this. Winsock needs nothing, and its SO_REUSEADDR would let another
// program take the port over, so it is left alone there.
inline void allow_quick_rebind(const Socket& s) {
#ifndef _WIN32
    int on = 1;
    ::setsockopt(s.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
#else
    (void)s;
#endif
}

inline bool set_nonblocking(const Socket& s) {
#ifdef _WIN32
    u_long on = 1;
    return ::ioctlsocket(s.get(), FIONBIO, &on) == 0;
#else
    const int flags = ::fcntl(s.get(), F_GETFL, 0);
    return flags >= 0 && ::fcntl(s.get(), F_SETFL, flags | O_NONBLOCK) == 0;
#endif
}

// Bytes sent or received, 0 at the peer's end of sending, negative on an error. A send to a
// peer that has gone raises no signal.
inline long send_some(const Socket& s, const char* data, std::size_t size) {
#ifdef _WIN32
    return ::send(s.get(), data, static_cast<int>(size), 0);
#else
    return ::send(s.get(), data, size, MSG_NOSIGNAL);
#endif
}

inline long recv_some(const Socket& s, char* data, std::size_t size) {
#ifdef _WIN32
    return ::recv(s.get(), data, static_cast<int>(size), 0);
#else
    return ::recv(s.get(), data, size, 0);
#endif
}

inline void shutdown_both(const Socket& s) {
#ifdef _WIN32
    ::shutdown(s.get(), SD_BOTH);
#else
    ::shutdown(s.get(), SHUT_RDWR);
#endif
}

inline void shutdown_sending(const Socket& s) {
#ifdef _WIN32
    ::shutdown(s.get(), SD_SEND);
#else
    ::shutdown(s.get(), SHUT_WR);
#endif
}

inline int poll_sockets(poll_entry* entries, std::size_t count, int timeout_ms) {
#ifdef _WIN32
    return ::WSAPoll(entries, static_cast<ULONG>(count), timeout_ms);
#else
    return ::poll(entries, static_cast<nfds_t>(count), timeout_ms);
#endif
}

inline void set_blocking(const Socket& s) {
#ifdef _WIN32
    u_long off = 0;
    ::ioctlsocket(s.get(), FIONBIO, &off);
#else
    const int flags = ::fcntl(s.get(), F_GETFL, 0);
    if (flags >= 0) ::fcntl(s.get(), F_SETFL, flags & ~O_NONBLOCK);
#endif
}

// Makes the next report() name a time-out.
inline void note_timeout() {
#ifdef _WIN32
    ::WSASetLastError(WSAETIMEDOUT);
#else
    errno = ETIMEDOUT;
#endif
}

// Waits at most timeout_ms for the socket to become readable (or writable); false on time-out
// or error, with the time-out noted for report().
inline bool wait_ready(const Socket& s, bool write, int timeout_ms) {
#ifdef _WIN32
    // select, not WSAPoll: older Windows never reports a refused connect through WSAPoll.
    fd_set ready, failed;
    FD_ZERO(&ready);
    FD_ZERO(&failed);
    FD_SET(s.get(), &ready);
    FD_SET(s.get(), &failed);
    timeval tv{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    const int n = ::select(0, write ? nullptr : &ready, write ? &ready : nullptr, &failed, &tv);
#else
    poll_entry e{};
    e.fd = s.get();
    e.events = write ? POLLOUT : POLLIN;
    const int n = poll_sockets(&e, 1, timeout_ms);
#endif
    if (n == 0) note_timeout();
    return n > 0;
}

// Connects within timeout_ms; the socket stays blocking afterwards.
inline bool connect_within(const Socket& s, const sockaddr_in& a, int timeout_ms) {
    if (!set_nonblocking(s)) return false;
    bool ok = connect_to(s, a);
#ifdef _WIN32
    const bool pending = !ok && ::WSAGetLastError() == WSAEWOULDBLOCK;
#else
    const bool pending = !ok && errno == EINPROGRESS;
#endif
    if (pending && wait_ready(s, true, timeout_ms)) {
        int error = 0;
#ifdef _WIN32
        int len = sizeof error;
        ok = ::getsockopt(s.get(), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &len) == 0;
        if (error != 0) ::WSASetLastError(error);
#else
        socklen_t len = sizeof error;
        ok = ::getsockopt(s.get(), SOL_SOCKET, SO_ERROR, &error, &len) == 0;
        if (error != 0) errno = error;
#endif
        ok = ok && error == 0;
    }
    set_blocking(s);
    return ok;
}

// One receive that waits at most timeout_ms for data; -1 on time-out.
inline long recv_within(const Socket& s, char* data, std::size_t size, int timeout_ms) {
    return wait_ready(s, false, timeout_ms) ? recv_some(s, data, size) : -1;
}

// True when the last call failed only because a non-blocking socket had nothing ready.
inline bool would_block() {
#ifdef _WIN32
    return ::WSAGetLastError() == WSAEWOULDBLOCK;
#else
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
#endif
}

// True when the last accept failed only because that caller had gone before it was taken
// (reset, or a network error passed on): the next waiting caller can be taken at once.
inline bool caller_gone() {
#ifdef _WIN32
    return ::WSAGetLastError() == WSAECONNRESET;
#else
    return errno == ECONNABORTED || errno == EPROTO || errno == ENETDOWN || errno == ENOPROTOOPT ||
           errno == EHOSTDOWN || errno == ENONET || errno == EHOSTUNREACH || errno == EOPNOTSUPP ||
           errno == ENETUNREACH;
#endif
}

// True when the last call failed for want of descriptors or buffer memory.
inline bool short_of_resources() {
#ifdef _WIN32
    const int error = ::WSAGetLastError();
    return error == WSAEMFILE || error == WSAENOBUFS;
#else
    return errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM;
#endif
}

// Prints "what: <the library's description of the last error>" on standard error, as perror
// does. Winsock keeps its errors apart from errno, so on Windows the text comes from the
// system's message table instead.
inline void report(const char* what) {
#ifdef _WIN32
    const int code = ::WSAGetLastError();
    char text[512] = "";
    DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                               static_cast<DWORD>(code), 0, text, sizeof text, nullptr);
    while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r' || text[n - 1] == ' ')) text[--n] = '\0';
    if (n == 0) std::snprintf(text, sizeof text, "socket error %d", code);
    std::fprintf(stderr, "%s: %s\n", what, text);
    std::fflush(stderr);
#else
    std::perror(what);
#endif
}

}  // namespace net
