#pragma once
// Server-Sent Event streams of the web page: every event published goes to every open
// stream. The number of open streams is capped, so that pages cannot take the HTTP server's
// memory or descriptors without bound.
//
// Every event has an id, "RUN-SEQ": RUN is drawn at random when the bridge starts, so that a
// restarted bridge never mistakes an id of its previous run for one of its own. The newest
// events are kept, and a page that reconnects with the id of the last event it had gets the
// ones it missed rather than fetching everything again.
#include <chrono>
#include <cstddef>
#include <cstdint>
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
    // catches up. Room for a whole poll round of a large fleet, whose readings all arrive at
    // once, and for a replay.
    static constexpr std::size_t MAX_QUEUED = 32768;
    // Events kept for pages that reconnect: half a minute of a 500-station fleet at 1 s, a
    // few MB.
    static constexpr std::size_t REPLAY_EVENTS = 16384;
    // How long events are still kept for a reconnection after the last stream closed.
    static constexpr std::chrono::seconds LINGER{60};

    explicit EventStreams(std::size_t cap, std::chrono::steady_clock::duration linger = LINGER);

    // A new stream, or nullptr when `cap` streams are open or the streams are closed. Its
    // first event is "hello", whose data tells whether the events after `last_id` were
    // replayed: {"replayed":true} when `last_id` is an id of this run whose successors are
    // all still kept (they follow at once), false otherwise (the page must fetch afresh).
    // `replayed`, when given, is set likewise.
    std::shared_ptr<EventStream> open(const std::string& last_id = "", bool* replayed = nullptr);
    // Queues one event for every open stream and keeps it for reconnections. `data` holds no
    // line end (JSON from nlohmann never does).
    void publish(const std::string& name, const std::string& data);
    // Whether events are wanted: a stream is open, or one closed less than the linger ago.
    bool wanted() const;
    // Counts an event nobody is sent: the kept ones can no longer be replayed past it.
    void skip();
    // Ends every stream and refuses new ones: the server is stopping.
    void close();
    std::size_t open_count() const;
    // This run's part of every id.
    const std::string& run() const { return run_; }

private:
    friend class EventStream;
    // The wake-ups of every stream, taken under the lock, to be called after it.
    std::vector<std::function<void()>> wakes() const;

    const std::size_t cap_;
    const std::chrono::steady_clock::duration linger_;
    const std::string run_;
    // Written by the bridge's threads (publish, skip, close) and the HTTP threads (open,
    // take, release).
    mutable std::mutex mutex_;
    std::vector<EventStream*> streams_;
    std::uint64_t last_seq_ = 0;  // of the newest event; the first is 1
    std::deque<std::shared_ptr<const std::string>> kept_;  // the newest, up to last_seq_
    std::chrono::steady_clock::time_point last_release_{};
    bool closed_ = false;
};

// The event-stream text of one event: its id, "event: NAME", the data line, a blank line.
std::string sse_event(const std::string& id, const std::string& name, const std::string& data);
