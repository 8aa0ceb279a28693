// zksrv: the data server a sharing monitor starts as `zksrv CODE PORT`. It keeps the last
// data line the monitor pushed and gives it to every query, until the monitor tells it to quit.
#include <cstdint>
#include <cstdio>

#include "data_server.h"
#include "numbers.h"
#include "requests.h"
#include "sockets.h"

int main(int argc, char** argv) {
    std::int32_t secret = 0;
    std::int32_t port = 0;
    if (argc != 3 || !scan_int(argv[1], secret) || !scan_int(argv[2], port)) {
        std::fprintf(stderr, "usage: zksrv CODE PORT\n");
        return 2;
    }
    const int tcp_port = port & 0xFFFF;  // the monitor connects to the low 16 bits too
    if (tcp_port == 0) {
        std::fprintf(stderr, "zksrv: port %d leaves no TCP port to listen on\n", port);
        return 1;
    }

    net::Library library;
    if (library.error() != 0) {
        std::fprintf(stderr, "zksrv: socket library failed to start: %d\n", library.error());
        return 1;
    }
    net::Socket listener = net::Socket::tcp();
    if (!listener.valid()) {
        net::report("zksrv: socket");
        return 1;
    }
    net::allow_quick_rebind(listener);
    if (!net::bind_to(listener, net::ipv4_address(htonl(INADDR_ANY), tcp_port))) {
        net::report("zksrv: bind");
        return 1;
    }
    if (::listen(listener.get(), SOMAXCONN) != 0 || !net::set_nonblocking(listener)) {
        net::report("zksrv: listen");
        return 1;
    }
    std::printf("zksrv: serving on port %d\n", tcp_port);
    std::fflush(stdout);

    const RequestRules rules(secret);
    return serve(listener, rules);
}
