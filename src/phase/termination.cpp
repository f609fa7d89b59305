#include "phase/termination.hpp"

#include <signal.h>
#include <unistd.h>

#include <atomic>

namespace tessimar {
namespace {

std::atomic<pid_t> CHILD_PID{0};
std::atomic<pid_t> PEER_PID{0};
std::atomic<int> DEFERRING{0};
std::atomic<int> RECEIVED{0};
static_assert(std::atomic<pid_t>::is_always_lock_free && std::atomic<int>::is_always_lock_free);

void on_termination(int sig) {
    for (const std::atomic<pid_t>* slot : {&CHILD_PID, &PEER_PID}) {
        const pid_t pid = slot->load();
        if (pid > 1) (void)kill(-pid, SIGKILL);
    }
    if (DEFERRING.load() == 0) _exit(128 + sig);
    int none = 0;
    (void)RECEIVED.compare_exchange_strong(none, sig);
}

}  // namespace

void install_termination_handler() {
    struct sigaction action{};
    action.sa_handler = on_termination;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a blocking call that the signal interrupts returns, so
    // that a loop around it can notice the request (see termination_signal).
    action.sa_flags = 0;
    for (const int sig : {SIGTERM, SIGINT, SIGHUP}) (void)sigaction(sig, &action, nullptr);
}

TerminationDeferred::TerminationDeferred() { DEFERRING.fetch_add(1); }

TerminationDeferred::~TerminationDeferred() { DEFERRING.fetch_sub(1); }

int termination_signal() { return RECEIVED.load(); }

pid_t exchange_child_pid(pid_t pid) { return CHILD_PID.exchange(pid); }

pid_t exchange_peer_pid(pid_t pid) { return PEER_PID.exchange(pid); }

}  // namespace tessimar
