#include "web_routes.h"

#include <algorithm>
#include <chrono>
#include <string>

#include "web_assets.h"

namespace {

std::int64_t now_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

HttpReply reply(int status, const char* type, std::string body) {
    HttpReply r;
    r.status = status;
    r.headers = {{"Cache-Control", "no-cache"}, {"X-Content-Type-Options", "nosniff"},
                 {"Content-Type", type}};
    r.body = std::move(body);
    return r;
}

// A reconnecting page names the last event it had: the browser in Last-Event-ID, the page
// itself in last= when it opens a new stream after a refused one.
HttpReply event_stream(WebFeed& feed, const HttpRequest& req) {
    std::string last = req.header("Last-Event-ID");
    if (last.empty()) last = req.param("last");
    std::shared_ptr<EventStream> stream = feed.streams().open(last);
    if (!stream) {
        HttpReply r = reply(503, "text/plain; charset=utf-8",
                            "no event stream free; try again shortly\n");
        r.headers.emplace_back("Retry-After", "5");
        return r;
    }
    // The body starts with the page's reconnection delay.
    HttpReply r = reply(200, "text/event-stream", "retry: 2000\n\n");
    // A reverse proxy must pass each event on at once.
    r.headers.emplace_back("X-Accel-Buffering", "no");
    r.events = std::move(stream);
    return r;
}

HttpReply history(const WebFeed& feed, const Fleet& fleet, const HttpRequest& req) {
    const std::string name = req.param("station");
    if (name.empty()) return reply(400, "text/plain; charset=utf-8", "station=NAME is missing\n");
    const auto names = fleet.names();
    if (std::find(names.begin(), names.end(), name) == names.end())
        return reply(404, "text/plain; charset=utf-8", "no such station\n");
    const std::string columns = req.param("columns");
    if (columns.empty()) return reply(200, "application/json", feed.history_json(name, now_ms()));
    // A chart's width in pixels: digits only, within reason.
    int n = 0;
    for (char c : columns) {
        if (c < '0' || c > '9' || n > WebFeed::MAX_COLUMNS) { n = 0; break; }
        n = n * 10 + (c - '0');
    }
    if (n < 1 || n > WebFeed::MAX_COLUMNS)
        return reply(400, "text/plain; charset=utf-8", "columns=N takes 1 to 10000\n");
    return reply(200, "application/json", feed.history_json(name, now_ms(), n));
}

}  // namespace

void add_web_routes(HttpServer& server, WebFeed& feed, const Fleet& fleet) {
    for (std::size_t i = 0; i < WEB_ASSET_COUNT; ++i) {
        const WebAsset& a = WEB_ASSETS[i];
        server.get(a.path, [&a](const HttpRequest&) {
            HttpReply r =
                reply(200, a.type, std::string(reinterpret_cast<const char*>(a.data), a.size));
            // Scripts and styles come from this server only: nothing inline, nothing remote.
            r.headers.emplace_back("Content-Security-Policy",
                                   "default-src 'self'; frame-ancestors 'none'");
            return r;
        });
    }
    server.get("/events", [&feed](const HttpRequest& req) { return event_stream(feed, req); });
    server.get("/api/history", [&feed, &fleet](const HttpRequest& req) {
        return history(feed, fleet, req);
    });
}
