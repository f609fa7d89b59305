#include "judge/judge_protocol.hpp"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>

#include "common/text.hpp"
#include "judge/compare.hpp"
#include "judge/judge_settings.hpp"
#include "workspace/tree.hpp"

namespace tessimar {
namespace {

constexpr const char* kJudgeMessageName = "judgemessage.txt";
constexpr const char* kScoreName = "score.txt";
constexpr std::size_t kMaxScoreBytes = 256;
// Enough to fill the 1 KiB message after trimming and repairing.
constexpr std::size_t kJudgeMessageRead = 4 * kMaxCheckMessage;

std::string trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
    return text;
}

CheckResult failed(const std::string& message) {
    return CheckResult{CheckVerdict::CheckerFailed, bounded_message(message)};
}

CheckResult wrong(const std::string& message) {
    return CheckResult{CheckVerdict::WrongAnswer, bounded_message(message)};
}

// The exit statuses that are a wrong answer, with the words that name them.
// A presentation error, extra output and an unexpected end say so before
// the program's own message.
struct WrongStatus {
    int status;
    const char* what;
    bool prefixed;
};

constexpr WrongStatus kTestlibWrong[] = {
    {1, "wrong answer", false},
    {2, "presentation error", true},
    {4, "extra output", true},
    {8, "unexpected end of file", true},
};

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// A testlib checker's points: its message "points X [TEXT]".
CheckResult points_result(const std::string& text, const std::string& status) {
    std::size_t i = 0;
    while (i < text.size() && is_blank(text[i])) ++i;
    constexpr std::string_view kWord = "points";
    std::optional<double> points;
    std::string_view number;
    if (std::string_view(text).substr(i, kWord.size()) == kWord && i + kWord.size() < text.size() &&
        is_blank(text[i + kWord.size()])) {
        i += kWord.size();
        while (i < text.size() && is_blank(text[i])) ++i;
        std::size_t end = i;
        while (end < text.size() && !is_blank(text[end])) ++end;
        number = std::string_view(text).substr(i, end - i);
        points = parse_decimal(number);
    }
    if (!points)
        return failed(status + " (points) but its message does not start with \"points X\": " +
                      (text.empty() ? std::string("it wrote nothing") : quote_bytes(text)));
    if (*points < 0 || *points > 1)
        return failed(status + " (points) with points " + quote_bytes(number) + " outside [0, 1]");
    CheckResult r = *points == 1 ? CheckResult{CheckVerdict::Passed, std::nullopt} : wrong(text);
    r.score = *points;
    return r;
}

CheckResult exit_result(JudgeProtocol protocol, std::int64_t code, const std::string& text, std::string_view who) {
    const std::string status = "the " + std::string(who) + " exited with status " + std::to_string(code);
    if (protocol == JudgeProtocol::Kattis) {
        if (code == kKattisAccepted) return CheckResult{CheckVerdict::Passed, std::nullopt};
        if (code == kKattisWrongAnswer) return wrong(text.empty() ? status + " (wrong answer)" : text);
        return failed(text.empty() ? status + " (kattis accepts with 42 and rejects with 43)" : text);
    }
    if (code == 0) return CheckResult{CheckVerdict::Passed, std::nullopt};
    if (code == kTestlibPoints) return points_result(text, status);
    for (const WrongStatus& w : kTestlibWrong) {
        if (code != w.status) continue;
        if (text.empty()) return wrong(status + " (" + w.what + ")");
        return wrong(w.prefixed ? std::string(w.what) + ": " + text : text);
    }
    return failed(text.empty() ? status : text);
}

// A new name in the scratch directory each time. An entry the program left
// under it makes mkdirat fail (a link is not followed), and another name is
// tried.
std::string feedback_name() {
    static std::uint64_t counter = 0;
    std::uint64_t bits = 0;
    if (retry_eintr([&] { return getrandom(&bits, sizeof bits, GRND_NONBLOCK); }) != sizeof bits)
        bits = static_cast<std::uint64_t>(getpid()) << 32 ^ ++counter;
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(bits));
    return std::string("_tessimar_feedback_") + hex;
}

}  // namespace

std::optional<JudgeProtocol> parse_judge_protocol(std::string_view name) {
    if (name == "testlib") return JudgeProtocol::Testlib;
    if (name == "kattis") return JudgeProtocol::Kattis;
    return std::nullopt;
}

std::string judge_program_message(const PhaseOutcome& o, const std::optional<std::string>& judge_message) {
    return judge_message && !judge_message->empty() ? *judge_message : trimmed(o.stderr_text);
}

CheckResult judge_program_result(JudgeProtocol protocol, const PhaseOutcome& o, const RunLimits& limits,
                                 const std::optional<std::string>& judge_message, std::string_view who) {
    const std::string the = "the " + std::string(who);
    if (o.spawn_error) return failed(the + " could not be started: " + *o.spawn_error);
    if (o.timed_out) return failed(the + " ran past the timeout of " + describe_timeout(limits));
    const std::string text = judge_program_message(o, judge_message);
    if (o.signaled) return failed(text.empty() ? the + " was killed by signal " + std::to_string(o.signal) : text);
    return exit_result(protocol, o.exit_code, text, who);
}

