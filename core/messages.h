#pragma once
// The messages a monitor sends to a data server. Each goes over a connection of its own.
#include <cstddef>
#include <string>
#include <string_view>

// The longest reply, in bytes. A client takes a reply in one receive into a zeroed buffer of
// MAX_REPLY + 1 bytes, so a reply that ends before the buffer does is followed by a NUL.
constexpr std::size_t MAX_REPLY = 1023;

// The query: '?' and a NUL byte.
std::string query_message();
// A push: '+', the run code as "%5d", a blank, the data line.
std::string push_message(int secret, std::string_view data_line);
// The quit: 'q' and the run code as "%5d".
std::string quit_message(int secret);
