// The runner processes of the service, started, watched and reaped by one
// thread of their own that lives as long as the service: a runner's
// parent-death signal is tied to the thread that forked it, so none
// outlives the service, however it ends.
#pragma once

#include <signal.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "batch/batch_request.hpp"
#include "common/fd.hpp"
#include "common/result.hpp"

namespace tessimar {

struct RunnerOutcome {
    std::optional<std::string> start_error;  // the runner could not be started
    std::string report;                      // its standard output
    int status = 0;                          // its wait status
};

class RunnerPool {
public:
    using Ticket = std::uint64_t;
    // Called on the pool's thread once per started ticket.
    using Done = std::function<void(Ticket, RunnerOutcome)>;

    // `child_mask`: the signal mask runners get.
    static Result<std::unique_ptr<RunnerPool>> start(std::string argv0, const sigset_t& child_mask, Done done);
    RunnerPool(const RunnerPool&) = delete;
    RunnerPool& operator=(const RunnerPool&) = delete;
    // Ends every runner (SIGTERM, then reaping) and the thread.
    ~RunnerPool();

    // Thread-safe; a ticket is run once.
    void run(Ticket ticket, BatchRun run);
    // Thread-safe: SIGTERM to the ticket's runner, which ends its program
    // tree and removes its work directory; its Done still comes.
    void cancel(Ticket ticket);

private:
    struct Order {
        Ticket ticket;
        std::optional<BatchRun> run;  // absent: cancel
    };
    RunnerPool() = default;
    void loop();
    void wake();

    std::string argv0_;
    sigset_t child_mask_{};
    Done done_;
    UniqueFd wake_fd_;  // an eventfd
    std::mutex mutex_;
    std::vector<Order> orders_;  // under mutex_
    bool stopping_ = false;      // under mutex_
    std::thread thread_;
};

}  // namespace tessimar
