#pragma once
// Server-Sent Event streams of the web page: every event published goes to every open
// stream. The number of open streams is capped, so that pages cannot take the HTTP server's
// memory or descriptors without bound.
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class EventStreams;

// One open stream, written by one HTTP connection; its slot is freed when the last holder
// lets go.
class EventStream {
public:
    ~EventStream();
    // Called after events were queued or the stream ended, from the publishing thread and
    // with no lock held; it must not block. Set once, before the first take().
    void on_wake(std::function<void()> wake);
    // Moves the texts of every event queued since the last call, in order, to `out` (empty
    // when none came): a burst goes out in one write. False once the streams are closed or
    // this one fell behind.
    bool take(std::string& out);

private:
    friend class EventStreams;
    explicit EventStream(EventStreams& owner) : owner_(owner) {}
    EventStreams& owner_;
    // Guarded by the owner's mutex.
    std::deque<std::shared_ptr<const std::string>> queue_;
    std::function<void()> wake_;
    bool dropped_ = false;
};

class EventStreams {
public:
    // A stream that lags this many events behind is dropped; the page reconnects and
    // catches up from the history. Room for a whole poll round of a large fleet, whose
    // readings all arrive at once.
    static constexpr std::size_t MAX_QUEUED = 8192;

    explicit EventStreams(std::size_t cap) : cap_(cap) {}

    // A new stream, or nullptr when `cap` streams are open or the streams are closed.
    std::shared_ptr<EventStream> open();
    // Queues one event (already in the event-stream text form) for every open stream.
    void publish(std::string event);
    // Ends every stream and refuses new ones: the server is stopping.
    void close();
    std::size_t open_count() const;

private:
    friend class EventStream;
    // The wake-ups of every stream, taken under the lock, to be called after it.
    std::vector<std::function<void()>> wakes() const;

    const std::size_t cap_;
    // Written by the bridge's threads (publish, close) and the HTTP threads (open, take,
    // release).
    mutable std::mutex mutex_;
    std::vector<EventStream*> streams_;
    bool closed_ = false;
};

// The event-stream text of one event: "event: NAME", the data line, and a blank line.
// `data` holds no line end (JSON from nlohmann never does).
std::string sse_event(const std::string& name, const std::string& data);
