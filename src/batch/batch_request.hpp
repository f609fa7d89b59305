// One line of a batch: the JSON request turned into the runner's own
// argument list, and the runner's report turned back into a batch line with
// the request's id. Pure functions; no processes, no files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.hpp"

namespace tessimar {

// The path under which a request's standard-input text reaches its runner:
// descriptor 3 of the runner, opened afresh by name.
inline constexpr const char* kBatchStdinPath = "/proc/self/fd/3";

inline constexpr std::size_t kMaxInlineTests = 1000;
// The most entries of a request's "files" and of its "fetch_files".
inline constexpr std::size_t kMaxRequestFiles = 1000;

// One entry of a request's "files": a path relative to the work directory
// and the file's bytes (decoded from base64).
struct RequestFile {
    std::string path;
    std::string content;
};

// One test of a request's "tests": a case of its own, written to a private
// directory that the runner is given with --cases.
struct InlineTest {
    std::string name;                     // a case name: "NAME.in" is a file name
    std::string stdin_text;
    std::optional<std::string> expected;  // NAME.out when given
};

// What one runner invocation needs.
struct BatchRun {
    std::vector<std::string> args;         // without argv[0]
    std::string program;                   // goes to the runner's standard input
    std::optional<std::string> stdin_text; // goes to descriptor 3 (kBatchStdinPath)
    // Written to a private directory when the runner starts, which then
    // adds --cases or --expect-file for them (see inline_files.hpp).
    std::vector<InlineTest> tests;
    std::optional<std::string> expected;   // a single run's expected answer
    // Written below the same private directory, which the runner then gets
    // with --files.
    std::vector<RequestFile> files;
    bool files_given = false;  // "files" was in the request, even empty
};

struct BatchRequest {
    // The JSON text of the id echoed in the output line: a string in standard
    // escaping, a number as written, or the line number when the line has no
    // valid id.
    std::string id;
    bool id_given = false;  // the line's own valid "id" (not its number)
    Result<BatchRun> run;  // the error text starts with "line N: "
};

// Translates one input line (without its line feed). `defaults` are the run
// options of the batch command line; the request's own keys come after them
// and so decide, a request's `false` included (see README). The line is
// taken: its long strings move into the run instead of being copied.
BatchRequest translate_request(std::string line, std::uint64_t line_number,
                               const std::vector<std::string>& defaults);

// The request of a line longer than --max-line-mb, which was not kept: its
// id is its number.
BatchRequest too_long_request(std::uint64_t line_number, std::uint64_t max_line_mb);

// The JSON text of the top-level "id" member of an output line, in the form
// translate_request gives it; nullopt when the line has none.
std::optional<std::string> id_of_output_line(std::string_view line);

struct BatchLine {
    std::string text;  // ends in a line feed
    bool ok = false;   // the report's "ok" member
};

// The batch line for a runner's standard output: its one JSON object with
// "id" added (none for an empty `id`), members in byte order. Nullopt when the runner's output is not
// exactly one JSON object on one line.
std::optional<BatchLine> output_line_from_report(std::string_view report, const std::string& id);

// {"error":message,"id":id,"ok":false} and a line feed; without "id" for an
// empty `id`.
std::string error_line(const std::string& message, const std::string& id);

}  // namespace tessimar
