#include "driver/run_driver.hpp"

#include <unistd.h>

#include <chrono>
#include <climits>

#include "catalogue/resolve.hpp"
#include "catalogue/template.hpp"
#include "common/text.hpp"
#include "phase/launch.hpp"
#include "workspace/scratch_dir.hpp"
#include "workspace/tree.hpp"
#include "workspace/work_dir.hpp"

namespace tessimar {
namespace {

using Clock = std::chrono::steady_clock;

std::uint64_t ms_since(Clock::time_point start) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    return ms < 0 ? 0 : static_cast<std::uint64_t>(ms);
}

std::string current_dir() {
    std::string buf(PATH_MAX, '\0');
    if (getcwd(buf.data(), buf.size()) == nullptr) return {};
    buf.resize(std::char_traits<char>::length(buf.c_str()));
    return buf;
}

// The paths one phase's child is given. Each must resolve from that child's
// own current directory: the compile phase runs in the scratch directory,
// the run phase in the work directory.
struct PhasePaths {
    std::string file, exe, work, shim, python_path;
};

PhasePaths paths_for(const std::string& scratch_base, const std::string& python_path,
                     const std::string& extension) {
    return PhasePaths{join_path(scratch_base, "main." + extension), join_path(scratch_base, "a.out"),
                      scratch_base, join_path(scratch_base, kShimFileName), python_path};
}

std::vector<std::string> expand(const std::vector<std::string>& tmpl, const PhasePaths& p) {
    std::vector<std::string> argv;
    for (const std::string& arg : tmpl) argv.push_back(expand_template(arg, p.file, p.exe, p.work));
    return argv;
}

EnvPairs extra_env(const PhasePaths& p, const std::string& work_dir) {
    return {{"NODE_OPTIONS", "--require=" + p.shim}, {"TESSIMAR_WORKDIR_ROOT", work_dir}};
}

class CreatedDir {
public:
    CreatedDir(std::string path, std::optional<DirIdentity> id) : path_(std::move(path)), id_(id), active_(true) {}
    CreatedDir() = default;
    CreatedDir(const CreatedDir&) = delete;
    CreatedDir& operator=(const CreatedDir&) = delete;
    CreatedDir& operator=(CreatedDir&& o) noexcept {
        path_ = std::move(o.path_);
        id_ = o.id_;
        active_ = std::exchange(o.active_, false);
        return *this;
    }
    ~CreatedDir() {
        if (active_) remove_dir_guarded(path_, id_);
    }

private:
    std::string path_;
    std::optional<DirIdentity> id_;
    bool active_ = false;
};

Json run_in(const LanguageSpec& spec, const std::string& w, const std::string& program_text,
            const std::string& stdin_text, const RunLimits& limits) {
    Result<std::string> scratch = prepare_scratch_dir(w);
    if (!scratch) return build_setup_error_report(scratch.error());
    const std::string& s = scratch.value();
    Result<RunFiles> files = write_run_files(s, spec, program_text);
    if (!files) return build_setup_error_report(files.error());

    // A relative work directory: the compile child gets absolute paths, the
    // run child paths relative to the work directory it runs in.
    PhasePaths compile_paths = paths_for(s, w, spec.extension);
    PhasePaths run_paths = compile_paths;
    if (!w.empty() && w.front() != '/') {
        if (const std::string cwd = current_dir(); !cwd.empty()) {
            const std::string abs_w = join_path(cwd, w);
            compile_paths = paths_for(join_path(abs_w, kScratchDirName), abs_w, spec.extension);
        }
        run_paths = paths_for(std::string("./") + kScratchDirName, ".", spec.extension);
    }

    const Clock::time_point t0 = Clock::now();
    std::uint64_t compile_ms = 0;
    RunLimits run_limits = limits;

    if (spec.compile_template) {
        PhaseRequest compile{"compile", expand(*spec.compile_template, compile_paths), s, s, "",
                             limits, compile_paths.python_path, extra_env(compile_paths, w)};
        PhaseOutcome outcome = run_phase(compile);
        compile_ms = ms_since(t0);
        if (outcome.timed_out || outcome.signaled || outcome.exit_code != 0)
            return build_compile_failure_report(spec.name, std::move(outcome), compile_ms, ms_since(t0),
                                                w, limits.max_memory_mb);
    }
    if (compile_ms > 0) {
        const std::uint64_t budget = sat_mul(limits.timeout_secs, 1000);
        const std::uint64_t elapsed = ms_since(t0);
        if (budget <= elapsed) return build_budget_exhausted_report(spec.name, compile_ms, elapsed, w);
        const std::uint64_t left = budget - elapsed;  // rounded up to whole seconds, without overflow
        run_limits.timeout_secs = left / 1000 + (left % 1000 != 0 ? 1 : 0);
    }

    PhaseRequest run{"run", expand(spec.run_template, run_paths), s, w, stdin_text,
                     run_limits, run_paths.python_path, extra_env(run_paths, w)};
    const Clock::time_point t1 = Clock::now();
    PhaseOutcome outcome = run_phase(run);
    const std::uint64_t duration_ms = ms_since(t1);
    const std::uint64_t total_ms = ms_since(t0);
    return build_run_report(spec.name, std::move(outcome), duration_ms, compile_ms, total_ms, w,
                            limits.max_memory_mb);
}

}  // namespace

Json run(const std::string& language, const std::string& program_text, const std::string& stdin_text,
         const RunLimits& limits, const std::optional<std::string>& workdir) {
    Result<LanguageSpec> spec = resolve_language(language);
    if (!spec) return build_setup_error_report(spec.error());

    if (workdir) return run_in(spec.value(), *workdir, program_text, stdin_text, limits);

    Result<std::string> created = create_work_dir();
    if (!created) return build_setup_error_report(created.error());
    // Removed on every path from here, after the result is built.
    CreatedDir guard(created.value(), dir_identity(created.value()));
    return run_in(spec.value(), created.value(), program_text, stdin_text, limits);
}

}  // namespace tessimar
