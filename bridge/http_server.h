#pragma once
// The bridge's read-only HTTP views: /metrics, /api/stations and /healthz, with room for
// more routes.
//
// Every connection is served on an event loop (Asio, with Beast's HTTP parser): a client that
// is slow, idle or never finishes its request holds a socket and a small buffer, never a
// thread, so /metrics answers at once whatever other clients do. A request must arrive whole
// within REQUEST_TIME, one address may hold at most PER_ADDRESS connections, and when
// MAX_CONNECTIONS are open the oldest one still waiting for its request makes room.
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "event_streams.h"
#include "exposition.h"
#include "fleet.h"

struct HttpRequest {
    std::string path;                                        // percent-decoded, no query
    std::vector<std::pair<std::string, std::string>> query;  // decoded, in order
    std::vector<std::pair<std::string, std::string>> headers;  // as they came
    // The first value of a query parameter; "" when it is absent.
    std::string param(const std::string& name) const;
    // The first value of a header, its name in any case; "" when it is absent.
    std::string header(const std::string& name) const;
};

struct HttpReply {
    int status = 200;
    std::vector<std::pair<std::string, std::string>> headers;  // Content-Length is added
    std::string body;
    // When set, the reply is an event stream: `body` goes first, then the stream's events as
    // they come, and a keep-alive comment whenever it stays idle for KEEP_ALIVE, until it ends.
    std::shared_ptr<EventStream> events;
};

using HttpHandler = std::function<HttpReply(const HttpRequest&)>;

class HttpServer {
public:
    // Time for a client to send a whole request, from its connection or its previous answer.
    static constexpr std::chrono::seconds REQUEST_TIME{10};
    // Time for one answer, or one piece of an event stream, to leave.
    static constexpr std::chrono::seconds WRITE_TIME{60};
    // An idle event stream still writes this often, so that a page that went away is noticed.
    static constexpr std::chrono::seconds KEEP_ALIVE{5};
    // Connections of one client address; well above the event streams a reverse proxy in
    // front may hold for its pages.
    static constexpr std::size_t PER_ADDRESS = 64;
    static constexpr std::size_t MAX_CONNECTIONS = 1024;
    static constexpr std::size_t REQUEST_HEAD_LIMIT = 8192;
    static constexpr std::size_t REQUEST_BODY_LIMIT = 65536;

    HttpServer(const Fleet& fleet, std::function<BridgeGauges()> gauges);
    ~HttpServer();

    // GET and HEAD of exactly `path`; every other method is refused with 405. Add routes
    // before start().
    void get(const std::string& path, HttpHandler handler);

    // Binds host:port; false with a message when it cannot.
    bool bind(const std::string& host, int port, std::string& error);
    // Serves on threads of its own until stop().
    void start();
    void stop();

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

// "%41b+c" -> "Ab c" when `plus_is_space`; a broken escape stays as it stands.
std::string url_decode(const std::string& text, bool plus_is_space);