CheckResult with_feedback_score(CheckResult result, const FeedbackDir& feedback) {
    if (result.verdict != CheckVerdict::Passed) return result;
    Result<std::optional<double>> score = feedback.score();
    if (!score) return failed(score.error());
    result.score = score.value();
    return result;
}

FeedbackDir::FeedbackDir(UniqueFd parent, UniqueFd dir, std::string name, std::string path, DirIdentity identity)
    : parent_(std::move(parent)), dir_(std::move(dir)), name_(std::move(name)), path_(std::move(path)),
      identity_(identity) {}

FeedbackDir::FeedbackDir(FeedbackDir&& other) noexcept
    : parent_(std::move(other.parent_)), dir_(std::move(other.dir_)), name_(std::move(other.name_)),
      path_(std::move(other.path_)), identity_(other.identity_) {}

FeedbackDir::~FeedbackDir() {
    if (!parent_.valid()) return;
    dir_.reset();
    // Whatever cannot be removed goes with the scratch directory.
    (void)remove_tree_at(parent_.get(), name_, RemoveOptions{identity_, true});
}

Result<FeedbackDir> FeedbackDir::create(int scratch_fd, const std::string& scratch_dir) {
    const auto error = [&](const std::string& what, int err) {
        return Error{"cannot create a feedback directory in " + display_path(scratch_dir) + ": " + what + ": " +
                     os_error_text(err)};
    };
    UniqueFd parent(fcntl(scratch_fd, F_DUPFD_CLOEXEC, 0));
    if (!parent.valid()) return error("dup", errno);
    std::string name;
    for (int attempt = 0;; ++attempt) {
        name = feedback_name();
        if (mkdirat(parent.get(), name.c_str(), 0700) == 0) break;
        if (errno != EEXIST || attempt == 8) return error("mkdirat", errno);
    }
    UniqueFd dir(retry_eintr(
        [&] { return openat(parent.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC); }));
    struct stat st;
    const auto undo = [&](const char* what) {
        const int err = errno;
        (void)unlinkat(parent.get(), name.c_str(), AT_REMOVEDIR);
        return error(what, err);
    };
    if (!dir.valid()) return undo("openat");
    // The creation mode passed through the umask; the directory is the
    // runner's own and no one else's.
    if (fchmod(dir.get(), 0700) != 0) return undo("fchmod");
    if (fstat(dir.get(), &st) != 0) return undo("fstat");
    const DirIdentity identity{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
    std::string path = join_path(scratch_dir, name) + "/";
    return FeedbackDir(std::move(parent), std::move(dir), std::move(name), std::move(path), identity);
}

std::optional<std::string> FeedbackDir::judge_message() const {
    UniqueFd fd(retry_eintr([&] {
        return openat(dir_.get(), kJudgeMessageName, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    }));
    if (!fd.valid()) return std::nullopt;
    struct stat st;
    if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    std::string text(kJudgeMessageRead, '\0');
    std::size_t got = 0;
    while (got < text.size()) {
        const ssize_t n = retry_eintr([&] { return read(fd.get(), text.data() + got, text.size() - got); });
        if (n < 0) return std::nullopt;
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    text.resize(got);
    text = trimmed(std::move(text));
    if (text.empty()) return std::nullopt;
    return bounded_message(text);
}

Result<std::optional<double>> FeedbackDir::score() const {
    const std::string shown = display_path(path_ + kScoreName);
    const auto bad = [&](const std::string& why) { return Error{"the score file " + shown + " " + why}; };
    UniqueFd fd(retry_eintr([&] {
        return openat(dir_.get(), kScoreName, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    }));
    if (!fd.valid()) {
        if (errno == ENOENT) return std::optional<double>();
        return bad(errno == ELOOP ? "is a symbolic link" : "cannot be opened: " + os_error_text(errno));
    }
    struct stat st;
    if (fstat(fd.get(), &st) != 0) return bad("cannot be read: " + os_error_text(errno));
    if (!S_ISREG(st.st_mode)) return bad("is not a regular file");
    std::string text;
    if (const int err = append_to_end(fd.get(), text, kMaxScoreBytes))
        return bad(err == EFBIG ? "is larger than " + std::to_string(kMaxScoreBytes) + " bytes"
                                : "cannot be read: " + os_error_text(err));
    std::size_t begin = 0, end = text.size();
    while (begin < end && is_blank(text[begin])) ++begin;
    while (end > begin && is_blank(text[end - 1])) --end;
    const std::string_view number = std::string_view(text).substr(begin, end - begin);
    const std::optional<double> value = parse_decimal(number);
    if (!value) return bad("holds " + quote_bytes(number) + ", not a finite decimal number");
    return std::optional<double>(*value);
}

}  // namespace tessimar
