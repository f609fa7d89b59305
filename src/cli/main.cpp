// tessimar-exec: runs one program under limits and prints one JSON line.
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "cli/discovery.hpp"
#include "cli/options.hpp"
#include "cli/usage.hpp"
#include "common/fd.hpp"
#include "common/text.hpp"
#include "driver/run_driver.hpp"

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
    load_stdin_file(options);
    std::string program = read_all(0);
    if (!is_valid_utf8(program)) program.clear();
    return run(options.language, program, options.stdin_text, options.limits, options.workdir);
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
    // Children run as the same user: keep them out of /proc/<runner> and
    // away from ptrace.
    (void)prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);

    std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    const Mode mode = select_mode(args);
    if (mode == Mode::Help || mode == Mode::Version) {
        const std::string_view text = mode == Mode::Help ? help_text() : version_line();
        return write_all(1, text.data(), text.size()) == 0 ? 0 : 1;
    }
    std::string line;
    try {
        line = to_json_line(answer(mode, args));
    } catch (const std::exception&) {
        line = to_json_line(build_setup_error_report("internal error: out of memory"));
    }
    // Exit status 1 only when the report itself could not be delivered.
    return write_all(1, line.data(), line.size()) == 0 ? 0 : 1;
}
