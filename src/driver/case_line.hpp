// What the runs of many cases share while their one report line is written
// piece by piece: the sink, the pieces, and the report of a case whose
// program never started.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "driver/run_driver.hpp"
#include "report/run_report.hpp"

namespace tessimar {

// Receives the pieces of the one report line in order; false when they can
// no longer be delivered.
using LineSink = std::function<bool(std::string_view)>;

inline constexpr const char* kOutOfMemory = "internal error: out of memory";

// The line being written: after the sink fails once, nothing more is sent.
class Line {
public:
    explicit Line(const LineSink& sink) : sink_(sink) {}
    void put(std::string_view piece) {
        if (ok_) ok_ = sink_(piece);
    }
    bool ok() const { return ok_; }

private:
    const LineSink& sink_;
    bool ok_ = true;
};

// A JSON value as one line's piece: compact, without the line feed.
std::string compact(const Json& value);

// A case whose program was never started: reported like a start failure.
TimedOutcome not_started(const std::string& message, const PreparedRun& run);

}  // namespace tessimar
