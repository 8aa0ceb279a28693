#include "event_streams.h"

#include <algorithm>

EventStream::~EventStream() {
    std::lock_guard<std::mutex> lock(owner_.mutex_);
    auto& s = owner_.streams_;
    s.erase(std::remove(s.begin(), s.end(), this), s.end());
}

bool EventStream::next(std::string& out, std::chrono::milliseconds wait) {
    out.clear();
    std::unique_lock<std::mutex> lock(owner_.mutex_);
    owner_.arrived_.wait_for(lock, wait, [&] {
        return !queue_.empty() || dropped_ || owner_.closed_;
    });
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

void EventStreams::publish(std::string event) {
    const auto shared = std::make_shared<const std::string>(std::move(event));
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (EventStream* s : streams_) {
            if (s->queue_.size() >= MAX_QUEUED) {
                s->dropped_ = true;
                s->queue_.clear();
            } else if (!s->dropped_) {
                s->queue_.push_back(shared);
            }
        }
    }
    arrived_.notify_all();
}

void EventStreams::close() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
    }
    arrived_.notify_all();
}

std::size_t EventStreams::open_count() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return streams_.size();
}

std::string sse_event(const std::string& name, const std::string& data) {
    return "event: " + name + "\ndata: " + data + "\n\n";
}
