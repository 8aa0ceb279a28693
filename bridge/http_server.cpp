#include "http_server.h"

#include <cerrno>
#include <cstring>

HttpServer::HttpServer(const Fleet& fleet, std::function<BridgeGauges()> gauges)
    : fleet_(fleet), gauges_(std::move(gauges)) {
    server_.new_task_queue = [] { return new httplib::ThreadPool(WORKERS); };
    // The library's default adds SO_REUSEPORT, which would let a second bridge share the port
    // silently and take half of the scrapes; a busy port must be an error.
    server_.set_socket_options([](socket_t sock) {
        int yes = 1;
        ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    server_.Get("/metrics", [this](const httplib::Request&, httplib::Response& res) {
        res.set_content(metrics_text(fleet_.snapshot(), gauges_()),
                        "text/plain; version=0.0.4; charset=utf-8");
    });
    server_.Get("/api/stations", [this](const httplib::Request&, httplib::Response& res) {
        res.set_content(stations_json(fleet_.snapshot()), "application/json");
    });
    server_.Get("/healthz", [](const httplib::Request&, httplib::Response& res) {
        res.set_content("ok\n", "text/plain");
    });
    // Every view is read-only.
    const auto refuse = [](const httplib::Request&, httplib::Response& res) {
        res.status = 405;
        res.set_header("Allow", "GET, HEAD");
        res.set_content("method not allowed\n", "text/plain");
    };
    server_.Post(".*", refuse);
    server_.Put(".*", refuse);
    server_.Patch(".*", refuse);
    server_.Delete(".*", refuse);
}

HttpServer::~HttpServer() { stop(); }

bool HttpServer::bind(const std::string& host, int port, std::string& error) {
    errno = 0;
    if (server_.bind_to_port(host.c_str(), port)) return true;
    error = "cannot listen on " + host + ":" + std::to_string(port) +
            (errno ? std::string(": ") + std::strerror(errno) : std::string());
    return false;
}

void HttpServer::start() {
    thread_ = std::thread([this] { server_.listen_after_bind(); });
}

void HttpServer::stop() {
    server_.stop();
    if (thread_.joinable()) thread_.join();
}
