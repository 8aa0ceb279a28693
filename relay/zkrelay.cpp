// zkrelay: stands between monitors and a remote data server. Each query a caller sends is
// answered with the reply of a fresh query to the remote server; anything else is closed
// unanswered. One caller at a time; no peer may stall it for more than a few seconds.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "numbers.h"
#include "query.h"

namespace {

constexpr int DEFAULT_PORT = 5000;
constexpr std::size_t MAX_PORT_ANSWER = 1023;
constexpr std::size_t MAX_ADDRESS_TEXT = 31;

void prompt(const char* text) {
    std::fputs(text, stdout);
    std::fflush(stdout);
}

// One line of standard input without its line end, cut to `max` characters; the rest of a
// longer line is read and dropped so that it cannot answer the next prompt.
std::string read_answer(std::size_t max) {
    std::string line;
    for (int c = std::getchar(); c != EOF && c != '\n'; c = std::getchar())
        if (line.size() < max) line += static_cast<char>(c);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

int read_port(const char* text) {
    prompt(text);
    std::int32_t port = DEFAULT_PORT;
    if (!scan_int(read_answer(MAX_PORT_ANSWER), port)) port = DEFAULT_PORT;
    return port;
}

// A failure on the remote side ends the relay: callers cannot be served without the server.
constexpr int REMOTE_FAILURE = 1;
// One silent caller would otherwise stop every monitor behind the relay for good.
constexpr int CALLER_TIMEOUT_MS = 5000;
// What is reported when the query to the remote server fails, by the step it failed at.
constexpr const char* REMOTE_ERRORS[] = {nullptr, "remote socket() call error",
                                         "remote connect() call error", "remote send() call error",
                                         "remote recv() call error"};

// Relays one query; returns 0 to go on with the next caller, or the exit code. Only the bare
// query goes on, whatever else the caller sent.
int relay_query(const net::Socket& caller, const sockaddr_in& remote_address) {
    net::QueryReply reply;
    if (const net::QueryStep step = net::query_server(remote_address, reply);
        step != net::QueryStep::done) {
        net::report(REMOTE_ERRORS[int(step)]);
        return REMOTE_FAILURE;
    }
    if (net::send_some(caller, reply.bytes, reply.size) <= 0) net::report("send() call error");
    // The reply may fill the buffer with no NUL in it: the trace stops at the buffer's end.
    const void* nul = std::memchr(reply.bytes, '\0', sizeof reply.bytes);
    const int text_length =
        static_cast<int>(nul ? static_cast<const char*>(nul) - reply.bytes : sizeof reply.bytes);
    std::printf("?\n-->%d,%.*s\n", text_length, text_length, reply.bytes);
    std::fflush(stdout);
    return 0;
}

}  // namespace

int main() {
    net::Library library;
    if (library.error() != 0) {
        std::printf("WSAStartup failed: %d\n", library.error());
        std::fflush(stdout);
        return 1;
    }

    const int proxy_port = read_port("Proxy port?");
    const int remote_port = read_port("Remote port?");
    prompt("Remote IP?");
    const std::string remote_ip = read_answer(MAX_ADDRESS_TEXT);

    const sockaddr_in listen_address = net::ipv4_address(htonl(INADDR_ANY), proxy_port);
    const sockaddr_in remote_address = net::ipv4_address(inet_addr(remote_ip.c_str()), remote_port);
    std::printf("ZK-47 proxy server v1.0 started on port %d for remote server @ %s:%d...\n",
                proxy_port, remote_ip.c_str(), remote_port);
    std::fflush(stdout);

    net::Socket listener = net::Socket::tcp();
    if (!listener.valid()) {
        net::report("socket() call error");
        return 1;
    }
    net::allow_quick_rebind(listener);
    if (!net::bind_to(listener, listen_address)) {
        net::report("bind() call error");
        return 1;
    }
    if (::listen(listener.get(), 16) != 0) {
        net::report("listen() call error");
        return 1;
    }

    for (;;) {
        net::Socket caller = net::accept_from(listener);
        if (!caller.valid()) {
            net::report("accept() call error");
            continue;
        }
        std::printf("connection accepted\n");
        std::fflush(stdout);

        char request[MAX_REPLY + 1];  // one receive, as large as a reply's
        if (net::recv_within(caller, request, sizeof request, CALLER_TIMEOUT_MS) <= 0) {
            net::report("recv() call error");
        } else if (request[0] == '?') {
            if (const int code = relay_query(caller, remote_address); code != 0) return code;
        }
        net::shutdown_both(caller);
    }
}
