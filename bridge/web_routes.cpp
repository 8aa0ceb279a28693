#include "web_routes.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <chrono>
#include <string>

#include <nlohmann/json.hpp>
#include <zlib.h>

#include "exposition.h"
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
HttpReply event_stream(WebFeed& feed, const Fleet& fleet, const HttpRequest& req) {
    std::string last = req.header("Last-Event-ID");
    if (last.empty()) last = req.param("last");
    bool replayed = false;
    std::shared_ptr<EventStream> stream = feed.streams().open(last, &replayed);
    if (!stream) {
        HttpReply r = reply(503, "text/plain; charset=utf-8",
                            "no event stream free; try again shortly\n");
        r.headers.emplace_back("Retry-After", "5");
        return r;
    }
    // The body starts with the page's reconnection delay and, unless the page is replayed what
    // it missed, the stations' names and states, so that it need not ask for them. Taken once
    // the stream is open, so that every later change follows as an event.
    std::string body = "retry: 2000\n\n";
    if (!replayed) {
        nlohmann::json list = nlohmann::json::array();
        for (const NamedStatus& s : fleet.snapshot())
            list.push_back({{"name", s.name}, {"state", availability_name(s.status.availability)}});
        const nlohmann::json data{{"stations", std::move(list)}};
        body += "event: stations\ndata: " + data.dump() + "\n\n";
    }
    HttpReply r = reply(200, "text/event-stream", std::move(body));
    // A reverse proxy must pass each event on at once.
    r.headers.emplace_back("X-Accel-Buffering", "no");
    r.events = std::move(stream);
    return r;
}

// Whether the client takes a gzip body: "gzip" among its Accept-Encoding, not with q=0.
bool takes_gzip(const HttpRequest& req) {
    std::string accept = req.header("Accept-Encoding");
    accept.erase(std::remove_if(accept.begin(), accept.end(),
                                [](unsigned char c) { return std::isspace(c); }),
                 accept.end());
    std::transform(accept.begin(), accept.end(), accept.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    std::size_t at = 0;
    while (at <= accept.size()) {
        std::size_t end = accept.find(',', at);
        if (end == std::string::npos) end = accept.size();
        const std::string token = accept.substr(at, end - at);
        if (token == "gzip") return true;
        if (token.rfind("gzip;", 0) == 0) {
            const std::size_t q = token.find("q=");
            return q == std::string::npos || std::strtod(token.c_str() + q + 2, nullptr) > 0;
        }
        at = end + 1;
    }
    return false;
}

// The body as a gzip stream; "" should zlib fail.
std::string gzip(const std::string& body) {
    z_stream z{};
    if (deflateInit2(&z, Z_BEST_SPEED, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        return "";
    std::string out(deflateBound(&z, uLong(body.size())), '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(body.data()));
    z.avail_in = uInt(body.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = uInt(out.size());
    const bool done = deflate(&z, Z_FINISH) == Z_STREAM_END;
    out.resize(z.total_out);
    deflateEnd(&z);
    return done ? out : "";
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
        if (c < '0' || c > '9' || n > WebFeed::MAX_COLUMNS) {
            n = 0;
            break;
        }
        n = n * 10 + (c - '0');
    }
    if (n < 1 || n > WebFeed::MAX_COLUMNS)
        return reply(400, "text/plain; charset=utf-8", "columns=N takes 1 to 10000\n");
    HttpReply r = reply(200, "application/json", feed.history_json(name, now_ms(), n));
    // Numbers in JSON shrink about threefold: a page on a large fleet loads that much sooner.
    r.headers.emplace_back("Vary", "Accept-Encoding");
    if (!takes_gzip(req)) return r;
    std::string packed = gzip(r.body);
    if (packed.empty()) return r;
    r.body = std::move(packed);
    r.headers.emplace_back("Content-Encoding", "gzip");
    return r;
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
    server.get("/events", [&feed, &fleet](const HttpRequest& req) {
        return event_stream(feed, fleet, req);
    });
    server.get("/api/history", [&feed, &fleet](const HttpRequest& req) {
        return history(feed, fleet, req);
    });
}
