// An interactive exchange: a program and an interactor started side by side,
// the program's standard output the interactor's standard input and the
// interactor's standard output the program's, under one wall clock.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "common/phase_outcome.hpp"
#include "phase/launch.hpp"

namespace tessimar {

struct ExchangeRequest {
    PhaseRequest program;     // its standard input and output are the pipes
    PhaseRequest interactor;  // the same; its own limits, no wall clock of its own
    // The interactor's exit status that accepts. Any other end of the
    // interactor while the program still runs ends the program at once.
    int accept_status = 0;
    // The runner forwards both directions, counts what the program sent and
    // keeps the first `transcript_limit` bytes of the exchange. Without a
    // relay the pipes join the two processes directly.
    bool relay = false;
    std::uint64_t transcript_limit = 0;
};

struct ExchangeOutcome {
    PhaseOutcome program;     // stdout empty: it went to the interactor
    PhaseOutcome interactor;  // stdout empty: it went to the program
    bool interactor_first = false;     // it ended by itself while the program still ran
    bool interactor_killed = false;    // the runner ended it: at the deadline, or after the grace
    bool interactor_overstayed = false;  // still running kInteractorGraceMs after the program ended
    std::optional<std::uint64_t> program_sent;  // bytes; with a relay only
    std::string transcript;                     // "> " lines the program sent, "< " the interactor's
    bool transcript_truncated = false;
};

// How long an interactor may go on once the program has ended.
inline constexpr std::uint64_t kInteractorGraceMs = 2000;

// The wall clock is the program's limit. The runner holds a reading end of
// each pipe, so that neither side is killed by SIGPIPE when the other has
// gone; once a side has ended, what the other still writes towards it is
// read and dropped, so that it never blocks on a full pipe.
ExchangeOutcome run_exchange(ExchangeRequest request);

// The transcript of an exchange, built as the bytes go by: each line is
// prefixed by its direction, a line cut by the other side's turn is ended
// first, and nothing is kept past `limit` bytes, prefixes included.
class Transcript {
public:
    explicit Transcript(std::uint64_t limit) : limit_(limit) {}
    void add(bool from_program, const char* data, std::size_t size);
    std::string take() { return std::move(text_); }
    bool truncated() const { return truncated_; }

private:
    void put(char c);
    std::uint64_t limit_;
    std::string text_;
    bool truncated_ = false;
    bool at_line_start_ = true;
    bool last_from_program_ = true;
};

}  // namespace tessimar
