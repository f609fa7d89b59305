// tessimar-exec: runs one program under limits and prints one JSON line.
#include <fcntl.h>
#include <malloc.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "batch/batch.hpp"
#include "cli/discovery.hpp"
#include "cli/options.hpp"
#include "cli/usage.hpp"
#include "common/fd.hpp"
#include "common/text.hpp"
#include "driver/cases_run.hpp"
#include "driver/problem_run.hpp"
#include "driver/run_driver.hpp"
#include "phase/spawn.hpp"
#include "phase/termination.hpp"
#include "report/output_capture.hpp"
#include "serve/serve.hpp"

using namespace tessimar;

namespace {

// Descriptors 0 to 2 always exist, so that no file the runner opens later
// can land on one of them.
void ensure_standard_descriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        const int null_fd = open("/dev/null", O_RDWR);
        if (null_fd >= 0 && null_fd != fd) close(null_fd);
    }
}

// Writes a piece of the --cases line to standard output; false when it
// cannot be written, or when a termination signal came (a reader that
// does not read cannot hold the runner then).
bool write_unless_ending(std::string_view piece) {
    while (!piece.empty()) {
        if (termination_signal() != 0) return false;
        const ssize_t n = write(1, piece.data(), piece.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        piece.remove_prefix(static_cast<std::size_t>(n));
    }
    return termination_signal() == 0;
}

Json answer(Mode mode, const std::vector<std::string>& args) {
    switch (mode) {
        case Mode::Probe: return probe_answer();
        case Mode::Languages: return languages_answer();
        case Mode::Capabilities: return capabilities_answer();
        case Mode::Help:
        case Mode::Version:
        case Mode::Run: break;
    }
    RunOptions options = scan_options(args);
    const Status input = load_stdin_file(options);
    Result<std::optional<MemFile>> expected = load_expect_file(options);
    // The program is read to its end in every case, so that a caller writing
    // it into a pipe never sees the pipe closed early; the first failure then
    // takes the place of the run.
    Result<std::string> program = read_all(0);
    if (!input) return build_setup_error_report(input.error());
    if (!expected) return build_setup_error_report(expected.error());
    Result<JudgeSettings> settings = make_judge_settings(options.judge);
    if (!settings) return build_setup_error_report(settings.error());
    if (!program)
        return build_setup_error_report("cannot read the program from standard input: " + program.error());
    if (const Status files = check_file_options(options); !files) return build_setup_error_report(files.error());
    Judging judging{std::move(settings.value()), std::move(expected.value()), options.stop_at_first_failure};
    const FileTransfer transfer{std::move(options.files), std::move(options.fetch)};
    return run(options.language, std::move(program.value()), std::move(options.stdin_text), options.limits,
               options.workdir, std::move(judging), transfer);
}

// The effective limits of a runner's argument list, as the HTTP service
// compares them with its own (the ceilings of every request).
RequestLimits request_limits(const std::vector<std::string>& args) {
    const RunOptions o = scan_options(args);
    RequestLimits r;
    r.wall_ms = wall_timeout_ms(o.limits);
    r.compile_ms = o.limits.compile_timeout_ms.value_or(0);
    r.cpu_secs = o.limits.max_cpu_secs != 0 ? o.limits.max_cpu_secs : default_cpu_secs(o.limits);
    r.memory_mb = o.limits.max_memory_mb;
    r.data_mb = o.limits.max_data_mb;
    r.output_kb = output_limit_bytes(o.limits.max_output_kb) / 1024;
    r.transcript_kb = o.judge.transcript_kb.value_or(0);
    r.contain = o.limits.contain;
    r.no_net = o.limits.no_net;
    r.workdir = o.workdir;
    r.cases = o.cases;
    r.checker = o.judge.checker;
    r.interactor = o.judge.interactor;
    r.problem = o.problem;
    return r;
}

// --cases and --problem write their line piece by piece while the cases run; --stdin and
// --stdin-file are not used. Returns the exit status, or nothing for every
// other invocation.
std::optional<int> run_cases_mode(const std::vector<std::string>& args) {
    if (select_mode(args) != Mode::Run) return std::nullopt;
    RunOptions options = scan_options(args);
    if (!options.cases && !options.problem) return std::nullopt;
    const auto to_stdout = [](std::string_view piece) { return write_unless_ending(piece); };
    Result<std::string> program = read_all(0);
    const auto setup_error = [&](const std::string& message) {
        return to_stdout(to_json_line(build_setup_error_report(message))) ? 0 : 1;
    };
    Result<JudgeSettings> settings = make_judge_settings(options.judge);
    if (!settings) return setup_error(settings.error());
    if (!program) return setup_error("cannot read the program from standard input: " + program.error());
    if (const Status files = check_file_options(options); !files) return setup_error(files.error());
    if (options.problem) {
        // The package decides how output is judged.
        if (options.cases || options.judge.check || options.judge.checker || options.judge.interactor ||
            options.expect_file)
            return setup_error("--problem judges with the package's own cases and validator: it cannot be given "
                               "with --cases, --check, --checker, --interactor or --expect-file");
        const ProblemOptions problem{*options.problem, options.timeout_given, options.stop_at_first_failure};
        return run_problem(options.language, std::move(program.value()), problem, options.limits, options.workdir,
                           to_stdout)
                   ? 0
                   : 1;
    }
    const Judging judging{std::move(settings.value()), std::nullopt, options.stop_at_first_failure};
    return run_cases(options.language, std::move(program.value()), *options.cases, options.limits, options.workdir,
                     judging, to_stdout)
               ? 0
               : 1;
}

}  // namespace

