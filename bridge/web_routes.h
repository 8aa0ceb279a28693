#pragma once
// The web page's routes on the bridge's HTTP server: the page and its files, the event
// stream and the history.
#include <httplib.h>

#include "fleet.h"
#include "web_feed.h"

// GET / and the page's files, GET /events and GET /api/history?station=NAME. The feed and
// the fleet must outlive the server; close the feed's streams before stopping the server,
// so that no worker waits on a stream.
void add_web_routes(httplib::Server& server, WebFeed& feed, const Fleet& fleet);
