#pragma once
// Server-Sent Event streams of the web page: every event published goes to every open
// stream. The number of open streams is capped, so that streams can never take all of the
// HTTP server's workers.
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class EventStreams;

// One open stream. Held by the HTTP worker that writes it; its slot is freed when the last
// holder lets go.
class EventStream {
public:
    ~EventStream();
    // The texts of every event queued since the last call, in order, waiting at most `wait`
    // for one: an empty text when nothing came (time for a keep-alive), false once the
    // streams are closed or this one fell behind. A burst goes out in one write.
    bool next(std::string& out, std::chrono::milliseconds wait);

private:
    friend class EventStreams;
    explicit EventStream(EventStreams& owner) : owner_(owner) {}
    EventStreams& owner_;
    // Guarded by the owner's mutex.
    std::deque<std::shared_ptr<const std::string>> queue_;
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
    const std::size_t cap_;
    // Written by the bridge's threads (publish) and the HTTP workers (open, next, release).
    mutable std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<EventStream*> streams_;
    bool closed_ = false;
};

// The event-stream text of one event: "event: NAME", the data line, and a blank line.
// `data` holds no line end (JSON from nlohmann never does).
std::string sse_event(const std::string& name, const std::string& data);
