#include "phase/exchange.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string_view>
#include <tuple>
#include <vector>

#include "common/fd.hpp"
#include "common/text.hpp"
#include "phase/termination.hpp"

namespace tessimar {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kRelayBuffer = 1 << 16;
constexpr int kFallbackPipeBytes = 1 << 20;

// The largest pipe the system lets this process make, read once.
int pipe_bytes_wanted() {
    static const int wanted = [] {
        UniqueFd fd(retry_eintr([] { return open("/proc/sys/fs/pipe-max-size", O_RDONLY | O_CLOEXEC); }));
        if (!fd.valid()) return kFallbackPipeBytes;
        char text[32] = {};
        const ssize_t n = retry_eintr([&] { return read(fd.get(), text, sizeof text - 1); });
        if (n <= 0) return kFallbackPipeBytes;
        std::string_view value(text, static_cast<std::size_t>(n));
        value = value.substr(0, value.find('\n'));
        const std::optional<std::uint64_t> v = parse_u64(value);
        if (!v || *v < 4096 || *v > (1u << 30)) return kFallbackPipeBytes;
        return static_cast<int>(*v);
    }();
    return wanted;
}

struct Pipe {
    UniqueFd read, write;
};

// A pipe, both ends above 2 and close-on-exec, enlarged as far as allowed
// so that neither side stalls on a small buffer; 0 or an errno.
int make_pipe(Pipe& p) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return errno;
    p.read.reset(move_above(fds[0], 2));
    p.write.reset(move_above(fds[1], 2));
    if (!p.read.valid() || !p.write.valid()) return EMFILE;
    if (fcntl(p.write.get(), F_SETPIPE_SZ, pipe_bytes_wanted()) < 0)
        (void)fcntl(p.write.get(), F_SETPIPE_SZ, kFallbackPipeBytes);
    return 0;
}

