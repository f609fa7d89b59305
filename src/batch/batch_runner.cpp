#include "batch/batch_runner.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

#include "common/c_strings.hpp"
#include "common/text.hpp"

extern char** environ;

namespace tessimar {
namespace {

constexpr std::size_t kChunk = 65536;
constexpr const char* kSelf = "/proc/self/exe";

// Above 3, so that the dup2 calls onto 0, 1 and 3 in a starting runner can
// never land on one of its sources.
int lift(int fd) { return move_above(fd, 3); }

struct Pipe {
    UniqueFd read_end, write_end;
};

Result<Pipe> make_pipe() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return Error{os_error_text(errno)};
    Pipe p{UniqueFd(lift(fds[0])), UniqueFd(lift(fds[1]))};
    if (!p.read_end.valid() || !p.write_end.valid()) return Error{os_error_text(errno)};
    return p;
}

bool set_nonblocking(int fd) {
    const int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

}  // namespace

// Everything the child touches is prepared before the fork; between fork
// and exec it makes system calls only.
Result<std::unique_ptr<BatchRunner>> BatchRunner::start(BatchRun run, const std::string& argv0,
                                                        const sigset_t& child_mask) {
    // Inline tests and expected answers become files the runner is pointed at.
    Result<InlineFiles> files = InlineFiles::write(run);
    if (!files) return Error{files.error()};
    // The request's standard input, NUL bytes and all, reaches the runner as
    // its descriptor 3, which it opens by name (kBatchStdinPath).
    UniqueFd stdin_fd;
    if (run.stdin_text) {
        stdin_fd.reset(lift(static_cast<int>(syscall(SYS_memfd_create, "tessimar-batch-stdin", MFD_CLOEXEC))));
        if (!stdin_fd.valid()) return Error{os_error_text(errno)};
        if (const int err = write_all(stdin_fd.get(), run.stdin_text->data(), run.stdin_text->size()))
            return Error{os_error_text(err)};
        run.stdin_text.reset();
    }
    Result<Pipe> to = make_pipe();
    if (!to) return Error{to.error()};
    Result<Pipe> from = make_pipe();
    if (!from) return Error{from.error()};
    Result<Pipe> exec_error = make_pipe();
    if (!exec_error) return Error{exec_error.error()};
    if (!set_nonblocking(to.value().write_end.get()) || !set_nonblocking(from.value().read_end.get()))
        return Error{os_error_text(errno)};

    std::vector<std::string> arg_strings;
    arg_strings.reserve(run.args.size() + 1);
    arg_strings.push_back(argv0);
    for (std::string& a : run.args) arg_strings.push_back(std::move(a));
    std::vector<char*> argv = c_pointers(arg_strings);
    const int child_in = to.value().read_end.get();
    const int child_out = from.value().write_end.get();
    const int child_stdin_text = stdin_fd.get();
    const int report_fd = exec_error.value().write_end.get();
    const pid_t parent = getpid();

    const pid_t pid = fork();
    if (pid == 0) {
        // Its own process group: a terminal's signals reach the batch alone,
        // which then ends its runners itself.
        (void)setpgid(0, 0);
        (void)prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent) _exit(127);
        int err = 0;
        if (dup2(child_in, 0) < 0 || dup2(child_out, 1) < 0 ||
            (child_stdin_text >= 0 && dup2(child_stdin_text, 3) < 0))
            err = errno;
        if (err == 0) {
            (void)sigprocmask(SIG_SETMASK, &child_mask, nullptr);
            execve(kSelf, argv.data(), environ);
            err = errno;
        }
        ssize_t n;
        do {
            n = write(report_fd, &err, sizeof err);
        } while (n < 0 && errno == EINTR);
        _exit(127);
    }
    if (pid < 0) return Error{os_error_text(errno)};

    std::unique_ptr<BatchRunner> runner(new BatchRunner());
    runner->pid_ = pid;
    runner->files_ = std::move(files).value();
    to.value().read_end.reset();
    from.value().write_end.reset();
    exec_error.value().write_end.reset();
    stdin_fd.reset();
    int child_errno = 0;
    const ssize_t got =
        retry_eintr([&] { return read(exec_error.value().read_end.get(), &child_errno, sizeof child_errno); });
    if (got != 0) {
        runner->wait();
        return Error{os_error_text(got == static_cast<ssize_t>(sizeof child_errno) ? child_errno : EIO)};
    }
    // Optional: without a pidfd the runner is reaped once its report ends.
    runner->pidfd_.reset(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
    runner->to_runner_ = std::move(to.value().write_end);
    runner->from_runner_ = std::move(from.value().read_end);
    runner->program_ = std::move(run.program);
    if (runner->program_.empty()) runner->to_runner_.reset();
    return runner;
}

BatchRunner::~BatchRunner() {
    if (pid_ <= 0 || reaped_) return;
    terminate();
    wait();
}

void BatchRunner::watch(std::vector<pollfd>& fds) const {
    if (to_runner_.valid()) fds.push_back({to_runner_.get(), POLLOUT, 0});
    if (from_runner_.valid()) fds.push_back({from_runner_.get(), POLLIN, 0});
    if (!reaped_ && pidfd_.valid()) fds.push_back({pidfd_.get(), POLLIN, 0});
}

void BatchRunner::on_event(int fd, short revents) {
    if (fd == to_runner_.get()) {
        while (written_ < program_.size()) {
            const std::size_t n = std::min(program_.size() - written_, kChunk);
            const ssize_t w = retry_eintr([&] { return write(fd, program_.data() + written_, n); });
            if (w < 0 && errno == EAGAIN) return;
            if (w <= 0) break;  // the runner stopped reading; it reports on its own
            written_ += static_cast<std::size_t>(w);
        }
        to_runner_.reset();
        program_.clear();
        program_.shrink_to_fit();
    } else if (fd == from_runner_.get()) {
        char chunk[kChunk];
        while (true) {
            const ssize_t n = retry_eintr([&] { return read(fd, chunk, sizeof chunk); });
            if (n < 0 && errno == EAGAIN) return;
            if (n <= 0) break;
            report_.append(chunk, static_cast<std::size_t>(n));
        }
        from_runner_.reset();
    } else if (fd == pidfd_.get() && (revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
        (void)reap(false);
    }
}

bool BatchRunner::ended() {
    if (from_runner_.valid()) return false;
    if (!reaped_ && !reap(!pidfd_.valid())) return false;
    to_runner_.reset();
    return true;
}

void BatchRunner::terminate() {
    if (reaped_ || terminated_) return;
    terminated_ = true;
    (void)kill(pid_, SIGTERM);
}

void BatchRunner::wait() { (void)reap(true); }

bool BatchRunner::reap(bool block) {
    if (reaped_) return true;
    const pid_t w = retry_eintr([&] { return waitpid(pid_, &status_, block ? 0 : WNOHANG); });
    if (w == pid_) {
        reaped_ = true;
        pidfd_.reset();
    } else if (w < 0) {
        // Not ours to wait for any more (cannot happen while the batch owns
        // it); never wait on it again.
        reaped_ = true;
        status_ = 0x7f00;  // exit status 127
        pidfd_.reset();
    }
    return reaped_;
}

}  // namespace tessimar
