#include "http_server.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
#include <list>
#include <optional>
#include <thread>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/string.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/status.hpp>
#include <boost/beast/http/string_body.hpp>

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = net::ip::tcp;

namespace {

class Connection;

// The text of a reply's head: status line, headers in name order, blank line.
std::string head_text(int version, int status, std::vector<std::pair<std::string, std::string>> h) {
    std::stable_sort(h.begin(), h.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    const auto reason = http::obsolete_reason(static_cast<http::status>(status));
    std::string out = version >= 11 ? "HTTP/1.1 " : "HTTP/1.0 ";
    out += std::to_string(status) + " " + std::string(reason.data(), reason.size()) + "\r\n";
    for (const auto& [name, value] : h) out += name + ": " + value + "\r\n";
    return out + "\r\n";
}

HttpReply plain(int status, std::string body) {
    HttpReply r;
    r.status = status;
    if (!body.empty()) r.headers = {{"Content-Type", "text/plain"}};
    r.body = std::move(body);
    return r;
}

}  // namespace

struct HttpServer::Impl {
    std::map<std::string, HttpHandler> routes;  // written before start(), read only after

    // Open connections, oldest first, and their number by client address; written by the
    // loop's threads.
    std::mutex mutex;
    std::map<net::ip::address, std::size_t> per_address;
    std::list<Connection*> open;
    std::condition_variable all_closed;
    std::atomic<bool> stopping{false};

    std::vector<std::thread> threads;
    // After the bookkeeping, so that it goes first: its pending handlers hold the
    // connections, which give their place back in `per_address` as they go.
    net::io_context loop;
    tcp::acceptor acceptor{net::make_strand(loop)};
    net::steady_timer accept_pause{acceptor.get_executor()};

    void accept();
    // Takes a place for a new connection from `a`: false when the address has its share, or
    // when every place is taken by a connection that is being answered. When the table is
    // full, `victim` is the oldest connection still waiting for its request, to be given up.
    bool admit(const net::ip::address& a, std::shared_ptr<Connection>& victim);
    std::list<Connection*>::iterator enter(Connection* c) {
        std::lock_guard<std::mutex> lock(mutex);
        return open.insert(open.end(), c);
    }
    void leave(std::list<Connection*>::iterator at, const net::ip::address& a) {
        std::lock_guard<std::mutex> lock(mutex);
        open.erase(at);
        const auto it = per_address.find(a);
        if (it != per_address.end() && --it->second == 0) per_address.erase(it);
        if (open.empty()) all_closed.notify_all();
    }
    HttpReply answer(const http::request<http::string_body>& request) const;
};

namespace {

class Connection : public std::enable_shared_from_this<Connection> {
public:
    Connection(HttpServer::Impl& server, tcp::socket&& socket, net::ip::address address)
        : server_(server), address_(std::move(address)), stream_(std::move(socket)) {}
    ~Connection() { server_.leave(place_, address_); }

    // Once made, so that the server's table holds only whole connections.
    void start() {
        place_ = server_.enter(this);
        read_request();
    }
    net::any_io_executor executor() { return stream_.get_executor(); }

    // The server stops: a connection waiting for a request ends now, one that is answering
    // ends after its answer, an event stream after its last event.
    void finish() {
        if (reading_) close();
    }
    // Chosen once to make room; read by the accepting thread under the server's lock.
    bool waiting() const { return reading_ && !given_up_; }
    void give_up() { given_up_ = true; }

private:
    void read_request() {
        if (server_.stopping) return close();
        reading_ = true;
        parser_.emplace();
        parser_->header_limit(HttpServer::REQUEST_HEAD_LIMIT);
        parser_->body_limit(HttpServer::REQUEST_BODY_LIMIT);
        stream_.expires_after(HttpServer::REQUEST_TIME);
        http::async_read(stream_, buffer_, *parser_,
                         [self = shared_from_this()](beast::error_code ec, std::size_t) {
                             self->on_request(ec);
                         });
    }