void set_nonblocking(int fd) {
    const int flags = fcntl(fd, F_GETFL);
    if (flags >= 0) (void)fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

// One of the two children.
struct Side {
    pid_t pid = -1;
    UniqueFd pidfd;  // invalid: the loop wakes on a short tick instead
    bool ended = false;
    WaitResult waited;

    // Reaps the child if it has ended; true when it has (now or before).
    bool reap() {
        if (ended) return true;
        const pid_t w = retry_eintr([&] { return wait4(pid, &waited.status, WNOHANG, &waited.usage); });
        if (w == 0) return false;
        if (w < 0) waited.error = errno;
        finish();
        return true;
    }

    // Kills the child's group and reaps it.
    void kill_and_reap() {
        if (ended) return;
        (void)killpg(pid, SIGKILL);
        const pid_t w = retry_eintr([&] { return wait4(pid, &waited.status, 0, &waited.usage); });
        if (w < 0) waited.error = errno;
        finish();
    }

private:
    void finish() {
        ended = true;
        if (pid > 1) (void)killpg(pid, SIGKILL);  // whatever it left in its group
        pidfd.reset();
    }
};

bool accepted(const WaitResult& w, int accept_status) {
    return w.error == 0 && WIFEXITED(w.status) && WEXITSTATUS(w.status) == accept_status;
}

// One direction of the relay: from a reading end to a writing end.
struct Direction {
    int from = -1;
    int to = -1;
    bool from_open = true;
    bool to_open = true;
    bool from_program = false;
    std::string buffer;
};

class Exchange {
public:
    explicit Exchange(ExchangeRequest& r) : r_(r), transcript_(r.transcript_limit) {}
    ExchangeOutcome run();

private:
    bool connect();
    void loop();
    void ended(Clock::time_point now);
    void pump(Direction& d, short revents);
    void flush_relay();

    ExchangeRequest& r_;
    ExchangeOutcome o_;
    Transcript transcript_;
    ChildUser program_user_;
    Side program_, interactor_;
    // The children's ends of the pipes, held until both are started.
    UniqueFd program_in_end_, program_out_end_, interactor_in_end_, interactor_out_end_;
    // Without a relay: the runner's own reading ends of both pipes.
    UniqueFd to_program_read_, to_interactor_read_;
    // With a relay: the runner's ends of the four pipes.
    UniqueFd program_out_, interactor_in_, interactor_out_, program_in_;
    Direction up_, down_;  // program to interactor, interactor to program
    std::uint64_t program_sent_ = 0;
    Clock::time_point deadline_{}, grace_end_{};
};

// Makes the pipes; false (with both outcomes set) when they cannot be had.
bool Exchange::connect() {
    Pipe to_program, to_interactor, relay_out, relay_in;
    int err = make_pipe(to_program);
    if (err == 0) err = make_pipe(to_interactor);
    if (err == 0 && r_.relay) err = make_pipe(relay_out);
    if (err == 0 && r_.relay) err = make_pipe(relay_in);
    if (err != 0) {
        const std::string message = "cannot connect the program and the interactor: " + os_error_text(err);
        o_.program.stderr_text = message;
        o_.program.spawn_error = message;
        o_.program.exit_code = -2;
        o_.interactor = o_.program;
        return false;
    }
    if (r_.relay) {
        // program -> relay_out -> runner -> to_interactor -> interactor, and
        // interactor -> to_program -> runner -> relay_in -> program.
        program_out_end_ = std::move(relay_out.write);
        program_out_ = std::move(relay_out.read);
        interactor_in_end_ = std::move(to_interactor.read);
        interactor_in_ = std::move(to_interactor.write);
        interactor_out_end_ = std::move(to_program.write);
        interactor_out_ = std::move(to_program.read);
        program_in_end_ = std::move(relay_in.read);
        program_in_ = std::move(relay_in.write);
        for (const UniqueFd* fd : {&program_out_, &interactor_in_, &interactor_out_, &program_in_})
            set_nonblocking(fd->get());
        up_ = Direction{program_out_.get(), interactor_in_.get(), true, true, true, {}};
        down_ = Direction{interactor_out_.get(), program_in_.get(), true, true, false, {}};
        return true;
    }
    program_out_end_ = std::move(to_interactor.write);
    interactor_in_end_ = std::move(to_interactor.read);
    interactor_out_end_ = std::move(to_program.write);
    program_in_end_ = std::move(to_program.read);
    // Duplicates of the reading ends stay with the runner, so that a side
    // writing after the other has gone meets no pipe without a reader.
    to_program_read_.reset(fcntl(program_in_end_.get(), F_DUPFD_CLOEXEC, 3));
    to_interactor_read_.reset(fcntl(interactor_in_end_.get(), F_DUPFD_CLOEXEC, 3));
    return true;
}

ExchangeOutcome Exchange::run() {
    if (!connect()) return std::move(o_);
    program_user_ = r_.program.user;
    deadline_ = deadline_of(Clock::now(), wall_timeout_ms(r_.program.limits));
    PhaseStart p = start_phase(std::move(r_.program), PhaseStreams{program_in_end_.get(), program_out_end_.get()});
    if (p.pid < 0) {
        o_.program = std::move(p.failure);
        o_.interactor.exit_code = -2;
        o_.interactor.spawn_error = "not started: the program could not be";
        return std::move(o_);
    }
    program_.pid = p.pid;
    PhaseStart i = start_phase(std::move(r_.interactor),
                               PhaseStreams{interactor_in_end_.get(), interactor_out_end_.get(), true});
    // From here only the children hold their ends: a side that ends closes
    // its pipes for the other.
    for (UniqueFd* end : {&program_in_end_, &program_out_end_, &interactor_in_end_, &interactor_out_end_})
        end->reset();
    if (i.pid < 0) {
        o_.interactor = std::move(i.failure);
        program_.kill_and_reap();
    } else {
        interactor_.pid = i.pid;
        for (Side* s : {&program_, &interactor_})
            s->pidfd.reset(static_cast<int>(syscall(SYS_pidfd_open, s->pid, 0)));
        loop();
    }
    exchange_child_pid(0);
    exchange_peer_pid(0);
    if (r_.relay) flush_relay();

    const SweepResult swept = end_phase_processes(program_user_);
    o_.program = finish_phase(*p.launched, program_.waited, swept.peak_memory_kb);
    if (i.launched) o_.interactor = finish_phase(*i.launched, interactor_.waited, 0);
    if (r_.relay) {
        o_.program_sent = program_sent_;
        o_.transcript = transcript_.take();
        o_.transcript_truncated = transcript_.truncated();
    }
    return std::move(o_);
}

// Reaps what has ended, the program first: two ends the runner sees at
// once count the program as the first.
void Exchange::ended(Clock::time_point now) {
    const bool program_was_running = !program_.ended;
    if (program_.reap() && program_was_running) {
        grace_end_ = now + std::chrono::milliseconds(kInteractorGraceMs);
        down_.to_open = false;  // what the interactor still sends is dropped
        down_.buffer.clear();
        // Nothing reads the program's input now but the runner: its end is
        // emptied without waiting.
        if (to_program_read_.valid()) set_nonblocking(to_program_read_.get());
    }
    const bool interactor_was_running = !interactor_.ended;
    if (interactor_.reap() && interactor_was_running) {
        if (to_interactor_read_.valid()) set_nonblocking(to_interactor_read_.get());
        up_.to_open = false;  // what the program still sends is dropped
        up_.buffer.clear();
        if (!program_.ended) {
            o_.interactor_first = true;
            if (!accepted(interactor_.waited, r_.accept_status)) program_.kill_and_reap();
        }
    }
    if (!program_.ended && now >= deadline_) {
        program_.kill_and_reap();
        program_.waited.timed_out = true;
        if (!interactor_.ended) {
            interactor_.kill_and_reap();
            o_.interactor_killed = true;
        }
    }
    if (program_.ended && !interactor_.ended && now >= grace_end_) {
        interactor_.kill_and_reap();
        o_.interactor_killed = true;
        o_.interactor_overstayed = true;
    }
}

void Exchange::loop() {
    std::vector<pollfd> fds;
    std::vector<int> kinds;  // what each entry of fds is
    enum { kProgramEnd, kInteractorEnd, kDrainProgram, kDrainInteractor, kUpFrom, kUpTo, kDownFrom, kDownTo };
    char scratch[kRelayBuffer];
    // The ends are looked at when a child's descriptor says so, on the tick,
    // and at the deadlines: not on every message the relay moves.
    bool look = true;
    while (true) {
        if (look) ended(Clock::now());
        if (program_.ended && interactor_.ended) return;
        fds.clear();
        kinds.clear();
        const auto add = [&](int fd, short events, int kind) {
            fds.push_back(pollfd{fd, events, 0});
            kinds.push_back(kind);
        };
        bool ticking = false;
        for (const auto& [side, kind] : {std::pair{&program_, kProgramEnd}, std::pair{&interactor_, kInteractorEnd}}) {
            if (side->ended) continue;
            if (side->pidfd.valid()) add(side->pidfd.get(), POLLIN, kind);
            else ticking = true;
        }
        if (program_.ended && to_program_read_.valid()) add(to_program_read_.get(), POLLIN, kDrainProgram);
        if (interactor_.ended && to_interactor_read_.valid()) add(to_interactor_read_.get(), POLLIN, kDrainInteractor);
        if (r_.relay) {
            for (const auto& [d, from_kind, to_kind] :
                 {std::tuple{&up_, kUpFrom, kUpTo}, std::tuple{&down_, kDownFrom, kDownTo}}) {
                if (d->from_open && d->buffer.size() < kRelayBuffer) add(d->from, POLLIN, from_kind);
                if (d->to_open && !d->buffer.empty()) add(d->to, POLLOUT, to_kind);
            }
        }
        int timeout = ms_until(program_.ended ? grace_end_ : deadline_);
        if (ticking && (timeout < 0 || timeout > 10)) timeout = 10;
        const int ready = poll(fds.data(), fds.size(), timeout);
        look = ready <= 0 || ticking;
        if (ready < 0 && errno != EINTR) {
            // Nothing can be waited on: the deadline still holds by the tick.
            struct timespec tick{0, 10'000'000};
            (void)nanosleep(&tick, nullptr);
            continue;
        }
        if (ready <= 0) continue;
        for (std::size_t k = 0; k < fds.size(); ++k) {
            const short ev = fds[k].revents;
            if (ev == 0) continue;
            switch (kinds[k]) {
                case kDrainProgram:
                case kDrainInteractor: {
                    UniqueFd& fd = kinds[k] == kDrainProgram ? to_program_read_ : to_interactor_read_;
                    const ssize_t n = retry_eintr([&] { return read(fd.get(), scratch, sizeof scratch); });
                    if (n == 0 || (n < 0 && errno != EAGAIN)) fd.reset();
                    break;
                }
                case kUpFrom: case kUpTo: pump(up_, ev); break;
                case kDownFrom: case kDownTo: pump(down_, ev); break;
                default: look = true; break;  // a child's end: reaped at the top
            }
        }
    }
}

// Moves what is ready in one direction of the relay. A writing end whose
// reader has gone drops what comes from then on; a reading end at its end
// closes the writing end once the buffer is out, so the reader sees it too.
void Exchange::pump(Direction& d, short revents) {
    (void)revents;
    if (d.from_open && d.buffer.size() < kRelayBuffer) {
        char chunk[kRelayBuffer];
        const std::size_t room = kRelayBuffer - d.buffer.size();
        const ssize_t n = retry_eintr([&] { return read(d.from, chunk, room); });
        if (n > 0) {
            if (d.from_program) program_sent_ += static_cast<std::uint64_t>(n);
            transcript_.add(d.from_program, chunk, static_cast<std::size_t>(n));
            if (d.to_open) d.buffer.append(chunk, static_cast<std::size_t>(n));
        } else if (n == 0 || errno != EAGAIN) {
            d.from_open = false;
        }
    }
    if (d.to_open && !d.buffer.empty()) {
        const ssize_t n = retry_eintr([&] { return write(d.to, d.buffer.data(), d.buffer.size()); });
        if (n > 0) {
            d.buffer.erase(0, static_cast<std::size_t>(n));
        } else if (n < 0 && errno != EAGAIN) {
            d.to_open = false;  // EPIPE: the reader has gone
            d.buffer.clear();
        }
    }
    if (!d.from_open && d.buffer.empty() && d.to_open) {
        d.to_open = false;
        UniqueFd& end = &d == &up_ ? interactor_in_ : program_in_;
        end.reset();
    }
}

// After both sides have ended: what they wrote last still counts and goes
// into the transcript.
void Exchange::flush_relay() {
    char chunk[kRelayBuffer];
    for (Direction* d : {&up_, &down_}) {
        while (d->from_open) {
            const ssize_t n = retry_eintr([&] { return read(d->from, chunk, sizeof chunk); });
            if (n <= 0) break;
            if (d->from_program) program_sent_ += static_cast<std::uint64_t>(n);
            transcript_.add(d->from_program, chunk, static_cast<std::size_t>(n));
        }
    }
}

}  // namespace

void Transcript::put(char c) {
    if (text_.size() >= limit_) {
        truncated_ = true;
        return;
    }
    text_.push_back(c);
}

void Transcript::add(bool from_program, const char* data, std::size_t size) {
    for (std::size_t i = 0; i < size && !truncated_; ++i) {
        if (!at_line_start_ && from_program != last_from_program_) {
            put('\n');
            at_line_start_ = true;
        }
        if (at_line_start_) {
            put(from_program ? '>' : '<');
            put(' ');
        }
        put(data[i]);
        at_line_start_ = data[i] == '\n';
        last_from_program_ = from_program;
    }
}

ExchangeOutcome run_exchange(ExchangeRequest request) {
    Exchange exchange(request);
    return exchange.run();
}

}  // namespace tessimar
