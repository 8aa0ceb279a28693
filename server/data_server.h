#pragma once
// The data server's serving loop: one thread, non-blocking sockets, many clients at once.
#include "requests.h"
#include "sockets.h"

// Serves the listening socket until a valid quit arrives (returns 0) or waiting on the
// sockets fails (returns 1).
int serve(const net::Socket& listener, const RequestRules& rules);
