#pragma once
// The messages a monitor sends to a data server. Each goes over a connection of its own.
#include <string>
#include <string_view>

constexpr std::size_t REPLY_CAPACITY = 1024;  // one receive; a reply holds at most 1023 bytes

// The query: '?' and a NUL byte.
std::string query_message();
// A push: '+', the run code as "%5d", a blank, the data line.
std::string push_message(int secret, std::string_view data_line);
// The quit: 'q' and the run code as "%5d".
std::string quit_message(int secret);
