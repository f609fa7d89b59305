#include "batch/batch.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <chrono>
#include <cstdio>
#include <deque>
#include <memory>
#include <new>
#include <optional>

#include "batch/batch_options.hpp"
#include "batch/batch_request.hpp"
#include "batch/batch_runner.hpp"
#include "batch/line_reader.hpp"
#include "common/fd.hpp"
#include "common/text.hpp"
#include "phase/run_user.hpp"
#include "workspace/reach.hpp"
#include "workspace/work_dir.hpp"

namespace tessimar {
namespace {

constexpr std::size_t kChunk = 65536;
constexpr std::size_t kWindowPerJob = 16;
// How long a run that a stop signal ended waits before it is written down
// (see Batch::complete_if_ended).
constexpr std::chrono::milliseconds kStopGrace{2000};

void say(const std::string& text) {
    const std::string line = "tessimar-exec: " + text + "\n";
    (void)write_all(2, line.data(), line.size());
}

struct Entry {
    // Held: the runner ended by a stop signal, its line not yet written.
    enum class State { Waiting, Running, Held, Done };
    State state = State::Waiting;
    std::uint64_t line = 0;
    std::string id;
    std::optional<BatchRun> run;          // while waiting
    std::unique_ptr<BatchRunner> runner;  // while running
    std::string output;                   // when done
    bool ok = false;
    std::chrono::steady_clock::time_point held_until{};  // while held
};

// The ends a cancellation gives a runner: its handler's exit status for
// SIGTERM, SIGINT or SIGHUP, or death by one of those or by SIGKILL.
bool ended_by_stop_signal(int status) {
    if (WIFSIGNALED(status)) {
        const int sig = WTERMSIG(status);
        return sig == SIGTERM || sig == SIGINT || sig == SIGHUP || sig == SIGKILL;
    }
    if (!WIFEXITED(status)) return false;
    const int code = WEXITSTATUS(status);
    return code == 128 + SIGTERM || code == 128 + SIGINT || code == 128 + SIGHUP;
}

std::string describe_status(int status) {
    if (WIFSIGNALED(status)) return "killed by signal " + std::to_string(WTERMSIG(status));
    return "exit status " + std::to_string(WEXITSTATUS(status));
}

class Batch {
public:
    Batch(BatchOptions options, const char* argv0) : o_(std::move(options)), argv0_(argv0 ? argv0 : "tessimar-exec") {}
    int run();

private:
    int setup();
    std::optional<int> admit_lines();
    std::optional<int> verify_skipped(const std::string& expected);
    std::optional<int> finish_skipping();
    void start_waiting();
    void start(Entry& e);
    void check_contained_tmpdir(const BatchRun& run);
    void complete_if_ended(Entry& e, std::chrono::steady_clock::time_point now);
    int poll_timeout(std::chrono::steady_clock::time_point now) const;
    bool flush();
    void stop_runners();
    void progress(bool final);
    // The number of the n-th line read, counting from --first-line.
    std::uint64_t number(std::uint64_t n) const { return o_.first_line + n - 1; }

