#include "serve/scheduler.hpp"

#include <algorithm>

namespace tessimar {

bool Scheduler::admit(Ticket ticket, Clock::time_point deadline) {
    // Requests that find a free job start at once and never count as waiting.
    const std::size_t free_jobs = running_ < jobs_ ? jobs_ - running_ : 0;
    if (waiting_.size() >= free_jobs + capacity_) return false;
    waiting_.push_back({ticket, deadline});
    return true;
}

std::optional<Scheduler::Ticket> Scheduler::next() {
    if (running_ >= jobs_ || waiting_.empty()) return std::nullopt;
    const Ticket ticket = waiting_.front().ticket;
    waiting_.pop_front();
    ++running_;
    return ticket;
}

void Scheduler::finished() {
    if (running_ > 0) --running_;
}

bool Scheduler::remove(Ticket ticket) {
    const auto it = std::find_if(waiting_.begin(), waiting_.end(), [&](const Waiting& w) { return w.ticket == ticket; });
    if (it == waiting_.end()) return false;
    waiting_.erase(it);
    return true;
}

std::vector<Scheduler::Ticket> Scheduler::take_expired(Clock::time_point now) {
    std::vector<Ticket> out;
    std::erase_if(waiting_, [&](const Waiting& w) {
        if (w.deadline > now) return false;
        out.push_back(w.ticket);
        return true;
    });
    return out;
}

std::optional<Scheduler::Clock::time_point> Scheduler::next_deadline() const {
    std::optional<Clock::time_point> earliest;
    for (const Waiting& w : waiting_)
        if (!earliest || w.deadline < *earliest) earliest = w.deadline;
    return earliest;
}

}  // namespace tessimar
