// The requests that arrive from outside: a --batch line (also the body of
// POST /run) and a POST /run_code body, and the answer built from a runner's
// output line. Any bytes give a value, never a crash, and:
//   - a refused line's message names its line;
//   - every /run_code body that is translated to a request is one that the
//     batch translation reads as a JSON object (it may still refuse it);
//   - every /run_code answer is a JSON object with one of the three statuses.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "batch/batch_request.hpp"
#include "fuzz_support.hpp"
#include "serve/run_code.hpp"

namespace {

using nlohmann::json;

void check_answer(const std::string& body) {
    const json answer = json::parse(body, nullptr, false);
    FUZZ_CHECK(answer.is_object());
    const std::string status = answer.value("status", "");
    FUZZ_CHECK(status == "Success" || status == "Failed" || status == "SandboxError");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const std::vector<std::string> defaults = {"--timeout", "5"};

    const tessimar::BatchRequest line = tessimar::translate_request(std::string(bytes), 7, defaults);
    FUZZ_CHECK(!line.id.empty());
    if (!line.run.ok()) FUZZ_CHECK(line.run.error().rfind("line 7: ", 0) == 0);

    const tessimar::RunCodeCall call = tessimar::translate_run_code(bytes);
    switch (call.kind) {
        case tessimar::RunCodeCall::Kind::Run: {
            FUZZ_CHECK(json::parse(call.batch_request, nullptr, false).is_object());
            const tessimar::BatchRequest again = tessimar::translate_request(call.batch_request, 1, defaults);
            if (!again.run.ok()) FUZZ_CHECK(again.run.error().rfind("line 1: ", 0) == 0);
            break;
        }
        case tessimar::RunCodeCall::Kind::UnknownLanguage: check_answer(call.text); break;
        case tessimar::RunCodeCall::Kind::Invalid: FUZZ_CHECK(!call.text.empty()); break;
    }

    // The same bytes as a runner's output line.
    check_answer(tessimar::run_code_response(bytes, size % 2 == 0));
    check_answer(tessimar::run_code_sandbox_error(bytes));
    return 0;
}
