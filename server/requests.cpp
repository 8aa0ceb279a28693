#include "requests.h"

#include <algorithm>

#include "messages.h"

RequestRules::RequestRules(int secret)
    : push_prefix_(push_message(secret, "")), quit_(quit_message(secret)) {}

std::size_t RequestRules::max_message() const { return push_prefix_.size() + MAX_REPLY; }

namespace {
// True while `received` can still grow into `expected` (or already is it).
bool may_become(std::string_view received, std::string_view expected) {
    const std::size_t n = std::min(received.size(), expected.size());
    return received.substr(0, n) == expected.substr(0, n);
}
}  // namespace

Judgement RequestRules::judge(std::string_view received, bool ended, bool loopback) const {
    if (received.empty()) return {ended ? Verdict::drop : Verdict::wait, {}};
    if (received.size() > max_message()) return {Verdict::drop, {}};

    switch (received[0]) {
    case '?':
        if (ended || received.find('\0', 1) != std::string_view::npos) return {Verdict::query, {}};
        return {Verdict::wait, {}};
    case '+': {
        if (!loopback || !may_become(received, push_prefix_)) return {Verdict::drop, {}};
        if (!ended) return {Verdict::wait, {}};
        // A push without a line would make the next answers empty, which clients take for a
        // failed exchange; the previous line stays instead.
        if (received.size() <= push_prefix_.size()) return {Verdict::drop, {}};
        return {Verdict::push, received.substr(push_prefix_.size())};
    }
    case 'q':
        if (!loopback || received.size() > quit_.size() || !may_become(received, quit_))
            return {Verdict::drop, {}};
        if (!ended) return {Verdict::wait, {}};
        return {received == quit_ ? Verdict::quit : Verdict::drop, {}};
    default:
        return {Verdict::drop, {}};
    }
}

bool is_loopback(std::uint32_t address) { return (address >> 24) == 127; }
