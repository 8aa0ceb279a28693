#include "event_streams.h"

#include <algorithm>

EventStream::~EventStream() {
    std::lock_guard<std::mutex> lock(owner_.mutex_);
    auto& s = owner_.streams_;
    s.erase(std::remove(s.begin(), s.end(), this), s.end());
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

std::shared_ptr<EventStream> EventStreams::open() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_ || streams_.size() >= cap_) return nullptr;
    std::shared_ptr<EventStream> s(new EventStream(*this));
    streams_.push_back(s.get());
    return s;
}

std::vector<std::function<void()>> EventStreams::wakes() const {
    std::vector<std::function<void()>> out;
    for (const EventStream* s : streams_) {
        if (s->wake_) out.push_back(s->wake_);
    }
    return out;
}

void EventStreams::publish(std::string event) {
    const auto shared = std::make_shared<const std::string>(std::move(event));
    std::vector<std::function<void()>> wake;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (closed_) return;
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

std::string sse_event(const std::string& name, const std::string& data) {
    return "event: " + name + "\ndata: " + data + "\n\n";
}
