// The HTTP service's POST /run_code, in the request and response shapes of
// SandboxFusion's API (the one RL training loops send, one request per test),
// translated to and from one --batch request and its output line. Pure
// functions: text in, text out; no processes, no files.
#pragma once

#include <string>
#include <string_view>

namespace tessimar {

struct RunCodeCall {
    enum class Kind { Run, UnknownLanguage, Invalid };
    Kind kind = Kind::Invalid;
    std::string batch_request;       // Run: one --batch request object (JSON text, no "id")
    bool has_compile_phase = false;  // Run: the language row compiles (compile_result is then not null)
    std::string text;                // UnknownLanguage: the whole response body (HTTP 200, status "SandboxError");
                                     // Invalid: the error message for a 400 {"error":...,"ok":false}
};

// A POST /run_code body (SandboxFusion's request) as the --batch request that runs it.
RunCodeCall translate_run_code(std::string_view body);

// The HTTP 200 response body for a Run call, from the --batch output line of its request
// (a run report, possibly with "id", "files", "files_too_large").
std::string run_code_response(std::string_view batch_line, bool has_compile_phase);

// The HTTP 200 response body when the service itself failed (e.g. a runner that ended without a report).
std::string run_code_sandbox_error(std::string_view message);

}  // namespace tessimar
