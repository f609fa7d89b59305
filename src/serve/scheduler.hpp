// Which request runs next: at most `jobs` runs at once, a first-in
// first-out queue of at most `capacity` requests waiting behind them, each
// with the time by which it must have started. Plain bookkeeping on values;
// the service's event loop acts on its answers.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

namespace tessimar {

class Scheduler {
public:
    using Clock = std::chrono::steady_clock;
    using Ticket = std::uint64_t;

    Scheduler(unsigned jobs, std::size_t capacity) : jobs_(jobs), capacity_(capacity) {}

    // Queues a request; false when it would have to wait and the queue is
    // full.
    bool admit(Ticket ticket, Clock::time_point deadline);
    // The next request to start while a job is free, taking its job. The
    // caller takes the expired ones out first (take_expired).
    std::optional<Ticket> next();
    // A run has ended: its job is free.
    void finished();
    // Takes a waiting request out (its client left); false when it is not waiting.
    bool remove(Ticket ticket);
    // Takes out every waiting request whose deadline has passed.
    std::vector<Ticket> take_expired(Clock::time_point now);
    // The earliest deadline of a waiting request.
    std::optional<Clock::time_point> next_deadline() const;

    unsigned running() const { return running_; }
    std::size_t queued() const { return waiting_.size(); }
    unsigned jobs() const { return jobs_; }

private:
    struct Waiting {
        Ticket ticket;
        Clock::time_point deadline;
    };
    unsigned jobs_;
    std::size_t capacity_;
    unsigned running_ = 0;
    std::deque<Waiting> waiting_;
};

}  // namespace tessimar
