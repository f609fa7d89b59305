// One runner process working on one batch request: this executable started
// again with the request's arguments, its program written to the runner's
// standard input, its report read from the runner's standard output.
#pragma once

#include <poll.h>
#include <signal.h>
#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "batch/batch_request.hpp"
#include "batch/inline_files.hpp"
#include "common/fd.hpp"
#include "common/result.hpp"

namespace tessimar {

class BatchRunner {
public:
    // Starts a runner. `child_mask` is the signal mask the runner gets (the
    // batch blocks the signals it reads from a signalfd). An error is the
    // reason the runner could not be started.
    static Result<std::unique_ptr<BatchRunner>> start(BatchRun run, const std::string& argv0,
                                                      const sigset_t& child_mask);

    BatchRunner(const BatchRunner&) = delete;
    BatchRunner& operator=(const BatchRunner&) = delete;
    // Whatever path leaves the batch, no runner outlives it: SIGTERM (a
    // runner then kills its program's process group) and reaping.
    ~BatchRunner();

    // Adds the descriptors to wait on.
    void watch(std::vector<pollfd>& fds) const;
    // Handles readiness of one of those descriptors.
    void on_event(int fd, short revents);
    // The report has been read to its end and the process reaped (without a
    // pidfd, the process is reaped here, once the report has ended).
    bool ended();

    void terminate();
    void wait();

    const std::string& report() const { return report_; }
    int status() const { return status_; }

private:
    BatchRunner() = default;
    bool reap(bool block);

    pid_t pid_ = -1;
    InlineFiles files_;     // removed once the runner is gone (members go after the destructor's body)
    UniqueFd pidfd_;        // readable when the runner has ended; may be absent
    UniqueFd to_runner_;    // the program text
    UniqueFd from_runner_;  // the report
    std::string program_;
    std::size_t written_ = 0;
    std::string report_;
    bool reaped_ = false;
    bool terminated_ = false;
    int status_ = 0;
};

}  // namespace tessimar
