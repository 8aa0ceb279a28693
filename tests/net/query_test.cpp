// A client's query on real loopback sockets: the bytes it sends, a reply that fills its one
// receive, and the step each failure names.
#include "query.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

namespace {

// A listening socket on a free loopback port.
struct Listener {
    net::Socket socket = net::Socket::tcp();
    sockaddr_in address = net::ipv4_address(htonl(INADDR_LOOPBACK), 0);

    explicit Listener(bool listening = true) {
        EXPECT_TRUE(net::bind_to(socket, address));
        if (listening) EXPECT_EQ(::listen(socket.get(), 1), 0);
        socklen_t size = sizeof address;
        EXPECT_EQ(::getsockname(socket.get(), reinterpret_cast<sockaddr*>(&address), &size), 0);
    }
};

// What the peer's first send brought (one send arrives whole over loopback).
std::string receive_once(const net::Socket& s) {
    char buf[256];
    const long n = net::recv_within(s, buf, sizeof buf, 5000);
    return n > 0 ? std::string(buf, std::size_t(n)) : std::string();
}

TEST(Query, SendsTheQueryAndTakesOneReceiveOfAtMostTheLongestReplyAndItsNul) {
    Listener server;
    std::string asked;
    std::thread peer([&] {
        net::Socket c = net::accept_from(server.socket);
        asked = receive_once(c);
        const std::string reply(MAX_REPLY + 9, '7');
        net::send_some(c, reply.data(), reply.size());
    });
    net::QueryReply reply;
    EXPECT_EQ(net::query_server(server.address, reply), net::QueryStep::done);
    peer.join();
    EXPECT_EQ(asked, std::string("?\0", 2));
    EXPECT_EQ(reply.size, MAX_REPLY + 1);
    EXPECT_EQ(std::string(reply.bytes, reply.size), std::string(MAX_REPLY + 1, '7'));
}

TEST(Query, NamesTheStepThatFailed) {
    net::QueryReply reply;
    {
        const Listener closed_port(false);  // bound, never listening: the connect is refused
        EXPECT_EQ(net::query_server(closed_port.address, reply), net::QueryStep::connect);
    }
    Listener server;
    std::thread peer([&] { receive_once(net::accept_from(server.socket)); });
    EXPECT_EQ(net::query_server(server.address, reply), net::QueryStep::receive);  // closed unanswered
    peer.join();
    EXPECT_EQ(reply.size, 0u);
}

}  // namespace
