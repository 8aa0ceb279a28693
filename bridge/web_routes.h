#pragma once
// The web page's routes on the bridge's HTTP server: the page and its files, the event
// stream and the history.
#include "fleet.h"
#include "http_server.h"
#include "web_feed.h"

// GET / and the page's files, GET /events and GET /api/history?station=NAME[&columns=N].
// The feed and the fleet must outlive the server.
void add_web_routes(HttpServer& server, WebFeed& feed, const Fleet& fleet);