    void on_request(beast::error_code ec) {
        reading_ = false;
        if (ec) {
            // A request that breaks the rules is told so; a client that went away or took
            // too long is not.
            if (ec.category() == http::make_error_code(http::error::bad_method).category() &&
                ec != http::error::end_of_stream && ec != http::error::partial_message) {
                send(11, plain(400, ""), false);
            } else {
                close();
            }
            return;
        }
        const auto& req = parser_->get();
        const int version = req.version();
        const bool keep = req.keep_alive();
        const bool head = req.method() == http::verb::head;
        HttpReply reply = server_.answer(req);
        if (reply.events && !head) {
            start_events(version, std::move(reply));
            return;
        }
        reply.events.reset();
        send(version, std::move(reply), keep, head);
    }

    // An answer with its Content-Length (a HEAD's tells the length of what a GET would get);
    // the connection then waits for the next request.
    void send(int version, HttpReply reply, bool keep, bool head = false) {
        reply.headers.emplace_back("Content-Length", std::to_string(reply.body.size()));
        if (head) reply.body.clear();
        if (version >= 11 && !keep) reply.headers.emplace_back("Connection", "close");
        if (version < 11 && keep) reply.headers.emplace_back("Connection", "keep-alive");
        head_ = head_text(version, reply.status, std::move(reply.headers));
        body_ = std::move(reply.body);
        stream_.expires_after(HttpServer::WRITE_TIME);
        const std::array<net::const_buffer, 2> out{net::buffer(head_), net::buffer(body_)};
        net::async_write(stream_, out,
                         [self = shared_from_this(), keep](beast::error_code ec, std::size_t) {
                             if (ec || !keep) return self->close();
                             self->read_request();
                         });
    }

    // --- an event stream: its head, its first text, then each burst of events ---------------

    void start_events(int version, HttpReply reply) {
        events_ = std::move(reply.events);
        chunked_ = version >= 11;
        reply.headers.emplace_back(chunked_ ? "Transfer-Encoding" : "Connection",
                                   chunked_ ? "chunked" : "close");
        std::weak_ptr<Connection> weak = shared_from_this();
        events_->on_wake([weak] {
            if (auto self = weak.lock()) net::post(self->executor(), [self] { self->pump(); });
        });
        out_ = head_text(version, reply.status, std::move(reply.headers)) + chunk(reply.body);
        write_out();
        watch_for_close();
    }

    std::string chunk(const std::string& text) const {
        if (!chunked_ || text.empty()) return text;
        char size[24];
        std::snprintf(size, sizeof size, "%zx\r\n", text.size());
        return size + text + "\r\n";
    }

    void write_out() {
        writing_ = true;
        stream_.expires_after(HttpServer::WRITE_TIME);
        net::async_write(stream_, net::buffer(out_),
                         [self = shared_from_this()](beast::error_code ec, std::size_t) {
                             self->writing_ = false;
                             if (ec || self->ending_) return self->close();
                             self->pump();
                         });
    }

    // Sends what the stream holds, or waits for it; runs on the connection's strand.
    void pump() {
        if (writing_ || ending_ || !events_) return;
        std::string text;
        if (!events_->take(text)) {
            // Closed or fallen behind: a clean end, and the page reconnects and catches up.
            ending_ = true;
            out_ = chunked_ ? "0\r\n\r\n" : "";
            write_out();
            return;
        }
        if (!text.empty()) {
            out_ = chunk(text);
            write_out();
            return;
        }
        idle_.expires_after(HttpServer::KEEP_ALIVE);
        idle_.async_wait([self = shared_from_this()](beast::error_code ec) {
            if (ec || self->writing_ || self->ending_) return;
            self->out_ = self->chunk(": keep-alive\n\n");
            self->write_out();
        });
    }

    // A page that goes away frees its stream at once; anything it sends is ignored. On the
    // bare socket, so that the writes' time limit does not end this wait.
    void watch_for_close() {
        stream_.socket().async_read_some(net::buffer(scratch_),
                                [self = shared_from_this()](beast::error_code ec, std::size_t) {
                                    if (ec) return self->close();
                                    self->watch_for_close();
                                });
    }