    BatchOptions o_;
    std::string argv0_;
    unsigned jobs_ = 1;
    std::size_t window_limit_ = 16;
    UniqueFd input_owned_;
    LineReader input_;
    bool input_done_ = false;
    bool input_failed_ = false;
    std::uint64_t line_no_ = 0;  // lines read so far
    std::optional<std::uint64_t> total_;
    UniqueFd out_owned_;
    int out_fd_ = 1;
    // Resuming: lines already in the output file, checked against the input.
    std::uint64_t existing_lines_ = 0;
    std::uint64_t keep_size_ = 0, file_size_ = 0;
    UniqueFd existing_fd_;
    LineReader existing_;
    bool skipping_done_ = false;
    UniqueFd signals_;
    sigset_t original_mask_{};
    std::deque<Entry> window_;
    unsigned running_ = 0;
    // Progress.
    bool told_tmpdir_ = false;
    bool show_progress_ = false;
    std::uint64_t written_ = 0, failed_ = 0;
    std::chrono::steady_clock::time_point started_{}, last_progress_{};
};

int Batch::setup() {
    jobs_ = o_.jobs != 0 ? o_.jobs : usable_cpus();
    window_limit_ = kWindowPerJob * jobs_;
    struct rlimit nofile{};
    if (getrlimit(RLIMIT_NOFILE, &nofile) == 0 && nofile.rlim_cur != RLIM_INFINITY &&
        nofile.rlim_cur < static_cast<rlim_t>(jobs_) * 3 + 32) {
        say("--jobs " + std::to_string(jobs_) + " needs about " + std::to_string(jobs_ * 3 + 32) +
            " open files; the limit is " + std::to_string(nofile.rlim_cur));
        return 2;
    }
    if (access("/proc/self/exe", X_OK) != 0) {
        say("cannot start runners: /proc/self/exe: " + os_error_text(errno));
        return 2;
    }

    int in_fd = 0;
    if (o_.input != "-") {
        input_owned_.reset(retry_eintr([&] { return open(o_.input.c_str(), O_RDONLY | O_CLOEXEC); }));
        if (!input_owned_.valid()) {
            say("cannot open " + display_path(o_.input) + ": " + os_error_text(errno));
            return 2;
        }
        in_fd = input_owned_.get();
    }
    input_ = LineReader(in_fd, UINT64_MAX, static_cast<std::size_t>(o_.max_line_mb) << 20);
    struct stat st{};
    if (fstat(in_fd, &st) == 0 && S_ISREG(st.st_mode)) {
        // Counted once for the progress line, without moving the offset.
        off_t pos = lseek(in_fd, 0, SEEK_CUR);
        std::uint64_t lines = 0;
        char chunk[kChunk];
        char last = '\n';
        while (pos >= 0) {
            const ssize_t n = retry_eintr([&] { return pread(in_fd, chunk, sizeof chunk, pos); });
            if (n <= 0) break;
            lines += static_cast<std::uint64_t>(std::count(chunk, chunk + n, '\n'));
            last = chunk[n - 1];
            pos += n;
        }
        total_ = lines + (last != '\n' ? 1 : 0);
    }

    if (o_.out) {
        const std::string shown = display_path(*o_.out);
        out_owned_.reset(retry_eintr(
            [&] { return open(o_.out->c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666); }));
        if (!out_owned_.valid()) {
            say("cannot open " + shown + ": " + os_error_text(errno));
            return 2;
        }
        out_fd_ = out_owned_.get();
        if (fstat(out_fd_, &st) == 0 && S_ISREG(st.st_mode)) {
            existing_fd_.reset(retry_eintr([&] { return open(o_.out->c_str(), O_RDONLY | O_CLOEXEC); }));
            if (!existing_fd_.valid()) {
                say("cannot read " + shown + ": " + os_error_text(errno));
                return 2;
            }
            char chunk[kChunk];
            while (true) {
                const ssize_t n = retry_eintr([&] { return read(existing_fd_.get(), chunk, sizeof chunk); });
                if (n < 0) {
                    say("cannot read " + shown + ": " + os_error_text(errno));
                    return 2;
                }
                if (n == 0) break;
                for (ssize_t i = 0; i < n; ++i)
                    if (chunk[i] == '\n') {
                        ++existing_lines_;
                        keep_size_ = file_size_ + static_cast<std::uint64_t>(i) + 1;
                    }
                file_size_ += static_cast<std::uint64_t>(n);
            }
            if (lseek(existing_fd_.get(), 0, SEEK_SET) != 0) {
                say("cannot read " + shown + ": " + os_error_text(errno));
                return 2;
            }
            existing_ = LineReader(existing_fd_.get(), keep_size_);
        }
    }

    sigset_t block;
    sigemptyset(&block);
    for (const int sig : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&block, sig);
    if (sigprocmask(SIG_BLOCK, &block, &original_mask_) != 0) {
        say("cannot block signals: " + os_error_text(errno));
        return 2;
    }
    signals_.reset(signalfd(-1, &block, SFD_CLOEXEC | SFD_NONBLOCK));
    if (!signals_.valid()) {
        say("cannot watch signals: " + os_error_text(errno));
        return 2;
    }
    show_progress_ = isatty(2) == 1;
    started_ = last_progress_ = std::chrono::steady_clock::now();
    return 0;
}

// Compares the id of an input line that the output file already answers
// with that answer's id, so that a file from another input is never extended.
std::optional<int> Batch::verify_skipped(const std::string& expected) {
    std::optional<ReadLine> have;
    while (!(have = existing_.next()) && !existing_.exhausted())
        if (!existing_.fill()) {
            say("cannot read " + display_path(*o_.out) + ": " + os_error_text(errno));
            return 2;
        }
    const std::optional<std::string> found = have ? id_of_output_line(have->text) : std::nullopt;
    if (found != expected) {
        say(display_path(*o_.out) + " does not belong to this input: its line " + std::to_string(line_no_) +
            " has id " + found.value_or("(none)") + " where the request has id " + expected);
        return 2;
    }
    return std::nullopt;
}

// Once the answered lines are checked: a last line cut short (no line feed)
// is removed, and its request runs again.
std::optional<int> Batch::finish_skipping() {
    if (skipping_done_) return std::nullopt;
    skipping_done_ = true;
    if (line_no_ < existing_lines_) {
        say(display_path(*o_.out) + " holds " + std::to_string(existing_lines_) + " lines, more than the input's " +
            std::to_string(line_no_));
        return 2;
    }
    existing_fd_.reset();
    if (file_size_ > keep_size_ &&
        retry_eintr([&] { return ftruncate(out_fd_, static_cast<off_t>(keep_size_)); }) != 0) {
        say("cannot remove the incomplete last line of " + display_path(*o_.out) + ": " + os_error_text(errno));
        return 1;
    }
    return std::nullopt;
}

std::optional<int> Batch::admit_lines() {
    while (!input_done_ && window_.size() < window_limit_) {
        std::optional<ReadLine> line = input_.next();
        if (!line) {
            if (!input_.exhausted()) return std::nullopt;  // more to read: poll
            input_done_ = true;
            return finish_skipping();
        }
        ++line_no_;
        Entry e;
        e.line = number(line_no_);
        // A line over the limit was never held: its id is its number.
        BatchRequest request = line->too_long ? too_long_request(e.line, o_.max_line_mb)
                                              : translate_request(std::move(line->text), e.line, o_.defaults);
        if (line_no_ <= existing_lines_) {
            if (auto status = verify_skipped(request.id)) return status;
            continue;
        }
        if (auto status = finish_skipping()) return status;
        e.id = std::move(request.id);
        if (request.run.ok()) {
            e.run = std::move(request.run).value();
        } else {
            e.state = Entry::State::Done;
            e.output = error_line(request.run.error(), e.id);
        }
        window_.push_back(std::move(e));
    }
    return std::nullopt;
}

void Batch::start_waiting() {
    for (Entry& e : window_) {
        if (running_ >= jobs_) return;
        if (e.state == Entry::State::Waiting) start(e);
    }
}

// Once per batch, at its first contained request of a root batch: a TMPDIR
// that the runs' own ids cannot enter makes every such request that has no
// work directory of its own an error line, and this says why.
void Batch::check_contained_tmpdir(const BatchRun& run) {
    if (told_tmpdir_ || geteuid() != 0 || !has_flag(run.args, "--contain")) return;
    told_tmpdir_ = true;
    std::uint32_t uid = kDefaultIdRange.first;
    if (const char* range = std::getenv(kIdRangeVariable))
        if (const Result<IdRange> parsed = parse_id_range(range)) uid = parsed.value().first;
    const std::string base = temporary_base();
    if (const std::optional<std::string> closed = closed_on_the_way(base, uid, uid, true))
        say("TMPDIR " + display_path(base) + ": the runs' own ids of --contain cannot enter " + *closed +
            "; contained requests without a workdir of their own fail with an error line. Point TMPDIR at a "
            "directory that others can enter, such as /tmp");
}

// Starts a runner for a waiting request; one that cannot be started is
// answered with an error line.
void Batch::start(Entry& e) {
    check_contained_tmpdir(*e.run);
    Result<std::unique_ptr<BatchRunner>> runner = BatchRunner::start(std::move(*e.run), argv0_, original_mask_);
    e.run.reset();
    if (!runner) {
        e.state = Entry::State::Done;
        e.output = error_line("line " + std::to_string(e.line) + ": cannot start the runner: " + runner.error(), e.id);
        e.ok = false;
        return;
    }
    e.runner = std::move(runner).value();
    e.state = Entry::State::Running;
    ++running_;
}

// A request is complete when its runner has ended and its report has been
// read to the end. A cancellation signals every process of the job, and a
// runner can end of it before the batch reads its own signal: a runner that
// a stop signal ended without a report is held for kStopGrace, and written
// down as a failure only if the batch is still going then. Stopped in the
// meantime, the batch leaves the request unwritten, and a resume runs it.
void Batch::complete_if_ended(Entry& e, std::chrono::steady_clock::time_point now) {
    std::optional<BatchLine> line;
    if (e.state == Entry::State::Running) {
        if (!e.runner->ended()) return;
        --running_;  // its job slot is free from here on
        line = output_line_from_report(e.runner->report(), e.id);
        if (!line && ended_by_stop_signal(e.runner->status())) {
            e.state = Entry::State::Held;
            e.held_until = now + kStopGrace;
        }
    }
    if (e.state == Entry::State::Held && now < e.held_until) return;
    if (line) {
        e.output = std::move(line->text);
        e.ok = line->ok;
    } else {
        e.output = error_line("line " + std::to_string(e.line) + ": the runner ended without a report (" +
                                  describe_status(e.runner->status()) + ")",
                              e.id);
        e.ok = false;
    }
    e.runner.reset();
    e.state = Entry::State::Done;
}

// Milliseconds until the next held run is due, or until the next progress
// line; -1 when only events matter.
int Batch::poll_timeout(std::chrono::steady_clock::time_point now) const {
    int timeout = show_progress_ ? 1000 : -1;
    for (const Entry& e : window_) {
        if (e.state != Entry::State::Held) continue;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(e.held_until - now).count();
        const int ms = static_cast<int>(std::clamp<long long>(left, 0, 60000));
        timeout = timeout < 0 ? ms : std::min(timeout, ms);
    }
    return timeout;
}

// Writes every finished line whose predecessors are all written; false when
// the output cannot be written.
bool Batch::flush() {
    while (!window_.empty() && window_.front().state == Entry::State::Done) {
        Entry& e = window_.front();
        // One write() per line: an appended line is whole or, if the disk
        // fills, cut short and removed on the next run.
        if (const int err = write_all(out_fd_, e.output.data(), e.output.size())) {
            say("cannot write " + (o_.out ? display_path(*o_.out) : std::string("the output")) + ": " +
                os_error_text(err));
            return false;
        }
        ++written_;
        if (!e.ok) ++failed_;
        window_.pop_front();
    }
    return true;
}

void Batch::stop_runners() {
    for (Entry& e : window_)
        if (e.state == Entry::State::Running) e.runner->terminate();
    for (Entry& e : window_)
        if (e.state == Entry::State::Running) e.runner->wait();
    window_.clear();
    running_ = 0;
}

void Batch::progress(bool final) {
    if (!show_progress_) return;
    const auto now = std::chrono::steady_clock::now();
    if (!final && now - last_progress_ < std::chrono::milliseconds(200)) return;
    last_progress_ = now;
    const double secs = std::chrono::duration<double>(now - started_).count();
    const double rate = secs > 0 ? static_cast<double>(written_) / secs : 0.0;
    const std::uint64_t done = existing_lines_ + written_;
    char text[256];
    int n;
    if (total_) {
        const std::uint64_t left = *total_ > done ? *total_ - done : 0;
        const double eta = rate > 0 ? static_cast<double>(left) / rate : 0.0;
        n = std::snprintf(text, sizeof text, "\r%llu/%llu done, %.1f runs/s, %llu failed, %.0fs left\x1b[K%s",
                          static_cast<unsigned long long>(done), static_cast<unsigned long long>(*total_), rate,
                          static_cast<unsigned long long>(failed_), eta, final ? "\n" : "");
    } else {
        n = std::snprintf(text, sizeof text, "\r%llu done, %.1f runs/s, %llu failed\x1b[K%s",
                          static_cast<unsigned long long>(done), rate, static_cast<unsigned long long>(failed_),
                          final ? "\n" : "");
    }
    if (n > 0) (void)write_all(2, text, std::min(static_cast<std::size_t>(n), sizeof text - 1));
}

int Batch::run() {
    if (const int status = setup()) return status;
    const auto leave = [&](int status) {
        stop_runners();
        progress(true);
        return status;
    };
    std::vector<pollfd> fds;
    std::vector<Entry*> owners;
    while (true) {
        if (const auto status = admit_lines()) return leave(*status);
        start_waiting();
        if (!flush()) return leave(1);
        progress(false);
        if (input_done_ && window_.empty()) {
            progress(true);
            if (input_failed_) {
                say("cannot read " + (o_.input == "-" ? std::string("standard input") : display_path(o_.input)) +
                    ": the batch stopped at line " + std::to_string(number(line_no_)));
                return 2;
            }
            return 0;
        }

        fds.clear();
        owners.clear();
        fds.push_back({signals_.get(), POLLIN, 0});
        owners.push_back(nullptr);
        std::size_t input_index = 0;  // 0: input not watched
        if (!input_done_ && window_.size() < window_limit_) {
            input_index = fds.size();
            fds.push_back({input_.fd(), POLLIN, 0});
            owners.push_back(nullptr);
        }
        for (Entry& e : window_) {
            if (e.state != Entry::State::Running) continue;
            e.runner->watch(fds);
            owners.resize(fds.size(), &e);
        }
        const int timeout = poll_timeout(std::chrono::steady_clock::now());
        const int ready = retry_eintr([&] { return poll(fds.data(), fds.size(), timeout); });
        if (ready < 0) {
            say("cannot wait for runners: " + os_error_text(errno));
            return leave(2);
        }

        // A stop request first: a cancellation often signals every process
        // of the job at once, and a run it ended in this same round must
        // not be written down as that request's result; it runs again when
        // the batch is resumed.
        if (fds[0].revents != 0) {
            signalfd_siginfo info{};
            if (retry_eintr([&] { return read(signals_.get(), &info, sizeof info); }) ==
                static_cast<ssize_t>(sizeof info))
                return leave(128 + static_cast<int>(info.ssi_signo));
        }
        for (std::size_t i = 0; i < fds.size(); ++i)
            if (owners[i] != nullptr && fds[i].revents != 0) owners[i]->runner->on_event(fds[i].fd, fds[i].revents);
        if (input_index != 0 && fds[input_index].revents != 0 && !input_.fill()) {
            input_failed_ = true;
            input_done_ = true;
            if (const auto status = finish_skipping()) return leave(*status);
        }
        const auto now = std::chrono::steady_clock::now();
        for (Entry& e : window_)
            if (e.state == Entry::State::Running || e.state == Entry::State::Held) complete_if_ended(e, now);
        if (!flush()) return leave(1);
    }
}

}  // namespace

std::optional<int> run_batch_mode(const std::vector<std::string>& args, const char* argv0) {
    std::optional<Result<BatchOptions>> options = scan_batch_options(args);
    if (!options) return std::nullopt;
    if (!options->ok()) {
        say(options->error());
        return 2;
    }
    try {
        Batch batch(std::move(*options).value(), argv0);
        return batch.run();
    } catch (const std::bad_alloc&) {
        say("out of memory");
        return 1;
    }
}

}  // namespace tessimar
