#pragma once
// The web page's routes on the bridge's HTTP server: the page and its files, the event
// stream and the history.
#include <httplib.h>

#include "web_feed.h"

// GET / and the page's files, GET /events and GET /api/history?station=NAME. The feed must
// outlive the server; close its streams before stopping the server, so that no worker
// waits on a stream.
void add_web_routes(httplib::Server& server, WebFeed& feed);
