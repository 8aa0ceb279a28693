#pragma once
// The bridge's read-only HTTP views: /metrics, /api/stations and /healthz, with room for
// more routes.
//
// cpp-httplib serves each connection on a worker of its pool for as long as the connection
// lives, so a long-lived event stream holds a worker. The pool is therefore sized well above
// any cap on such streams, so that /metrics and /api always find a free worker.
#include <functional>
#include <string>
#include <thread>

#include <httplib.h>

#include "exposition.h"
#include "fleet.h"

class HttpServer {
public:
    static constexpr std::size_t WORKERS = 96;

    HttpServer(const Fleet& fleet, std::function<BridgeGauges()> gauges);
    ~HttpServer();

    // Other parts of the bridge add their routes here before start().
    httplib::Server& routes() { return server_; }

    // Binds host:port; false with a message when it cannot.
    bool bind(const std::string& host, int port, std::string& error);
    // Serves on a thread of its own until stop().
    void start();
    void stop();

private:
    const Fleet& fleet_;
    const std::function<BridgeGauges()> gauges_;
    httplib::Server server_;
    std::thread thread_;
};
