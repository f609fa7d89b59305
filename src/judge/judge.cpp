#include "judge/judge.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include "common/fd.hpp"
#include "common/text.hpp"
#include "judge/checker.hpp"
#include "judge/compare.hpp"
#include "report/output_capture.hpp"

namespace tessimar {
namespace {

constexpr const char* kOutputName = "run.out";

CheckResult failed(const std::string& message) {
    return CheckResult{CheckVerdict::CheckerFailed, bounded_message(message)};
}

// The program's standard output as it wrote it. The run's verdict is "OK",
// so it is within the output cap; the file is refused when it is no longer
// a regular file.
Result<std::string> read_output(int dir_fd, std::uint64_t max_output_kb) {
    UniqueFd fd(retry_eintr([&] {
        return openat(dir_fd, kOutputName, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    }));
    if (!fd.valid()) return Error{os_error_text(errno)};
    struct stat st;
    if (fstat(fd.get(), &st) != 0) return Error{os_error_text(errno)};
    if (!S_ISREG(st.st_mode)) return Error{"not a regular file"};
    std::string data;
    const std::uint64_t limit = output_limit_bytes(max_output_kb);
    if (const int err = append_to_end(fd.get(), data, static_cast<std::size_t>(limit))) return Error{os_error_text(err)};
    return data;
}

}  // namespace

JudgeCase prepare_judge_case(const JudgeSettings& s, std::optional<MemFile> answer, std::string_view input) {
    JudgeCase j;
    j.answer = std::move(answer);
    if (!s.checker && !s.interactor) return j;
    if (!j.answer) {
        Result<MemFile> empty = empty_mem_file();
        if (!empty) return JudgeCase{std::nullopt, std::nullopt, "cannot hold the checker's answer: " + empty.error()};
        j.answer = std::move(empty.value());
    }
    Result<MemFile> in = mem_file_from_bytes(input);
    if (!in) return JudgeCase{std::nullopt, std::nullopt, "cannot hold the checker's input: " + in.error()};
    j.input = std::move(in.value());
    return j;
}

CheckResult judge_output(const JudgeSettings& s, const JudgeCase& j, const std::string& scratch_dir,
                         const std::string& python_path, const RunLimits& limits) {
    if (j.error) return failed(*j.error);
    UniqueFd dir(retry_eintr(
        [&] { return open(scratch_dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC); }));
    if (!dir.valid()) return failed("cannot open " + display_path(scratch_dir) + ": " + os_error_text(errno));

    if (s.checker) {
        // The output file must still be the program's own regular file.
        struct stat st;
        if (fstatat(dir.get(), kOutputName, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
            return failed("the program's output file " + display_path(join_path(scratch_dir, kOutputName)) +
                          " is missing or not a regular file");
        std::string abs_scratch = scratch_dir;
        if (abs_scratch.front() != '/') abs_scratch = join_path(current_dir(), scratch_dir);
        CheckerRequest request{*s.checker, abs_scratch, dir.get(), kOutputName, python_path,
                               limits,     s.protocol,  s.judge_args, {}};
        if (s.protocol == JudgeProtocol::Kattis) {
            // Its standard input: the output, copied now as the comparison
            // modes read it.
            Result<std::string> output = read_output(dir.get(), limits.max_output_kb);
            if (!output)
                return failed("cannot read the program's output " +
                              display_path(join_path(scratch_dir, kOutputName)) + ": " + output.error());
            request.output = std::move(output.value());
        }
        return run_checker(std::move(request), *j.input, *j.answer);
    }
    if (!j.answer) return CheckResult{};
    Result<std::string> output = read_output(dir.get(), limits.max_output_kb);
    if (!output)
        return failed("cannot read the program's output " + display_path(join_path(scratch_dir, kOutputName)) +
                      ": " + output.error());
    Result<std::string> expected = read_mem_file(*j.answer);
    if (!expected) return failed("cannot read the expected answer: " + expected.error());
    return compare_output(expected.value(), output.value(), s);
}

}  // namespace tessimar
