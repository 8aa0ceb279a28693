#include "event_streams.h"

#include <algorithm>
#include <cstdio>
#include <random>

EventStream::~EventStream() {
    std::lock_guard<std::mutex> lock(owner_.mutex_);
    auto& s = owner_.streams_;
    s.erase(std::remove(s.begin(), s.end(), this), s.end());
    owner_.last_release_ = std::chrono::steady_clock::now();
}

void EventStream::on_wake(std::function<void()> wake) {
    std::lock_guard<std::mutex> lock(owner_.mutex_);
    wake_ = std::move(wake);
}

bool EventStream::take(std::string& out) {
    out.clear();
    std::lock_guard<std::mutex> lock(owner_.mutex_);
    if (dropped_ || owner_.closed_) return false;
    for (const auto& event : queue_) out += *event;
    queue_.clear();
    return true;
}

namespace {

std::string new_run() {
    std::random_device random;
    char run[20];
    std::snprintf(run, sizeof run, "%08x%08x", random(), random());
    return run;
}

}  // namespace

EventStreams::EventStreams(std::size_t cap, std::chrono::steady_clock::duration linger)
    : cap_(cap), linger_(linger), run_(new_run()) {}

std::shared_ptr<EventStream> EventStreams::open(const std::string& last_id, bool* replayed) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_ || streams_.size() >= cap_) return nullptr;
    std::shared_ptr<EventStream> s(new EventStream(*this));
    streams_.push_back(s.get());
    // Whether last_id is "RUN-SEQ" of this run, its successors all kept.
    const std::string prefix = run_ + "-";
    std::uint64_t seq = 0;
    bool known = last_id.size() > prefix.size() && last_id.size() <= prefix.size() + 19 &&
                 last_id.compare(0, prefix.size(), prefix) == 0;
    for (std::size_t i = prefix.size(); known && i < last_id.size(); ++i) {
        known = last_id[i] >= '0' && last_id[i] <= '9';
        seq = seq * 10 + std::uint64_t(last_id[i] - '0');
    }
    known = known && seq <= last_seq_ && last_seq_ - seq <= kept_.size();
    // The hello's id is where the events that follow it start: should this stream drop
    // during a replay, the next one starts there again.
    s->queue_.push_back(std::make_shared<const std::string>(
        sse_event(run_ + "-" + std::to_string(known ? seq : last_seq_), "hello",
                  known ? R"({"replayed":true})" : R"({"replayed":false})")));
    if (replayed) *replayed = known;
    if (known) {
        const auto first = kept_.end() - std::ptrdiff_t(last_seq_ - seq);
        s->queue_.insert(s->queue_.end(), first, kept_.end());
    }
    return s;
}

bool EventStreams::wanted() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return !streams_.empty() || std::chrono::steady_clock::now() - last_release_ < linger_;
}

void EventStreams::skip() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++last_seq_;
    kept_.clear();
}

std::vector<std::function<void()>> EventStreams::wakes() const {
    std::vector<std::function<void()>> out;
    for (const EventStream* s : streams_) {
        if (s->wake_) out.push_back(s->wake_);
    }
    return out;
}

void EventStreams::publish(const std::string& name, const std::string& data) {
    std::vector<std::function<void()>> wake;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (closed_) return;
        const auto shared = std::make_shared<const std::string>(
            sse_event(run_ + "-" + std::to_string(++last_seq_), name, data));
        kept_.push_back(shared);
        if (kept_.size() > REPLAY_EVENTS) kept_.pop_front();
        for (EventStream* s : streams_) {
            if (s->queue_.size() >= MAX_QUEUED) {
                s->dropped_ = true;
                s->queue_.clear();
            } else if (!s->dropped_) {
                s->queue_.push_back(shared);
            }
        }
        wake = wakes();
    }
    // A wake-up may release the last hold on a stream, whose release takes the lock.
    for (const auto& w : wake) w();
}

void EventStreams::close() {
    std::vector<std::function<void()>> wake;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
        wake = wakes();
    }
    for (const auto& w : wake) w();
}

std::size_t EventStreams::open_count() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return streams_.size();
}

std::string sse_event(const std::string& id, const std::string& name, const std::string& data) {
    return "id: " + id + "\nevent: " + name + "\ndata: " + data + "\n\n";
}