int main(int argc, char** argv) {
    ensure_standard_descriptors();
    // A closed or broken standard output must not kill the runner before it
    // has cleaned up; the write error is seen instead. Children get the
    // default disposition back before exec.
    signal(SIGPIPE, SIG_IGN);
    // Under a small file-size limit of its own the runner gets EFBIG and
    // reports it, instead of dying by SIGXFSZ. Children get the default back.
    signal(SIGXFSZ, SIG_IGN);
    // Before the next step, which makes /proc/self root's.
    prepare_spawn();
    // Children run as the same user: keep them out of /proc/<runner> and
    // away from ptrace.
    (void)prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
    // Large buffers (the program, its input, captured output) get mappings
    // of their own and go back to the system when freed. Otherwise the
    // allocator raises this threshold after the first such free and keeps
    // later ones in its heap, and a child forked afterwards would count
    // them in its peak memory.
    (void)mallopt(M_MMAP_THRESHOLD, 128 * 1024);

    std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    const Mode mode = select_mode(args);
    if (mode == Mode::Help || mode == Mode::Version) {
        const std::string_view text = mode == Mode::Help ? help_text() : version_line();
        return write_all(1, text.data(), text.size()) == 0 ? 0 : 1;
    }
    // Batch mode and the service come after the discovery options:
    // `--batch F --probe` probes.
    if (mode == Mode::Run)
        if (const std::optional<int> status = run_serve_mode(args, argc > 0 ? argv[0] : nullptr, request_limits))
            return *status;
    if (mode == Mode::Run)
        if (const std::optional<int> status = run_batch_mode(args, argc > 0 ? argv[0] : nullptr)) return *status;
    // SIGTERM, SIGINT and SIGHUP: the children are ended and, once a run has
    // begun, the run unwinds and removes what it made; the runner then exits
    // with 128 + the signal and prints nothing more.
    install_termination_handler();
    std::string line;
    try {
        if (const std::optional<int> status = run_cases_mode(args)) {
            if (const int sig = termination_signal()) return 128 + sig;
            return *status;
        }
        line = to_json_line(answer(mode, args));
    } catch (const std::exception&) {
        line = to_json_line(build_setup_error_report("internal error: out of memory"));
    }
    if (const int sig = termination_signal()) return 128 + sig;
    // Exit status 1 only when the report itself could not be delivered.
    return write_all(1, line.data(), line.size()) == 0 ? 0 : 1;
}