    void close() {
        beast::error_code ignored;
        idle_.cancel();
        stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
        stream_.close();
    }

    // Used on the connection's strand alone, but for the two flags at the end.
    HttpServer::Impl& server_;
    const net::ip::address address_;
    beast::tcp_stream stream_;
    beast::flat_buffer buffer_{HttpServer::REQUEST_HEAD_LIMIT + HttpServer::REQUEST_BODY_LIMIT};
    std::optional<http::request_parser<http::string_body>> parser_;
    std::string head_, body_;

    std::shared_ptr<EventStream> events_;
    net::steady_timer idle_{stream_.get_executor()};
    std::string out_;
    std::array<char, 512> scratch_{};
    std::list<Connection*>::iterator place_;
    bool chunked_ = true;
    bool writing_ = false;
    bool ending_ = false;
    // Waiting for a request; written on the connection's strand, read by the acceptor.
    std::atomic<bool> reading_{false};
    std::atomic<bool> given_up_{false};
};

}  // namespace

HttpReply HttpServer::Impl::answer(const http::request<http::string_body>& request) const {
    const http::verb method = request.method();
    const std::string target(request.target());
    if (method != http::verb::get && method != http::verb::head) {
        // Every view is read-only.
        HttpReply r = plain(405, "method not allowed\n");
        r.headers.emplace_back("Allow", "GET, HEAD");
        return r;
    }
    HttpRequest req;
    const std::size_t q = target.find('?');
    req.path = url_decode(target.substr(0, q), false);
    if (q != std::string::npos) {
        std::size_t at = q + 1;
        while (at <= target.size()) {
            std::size_t end = target.find('&', at);
            if (end == std::string::npos) end = target.size();
            const std::string pair = target.substr(at, end - at);
            const std::size_t eq = pair.find('=');
            if (!pair.empty()) {
                const std::string value = eq == std::string::npos ? "" : pair.substr(eq + 1);
                req.query.emplace_back(url_decode(pair.substr(0, eq), true), url_decode(value, true));
            }
            at = end + 1;
        }
    }
    const auto route = routes.find(req.path);
    if (route == routes.end()) return plain(404, "");
    for (const auto& field : request)
        req.headers.emplace_back(std::string(field.name_string()), std::string(field.value()));
    try {
        return route->second(req);
    } catch (const std::exception&) {
        return plain(500, "");
    }
}

bool HttpServer::Impl::admit(const net::ip::address& a, std::shared_ptr<Connection>& victim) {
    std::lock_guard<std::mutex> lock(mutex);
    const auto it = per_address.find(a);
    if (it != per_address.end() && it->second >= PER_ADDRESS) return false;
    if (open.size() >= MAX_CONNECTIONS) {
        const auto oldest = std::find_if(open.begin(), open.end(),
                                         [](const Connection* c) { return c->waiting(); });
        if (oldest == open.end() || !(victim = (*oldest)->weak_from_this().lock())) return false;
        victim->give_up();
    }
    ++per_address[a];
    return true;
}

void HttpServer::Impl::accept() {
    acceptor.async_accept(net::make_strand(loop), [this](beast::error_code ec, tcp::socket socket) {
        if (ec == net::error::operation_aborted) return;
        if (ec) {
            // Out of descriptors, most likely: give the open connections time to end.
            accept_pause.expires_after(std::chrono::milliseconds(100));
            accept_pause.async_wait([this](beast::error_code e) {
                if (!e) accept();
            });
            return;
        }
        beast::error_code peer_error;
        const auto peer = socket.remote_endpoint(peer_error);
        std::shared_ptr<Connection> victim;
        // Past its share, a client's new connection is closed at once; others are unharmed.
        if (!peer_error && admit(peer.address(), victim))
            std::make_shared<Connection>(*this, std::move(socket), peer.address())->start();
        if (victim) net::post(victim->executor(), [victim] { victim->finish(); });
        accept();
    });
}

std::string HttpRequest::param(const std::string& name) const {
    for (const auto& [key, value] : query) {
        if (key == name) return value;
    }
    return "";
}

std::string HttpRequest::header(const std::string& name) const {
    for (const auto& [key, value] : headers) {
        if (beast::iequals(key, name)) return value;
    }
    return "";
}

HttpServer::HttpServer(const Fleet& fleet, std::function<BridgeGauges()> gauges)
    : impl_(std::make_unique<Impl>()) {
    get("/metrics", [&fleet, gauges = std::move(gauges)](const HttpRequest&) {
        HttpReply r;
        r.headers = {{"Content-Type", "text/plain; version=0.0.4; charset=utf-8"}};
        r.body = metrics_text(fleet.snapshot(), gauges());
        return r;
    });
    get("/api/stations", [&fleet](const HttpRequest&) {
        HttpReply r;
        r.headers = {{"Content-Type", "application/json"}};
        r.body = stations_json(fleet.snapshot());
        return r;
    });
    get("/healthz", [](const HttpRequest&) { return plain(200, "ok\n"); });
}

HttpServer::~HttpServer() { stop(); }

void HttpServer::get(const std::string& path, HttpHandler handler) {
    impl_->routes[path] = std::move(handler);
}

bool HttpServer::bind(const std::string& host, int port, std::string& error) {
    beast::error_code ec;
    const std::string where = host + ":" + std::to_string(port);
    tcp::resolver resolver(impl_->loop);
    const auto found = resolver.resolve(host, std::to_string(port), tcp::resolver::passive, ec);
    if (ec || found.empty()) {
        error = "cannot resolve " + where + (ec ? ": " + ec.message() : std::string());
        return false;
    }
    const tcp::endpoint at = found.begin()->endpoint();
    auto& a = impl_->acceptor;
    // SO_REUSEADDR alone: a second bridge on the same port must fail here rather than share
    // the port and take half of the scrapes.
    a.open(at.protocol(), ec);
    if (!ec) a.set_option(net::socket_base::reuse_address(true), ec);
    if (!ec) a.bind(at, ec);
    if (!ec) a.listen(net::socket_base::max_listen_connections, ec);
    if (ec) {
        error = "cannot listen on " + where + ": " + ec.message();
        a.close(ec);
        return false;
    }
    return true;
}

void HttpServer::start() {
    impl_->accept();
    // Two threads, so that rendering a large fleet's /metrics does not hold up the others.
    for (int i = 0; i < 2; ++i) impl_->threads.emplace_back([this] { impl_->loop.run(); });
}

void HttpServer::stop() {
    if (impl_->threads.empty()) return;
    impl_->stopping = true;
    net::post(impl_->acceptor.get_executor(), [this] {
        beast::error_code ignored;
        impl_->acceptor.close(ignored);
        impl_->accept_pause.cancel();
    });
    std::vector<std::shared_ptr<Connection>> open;
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        for (Connection* c : impl_->open) {
            if (auto held = c->weak_from_this().lock()) open.push_back(std::move(held));
        }
    }
    // Outside the lock: the last hold on a connection may go here, and its end takes the lock.
    for (auto& c : open) net::post(c->executor(), [c] { c->finish(); });
    open.clear();
    {
        // A stream's last event or a large answer may take a moment; a stuck client does not
        // hold up the stop.
        std::unique_lock<std::mutex> lock(impl_->mutex);
        impl_->all_closed.wait_for(lock, std::chrono::seconds(2),
                                   [this] { return impl_->open.empty(); });
    }
    impl_->loop.stop();
    for (auto& t : impl_->threads) t.join();
    impl_->threads.clear();
}

std::string url_decode(const std::string& text, bool plus_is_space) {
    const auto hex = [](char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool escape =
            text[i] == '%' && i + 2 < text.size() && hex(text[i + 1]) >= 0 && hex(text[i + 2]) >= 0;
        if (escape) {
            out += static_cast<char>(hex(text[i + 1]) * 16 + hex(text[i + 2]));
            i += 2;
        } else if (text[i] == '+' && plus_is_space) {
            out += ' ';
        } else {
            out += text[i];
        }
    }
    return out;
}
