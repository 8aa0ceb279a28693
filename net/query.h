#pragma once
// The query as every client of a data server makes it: a connection of its own, the query,
// and the reply in one receive, each wait with its time limit.
#include <cstddef>
#include <string>

#include "messages.h"
#include "sockets.h"

namespace net {

// Neither the connection nor the reply may hold a client up longer than this.
constexpr int QUERY_TIMEOUT_MS = 5000;

// A reply as its one receive left it: zeroed first, so it ends at a NUL unless it fills the
// buffer.
struct QueryReply {
    char bytes[MAX_REPLY + 1] = {};
    std::size_t size = 0;
};

// Where a query failed, for the caller to say so.
enum class QueryStep { done, socket, connect, send, receive };

// Asks the data server at `server` for its latest reading. The connection is closed on return,
// shut down first when the reply came; after a failure the error stays for report().
inline QueryStep query_server(const sockaddr_in& server, QueryReply& reply) {
    Socket s = Socket::tcp();
    if (!s.valid()) return QueryStep::socket;
    if (!connect_within(s, server, QUERY_TIMEOUT_MS)) return QueryStep::connect;
    const std::string query = query_message();
    if (send_some(s, query.data(), query.size()) <= 0) return QueryStep::send;
    const long got = recv_within(s, reply.bytes, sizeof reply.bytes, QUERY_TIMEOUT_MS);
    if (got <= 0) return QueryStep::receive;
    reply.size = static_cast<std::size_t>(got);
    shutdown_both(s);
    return QueryStep::done;
}

}  // namespace net
