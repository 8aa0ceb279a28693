#pragma once
// What the data server makes of the bytes one connection has sent. Platform-free.
//
// A connection carries one message, told apart by its first byte:
// - a query, '?': complete at its NUL byte, or when the client ends sending; whatever lies
//   between the '?' and the NUL is ignored. It is answered from any address.
// - a push, '+': complete when the client ends sending (the monitor shuts the connection down
//   after its single send), so the line is everything after the code and its blank.
// - a quit, 'q': complete when the client ends sending; exactly "q" and the code as "%5d".
// Pushes and quits count only from a loopback address and with the run's code. Anything else,
// including a message that outgrows its limit before it is complete, is dropped unanswered.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

enum class Verdict {
    wait,   // not complete yet: read on
    query,  // answer with the latest line
    push,   // keep `line` as the latest line
    quit,   // end the server
    drop,   // close the connection unanswered
};

struct Judgement {
    Verdict verdict = Verdict::wait;
    std::string_view line;  // for a push: the pushed line, a view into the received bytes
};

class RequestRules {
public:
    explicit RequestRules(int secret);

    // `received`: everything the connection has sent so far; `ended`: the client has ended
    // sending; `loopback`: the client's address is a loopback one.
    Judgement judge(std::string_view received, bool ended, bool loopback) const;

    // The most a connection may send before its message is complete; one byte more is a drop.
    std::size_t max_message() const;

private:
    std::string push_prefix_;  // "+", the code as "%5d", a blank
    std::string quit_;         // "q" and the code as "%5d"
};

// True for an IPv4 address (host byte order) in 127.0.0.0/8.
bool is_loopback(std::uint32_t address);
