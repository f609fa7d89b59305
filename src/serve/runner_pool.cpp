#include "serve/runner_pool.hpp"

#include <poll.h>
#include <sys/eventfd.h>

#include <map>

#include "batch/batch_runner.hpp"
#include "common/text.hpp"

namespace tessimar {

Result<std::unique_ptr<RunnerPool>> RunnerPool::start(std::string argv0, const sigset_t& child_mask, Done done) {
    std::unique_ptr<RunnerPool> pool(new RunnerPool());
    pool->argv0_ = std::move(argv0);
    pool->child_mask_ = child_mask;
    pool->done_ = std::move(done);
    pool->wake_fd_.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!pool->wake_fd_.valid()) return Error{"cannot create an eventfd: " + os_error_text(errno)};
    try {
        pool->thread_ = std::thread([p = pool.get()] { p->loop(); });
    } catch (const std::system_error& e) {
        return Error{std::string("cannot start the runner thread: ") + e.what()};
    }
    return pool;
}

RunnerPool::~RunnerPool() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake();
    if (thread_.joinable()) thread_.join();
}

void RunnerPool::wake() {
    const std::uint64_t one = 1;
    (void)retry_eintr([&] { return write(wake_fd_.get(), &one, sizeof one); });
}

void RunnerPool::run(Ticket ticket, BatchRun run) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        orders_.push_back({ticket, std::move(run)});
    }
    wake();
}

void RunnerPool::cancel(Ticket ticket) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        orders_.push_back({ticket, std::nullopt});
    }
    wake();
}

void RunnerPool::loop() {
    std::map<Ticket, std::unique_ptr<BatchRunner>> running;
    std::vector<pollfd> fds;
    std::vector<Ticket> owners;
    std::vector<Order> orders;
    while (true) {
        bool stopping;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            orders.swap(orders_);
            stopping = stopping_;
        }
        for (Order& order : orders) {
            if (!order.run) {
                if (const auto it = running.find(order.ticket); it != running.end()) it->second->terminate();
                continue;
            }
            Result<std::unique_ptr<BatchRunner>> runner = BatchRunner::start(std::move(*order.run), argv0_, child_mask_);
            if (!runner) {
                done_(order.ticket, RunnerOutcome{"cannot start the runner: " + runner.error(), {}, 0});
                continue;
            }
            running.emplace(order.ticket, std::move(runner).value());
        }
        orders.clear();
        if (stopping) break;

        fds.clear();
        owners.clear();
        fds.push_back({wake_fd_.get(), POLLIN, 0});
        owners.push_back(0);
        for (const auto& [ticket, runner] : running) {
            runner->watch(fds);
            owners.resize(fds.size(), ticket);
        }
        const int ready = retry_eintr([&] { return poll(fds.data(), fds.size(), -1); });
        if (ready < 0) continue;  // EINVAL/ENOMEM: try again with the next round
        if (fds[0].revents != 0) {
            std::uint64_t count;
            (void)retry_eintr([&] { return read(wake_fd_.get(), &count, sizeof count); });
        }
        for (std::size_t i = 1; i < fds.size(); ++i)
            if (fds[i].revents != 0) running.at(owners[i])->on_event(fds[i].fd, fds[i].revents);
        for (auto it = running.begin(); it != running.end();) {
            if (!it->second->ended()) {
                ++it;
                continue;
            }
            done_(it->first, RunnerOutcome{std::nullopt, it->second->report(), it->second->status()});
            it = running.erase(it);
        }
    }
    // Leaving: every runner is told to end, then reaped (its destructor).
    for (auto& [ticket, runner] : running) runner->terminate();
    running.clear();
}

}  // namespace tessimar
