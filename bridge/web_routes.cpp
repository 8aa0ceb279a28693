#include "web_routes.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <regex>
#include <string>

#include "web_assets.h"

namespace {

// An idle stream still writes this often, so that a page that went away frees its slot.
constexpr auto KEEP_ALIVE = std::chrono::seconds(5);

std::int64_t now_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

void common_headers(httplib::Response& res) {
    res.set_header("Cache-Control", "no-cache");
    res.set_header("X-Content-Type-Options", "nosniff");
}

// Routes are regular expressions; an asset's path must match only itself.
std::string exact(const std::string& path) {
    static const std::regex special(R"([.^$|()\[\]{}*+?\\])");
    return std::regex_replace(path, special, R"(\$&)");
}

void serve_event_stream(WebFeed& feed, httplib::Response& res) {
    common_headers(res);
    std::shared_ptr<EventStream> stream = feed.streams().open();
    if (!stream) {
        res.status = 503;
        res.set_header("Retry-After", "5");
        res.set_content("no event stream free; try again shortly\n", "text/plain; charset=utf-8");
        return;
    }
    // A reverse proxy must pass each event on at once.
    res.set_header("X-Accel-Buffering", "no");
    res.set_chunked_content_provider(
        "text/event-stream",
        [stream, first = true](std::size_t, httplib::DataSink& sink) mutable {
            std::string text;
            if (first) {
                first = false;
                text = "retry: 2000\n\n";  // the page's reconnection delay
            } else if (!stream->next(text, KEEP_ALIVE)) {
                // Closed or fallen behind: a clean end, and the page reconnects and catches up.
                sink.done();
                return true;
            } else if (text.empty()) {
                text = ": keep-alive\n\n";
            }
            return sink.write(text.data(), text.size());
        });
}

void serve_history(const WebFeed& feed, const Fleet& fleet, const httplib::Request& req,
                   httplib::Response& res) {
    common_headers(res);
    const std::string name = req.get_param_value("station");
    if (name.empty()) {
        res.status = 400;
        res.set_content("station=NAME is missing\n", "text/plain; charset=utf-8");
        return;
    }
    const auto names = fleet.names();
    if (std::find(names.begin(), names.end(), name) == names.end()) {
        res.status = 404;
        res.set_content("no such station\n", "text/plain; charset=utf-8");
        return;
    }
    res.set_content(feed.history_json(name, now_ms()), "application/json");
}

}  // namespace

void add_web_routes(httplib::Server& server, WebFeed& feed, const Fleet& fleet) {
    for (std::size_t i = 0; i < WEB_ASSET_COUNT; ++i) {
        const WebAsset& a = WEB_ASSETS[i];
        server.Get(exact(a.path), [&a](const httplib::Request&, httplib::Response& res) {
            common_headers(res);
            // Scripts and styles come from this server only: nothing inline, nothing remote.
            res.set_header("Content-Security-Policy", "default-src 'self'; frame-ancestors 'none'");
            res.set_content(reinterpret_cast<const char*>(a.data), a.size, a.type);
        });
    }
    server.Get("/events", [&feed](const httplib::Request&, httplib::Response& res) {
        serve_event_stream(feed, res);
    });
    server.Get("/api/history", [&feed, &fleet](const httplib::Request& req,
                                               httplib::Response& res) {
        serve_history(feed, fleet, req, res);
    });
}
