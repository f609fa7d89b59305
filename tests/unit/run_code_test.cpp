// The HTTP service's /run_code translation: a request body in SandboxFusion's
// shape to one --batch request, and a --batch output line to their response.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "catalogue/catalogue.hpp"
#include "serve/run_code.hpp"

using namespace tessimar;
using nlohmann::json;

namespace {

json run_request(const std::string& body) {
    const RunCodeCall call = translate_run_code(body);
    EXPECT_EQ(call.kind, RunCodeCall::Kind::Run) << body << " -> " << call.text;
    if (call.kind != RunCodeCall::Kind::Run) return json();
    const json request = json::parse(call.batch_request);
    EXPECT_FALSE(request.contains("id"));
    return request;
}

json response_of(const json& report, bool has_compile_phase) {
    return json::parse(run_code_response(report.dump() + "\n", has_compile_phase));
}

// A run report as the runner prints it, with the given members changed.
json report(json changes) {
    json r = {{"compile_ms", 0},      {"cpu_ms", 20},        {"duration_ms", 30},   {"exit_code", 0},
              {"language", "python3"}, {"ok", true},          {"output_error", nullptr},
              {"output_truncated", false}, {"peak_memory_kb", 9216}, {"phase", "run"}, {"platform", "linux"},
              {"spawn_error", nullptr}, {"stderr", ""},       {"stderr_bytes", 0},   {"stdout", "3\n"},
              {"stdout_bytes", 2},      {"timed_out", false}, {"total_ms", 31},      {"unenforced", json::array()},
              {"verdict", "OK"},        {"workdir", "/tmp/tessimar-1-a"}, {"id", 1}};
    if (!changes.is_null()) r.update(changes);  // report({}): no changes
    return r;
}

}  // namespace

TEST(RunCode, RequestFieldsBecomeBatchKeys) {
    // Their clients send fields of their own; those are skipped.
    EXPECT_EQ(run_request(R"j({"code":"print(int(input())+1)","language":"python","stdin":"2\n","run_timeout":1.5,)j"
                          R"j("compile_timeout":10,"memory_limit_MB":256,"files":{},"fetch_files":[],)j"
                          R"j("extra":{"nested":[1,{"deep":true}]},"stdin_is_null_elsewhere":null})j"),
              json({{"lang", "python3"},
                    {"program", "print(int(input())+1)"},
                    {"stdin", "2\n"},
                    {"timeout_ms", 1500},
                    {"compile_timeout_ms", 10000},
                    {"max_data_mb", 256}}));
    // verl sends "stdin": null when a case has no input, and memory -1 for
    // "no limit of its own": neither key is set, so the service's own apply.
    EXPECT_EQ(run_request(R"({"code":"int main(){}","language":"cpp","stdin":null,"memory_limit_MB":-1})"),
              json({{"lang", "cpp"}, {"program", "int main(){}"}}));
    EXPECT_EQ(run_request(R"({"code":"","language":"R","memory_limit_MB":512.0})"),
              json({{"lang", "r"}, {"program", ""}, {"max_data_mb", 512}}));
}

TEST(RunCode, TimeoutsRoundToTheNearestMillisecondAsWritten) {
    const std::vector<std::pair<const char*, std::uint64_t>> cases = {
        {"1.5", 1500},  {"2", 2000},   {"0.1", 100}, {"1.0005", 1001}, {"1.0004", 1000}, {"0.0004", 1},
        {"0.0005", 1},  {"0.0015", 2}, {"0", 1},     {"0.0", 1},       {"2.5e3", 2500000}, {"1e-3", 1},
        {"18446744073709551", 18446744073709551000u}};
    for (const auto& [seconds, ms] : cases) {
        const json r = run_request(std::string(R"({"code":"","language":"bash","run_timeout":)") + seconds + "}");
        EXPECT_EQ(r["timeout_ms"], ms) << seconds;
    }
}

TEST(RunCode, FilesAndFetchFilesKeepTheirShape) {
    EXPECT_EQ(run_request(R"({"code":"","language":"python","files":{"a/b.txt":"aGk=","./c":"aGVs\nbG8=","e":""},)"
                          R"("fetch_files":["out.txt","d/e.bin"]})"),
              json({{"lang", "python3"},
                    {"program", ""},
                    {"files", {{"a/b.txt", "aGk="}, {"./c", "aGVsbG8="}, {"e", ""}}},
                    {"fetch_files", {"out.txt", "d/e.bin"}}}));
}

TEST(RunCode, EveryMappedLanguageIsACatalogueRowAndTheCompiledOnesSaySo) {
    for (const char* name : {"python", "cpp", "c", "nodejs", "typescript", "go", "java", "php", "bash", "rust", "lua",
                             "R", "perl", "ruby", "swift", "csharp", "sql"}) {
        const RunCodeCall call = translate_run_code(std::string(R"({"code":"","language":")") + name + "\"}");
        ASSERT_EQ(call.kind, RunCodeCall::Kind::Run) << name;
        const std::string row = json::parse(call.batch_request)["lang"];
        bool found = false;
        for (const LanguageSpec& entry : catalogue())
            if (entry.name == row) {
                found = true;
                EXPECT_EQ(call.has_compile_phase, entry.compile_template.has_value()) << name;
            }
        EXPECT_TRUE(found) << name << " -> " << row;
    }
    EXPECT_TRUE(translate_run_code(R"({"code":"","language":"cpp"})").has_compile_phase);
    EXPECT_FALSE(translate_run_code(R"({"code":"","language":"go"})").has_compile_phase);
}

TEST(RunCode, UnknownLanguageIsTheirSandboxErrorNamingOurs) {
    for (const char* name : {"kotlin_script", "scala", "D_ut", "r", "python3"}) {
        const RunCodeCall call = translate_run_code(std::string(R"({"code":"x","language":")") + name + "\"}");
        ASSERT_EQ(call.kind, RunCodeCall::Kind::UnknownLanguage) << name;
        const json body = json::parse(call.text);
        EXPECT_EQ(body["status"], "SandboxError");
        EXPECT_TRUE(body["run_result"].is_null());
        EXPECT_TRUE(body["compile_result"].is_null());
        EXPECT_EQ(body["files"], json::object());
        const std::string message = body["message"];
        EXPECT_NE(message.find(std::string("\"") + name + "\""), std::string::npos) << message;
        EXPECT_NE(message.find("python, cpp, c, nodejs"), std::string::npos) << message;
        EXPECT_NE(message.find(", R,"), std::string::npos) << message;
    }
}

TEST(RunCode, BadRequestsAreInvalidNamingTheFieldAndValue) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {R"(print(1))", "not valid JSON"},
        {R"(["code"])", "must be a JSON object, not an array"},
        {R"({"language":"python"})", "missing 'code'"},
        {R"({"code":7,"language":"python"})", "'code' must be a string, not 7"},
        {R"({"code":"x"})", "missing 'language'"},
        {R"({"code":"x","language":null})", "'language' must be a string, not null"},
        {R"({"code":"x","language":"python","stdin":5})", "'stdin' must be a string, not 5"},
        {R"({"code":"x","language":"python","run_timeout":-1})", "'run_timeout' must be a number of seconds that is not negative, not -1"},
        {R"({"code":"x","language":"python","run_timeout":-0.5})", "'run_timeout' must be a number of seconds that is not negative, not -0.5"},
        {R"({"code":"x","language":"python","run_timeout":"5"})", "'run_timeout' must be a number of seconds that is not negative, not a string"},
        {R"({"code":"x","language":"python","run_timeout":null})", "'run_timeout' must be a number of seconds that is not negative, not null"},
        {R"({"code":"x","language":"cpp","compile_timeout":true})", "'compile_timeout' must be a number of seconds that is not negative, not true"},
        {R"({"code":"x","language":"cpp","compile_timeout":1e300})", "'compile_timeout' is too large"},
        {R"({"code":"x","language":"cpp","compile_timeout":18446744073709552})", "'compile_timeout' is too large"},
        {R"({"code":"x","language":"python","memory_limit_MB":-2})", "'memory_limit_MB' must be a whole number of MB"},
        {R"({"code":"x","language":"python","memory_limit_MB":1.5})", "'memory_limit_MB' must be a whole number of MB (-1: no limit of its own), not 1.5"},
        {R"({"code":"x","language":"python","memory_limit_MB":"256"})", "'memory_limit_MB' must be a whole number of MB"},
        {R"({"code":"x","language":"python","files":["a"]})", "'files' must be an object of relative paths to base64 contents, not an array"},
        {R"({"code":"x","language":"python","files":{"/etc/passwd":"aGk="}})", "'files': the path \"/etc/passwd\" is absolute"},
        {R"({"code":"x","language":"python","files":{"../x":"aGk="}})", "'files': the path \"../x\" has a '..' component"},
        {R"({"code":"x","language":"python","files":{"a/../../x":"aGk="}})", "the path \"a/../../x\" has a '..' component"},
        {R"({"code":"x","language":"python","files":{"a/..":"aGk="}})", "the path \"a/..\" has a '..' component"},
        {R"({"code":"x","language":"python","files":{"":"aGk="}})", "'files': the path \"\" is empty"},
        {R"({"code":"x","language":"python","files":{"d/":"aGk="}})", "the path \"d/\" names a directory"},
        {R"({"code":"x","language":"python","files":{".":"aGk="}})", "the path \".\" names a directory"},
        {R"({"code":"x","language":"python","files":{"a\u0000b":"aGk="}})", "contains a NUL character"},
        {R"({"code":"x","language":"python","files":{"a":5}})", "'files': the content of \"a\" must be a base64 string, not 5"},
        {R"({"code":"x","language":"python","files":{"a":"hello world"}})", "'files': the content of \"a\" is not valid base64"},
        {R"({"code":"x","language":"python","files":{"a":"aGk"}})", "the content of \"a\" is not valid base64"},
        {R"({"code":"x","language":"python","files":{"a":"a=Gk"}})", "the content of \"a\" is not valid base64"},
        {R"({"code":"x","language":"python","files":{"a":"a==="}})", "the content of \"a\" is not valid base64"},
        {R"({"code":"x","language":"python","files":{"a":"aG-_"}})", "the content of \"a\" is not valid base64"},
        {R"({"code":"x","language":"python","fetch_files":"out.txt"})", "'fetch_files' must be an array of relative paths, not a string"},
        {R"({"code":"x","language":"python","fetch_files":[1]})", "'fetch_files': each path must be a string, not 1"},
        {R"({"code":"x","language":"python","fetch_files":["ok","../../etc/shadow"]})", "'fetch_files': the path \"../../etc/shadow\" has a '..' component"},
        {R"({"code":"x","language":"python","fetch_files":["/proc/self/environ"]})", "'fetch_files': the path \"/proc/self/environ\" is absolute"},
    };
    for (const auto& [body, message] : cases) {
        const RunCodeCall call = translate_run_code(body);
        EXPECT_EQ(call.kind, RunCodeCall::Kind::Invalid) << body;
        EXPECT_NE(call.text.find(message), std::string::npos) << body << "\n  gave: " << call.text;
    }
}

// Report line -> their response, as their clients score it: Success only for
// a program that ran and exited 0; anything the program did is Failed.
TEST(RunCode, ReportsBecomeTheirStatusAndResults) {
    struct Case {
        const char* what;
        json report;
        bool compiles;
        json expected;  // members of the response
    };
    const json null;
    const std::vector<Case> cases = {
        {"OK", report({}), false,
         {{"status", "Success"}, {"message", ""}, {"compile_result", null}, {"files", json::object()},
          {"run_result", {{"status", "Finished"}, {"execution_time", 0.03}, {"return_code", 0}, {"stdout", "3\n"}, {"stderr", ""}}},
          {"verdict", "OK"}, {"cpu_ms", 20}, {"peak_memory_kb", 9216}, {"output_truncated", false}}},
        {"a wrong answer is the client's to judge", report({{"stdout", "4\n"}}), false,
         {{"status", "Success"}, {"run_result", {{"status", "Finished"}, {"execution_time", 0.03}, {"return_code", 0}, {"stdout", "4\n"}, {"stderr", ""}}}}},
        {"RTE by exit status", report({{"exit_code", 3}, {"ok", false}, {"verdict", "RTE"}, {"stderr", "boom"}}), false,
         {{"status", "Failed"}, {"run_result", {{"status", "Finished"}, {"execution_time", 0.03}, {"return_code", 3}, {"stdout", "3\n"}, {"stderr", "boom"}}}}},
        {"RTE by a signal", report({{"exit_code", -11}, {"ok", false}, {"verdict", "RTE"}}), false,
         {{"status", "Failed"}, {"run_result", {{"status", "Finished"}, {"execution_time", 0.03}, {"return_code", -11}, {"stdout", "3\n"}, {"stderr", ""}}}}},
        {"TLE", report({{"exit_code", -9}, {"ok", false}, {"verdict", "TLE"}, {"timed_out", true}, {"duration_ms", 1500}}), false,
         {{"status", "Failed"}, {"run_result", {{"status", "TimeLimitExceeded"}, {"execution_time", 1.5}, {"return_code", -9}, {"stdout", "3\n"}, {"stderr", ""}}}}},
        {"MLE with exit status 0", report({{"ok", false}, {"verdict", "MLE"}, {"peak_memory_kb", 300000}}), false,
         {{"status", "Failed"}, {"verdict", "MLE"}, {"peak_memory_kb", 300000},
          {"run_result", {{"status", "Finished"}, {"execution_time", 0.03}, {"return_code", 1}, {"stdout", "3\n"}, {"stderr", ""}}}}},
        {"MLE by the runtime's own report", report({{"exit_code", 1}, {"ok", false}, {"verdict", "MLE"}, {"stderr", "MemoryError\n"}}), false,
         {{"status", "Failed"}, {"verdict", "MLE"},
          {"run_result", {{"status", "Finished"}, {"execution_time", 0.03}, {"return_code", 1}, {"stdout", "3\n"}, {"stderr", "MemoryError\n"}}}}},
        {"OLE with exit status 0", report({{"ok", false}, {"verdict", "OLE"}, {"output_truncated", true}, {"stdout_bytes", 9000000}}), false,
         {{"status", "Failed"}, {"verdict", "OLE"}, {"output_truncated", true}, {"stdout_bytes", 9000000},
          {"run_result", {{"status", "Finished"}, {"execution_time", 0.03}, {"return_code", 1}, {"stdout", "3\n"}, {"stderr", ""}}}}},
        {"compiled and ran", report({{"language", "cpp"}, {"compile_ms", 812}}), true,
         {{"status", "Success"},
          {"compile_result", {{"status", "Finished"}, {"execution_time", 0.812}, {"return_code", 0}, {"stdout", ""}, {"stderr", ""}}},
          {"run_result", {{"status", "Finished"}, {"execution_time", 0.03}, {"return_code", 0}, {"stdout", "3\n"}, {"stderr", ""}}}}},
        {"compile error", report({{"language", "cpp"}, {"phase", "compile"}, {"exit_code", 1}, {"ok", false}, {"verdict", "RTE"},
                                  {"duration_ms", 400}, {"compile_ms", 400}, {"stdout", ""}, {"stderr", "a.cpp:1: error: x"}}), true,
         {{"status", "Failed"}, {"run_result", null},
          {"compile_result", {{"status", "Finished"}, {"execution_time", 0.4}, {"return_code", 1}, {"stdout", ""}, {"stderr", "a.cpp:1: error: x"}}}}},
        {"compile TLE", report({{"language", "cpp"}, {"phase", "compile"}, {"exit_code", -9}, {"ok", false}, {"verdict", "TLE"},
                                {"timed_out", true}, {"duration_ms", 10000}, {"stdout", ""}}), true,
         {{"status", "Failed"}, {"run_result", null},
          {"compile_result", {{"status", "TimeLimitExceeded"}, {"execution_time", 10.0}, {"return_code", -9}, {"stdout", ""}, {"stderr", ""}}}}},
        {"a compile that left the run no time", report({{"language", "cpp"}, {"exit_code", nullptr}, {"ok", false}, {"verdict", "TLE"},
                                                        {"timed_out", true}, {"duration_ms", 0}, {"compile_ms", 2000}, {"stdout", ""}}), true,
         {{"status", "Failed"},
          {"compile_result", {{"status", "Finished"}, {"execution_time", 2.0}, {"return_code", 0}, {"stdout", ""}, {"stderr", ""}}},
          {"run_result", {{"status", "TimeLimitExceeded"}, {"execution_time", 0.0}, {"return_code", null}, {"stdout", ""}, {"stderr", ""}}}}},
        {"a runtime that is not installed", report({{"exit_code", nullptr}, {"ok", false}, {"verdict", "RTE"}, {"stdout", ""},
                                                    {"spawn_error", "runtime unavailable for the run phase: swift not found"}}), false,
         {{"status", "SandboxError"}, {"message", "runtime unavailable for the run phase: swift not found"},
          {"run_result", {{"status", "Error"}, {"execution_time", 0.03}, {"return_code", null}, {"stdout", ""}, {"stderr", ""}}}}},
        {"a batch line error", {{"error", "line 1: unknown key 'files'"}, {"id", 1}, {"ok", false}}, true,
         {{"status", "SandboxError"}, {"message", "unknown key 'files'"}, {"compile_result", null}, {"run_result", null}}},
        {"a setup error", {{"error", "cannot create the work directory"}, {"ok", false}}, false,
         {{"status", "SandboxError"}, {"message", "cannot create the work directory"}, {"run_result", null}}},
        {"fetched files and ones too large", report({{"files", {{"out.txt", "aGk="}}}, {"files_too_large", {"big.bin", "huge.dat"}}}), false,
         {{"status", "Success"}, {"files", {{"out.txt", "aGk="}}}, {"files_too_large", {"big.bin", "huge.dat"}},
          {"message", "files not fetched, over the size limit: big.bin, huge.dat"}}},
    };
    for (const Case& c : cases) {
        const json r = response_of(c.report, c.compiles);
        for (const auto& [key, value] : c.expected.items())
            EXPECT_EQ(r.contains(key) ? r.at(key) : json("<absent>"), value) << c.what << ": " << key << "\n  " << r.dump();
        // Their five members are always there; ours never leak the work directory or the batch id.
        for (const char* key : {"status", "message", "compile_result", "run_result", "files"})
            EXPECT_TRUE(r.contains(key)) << c.what << ": " << key;
        EXPECT_FALSE(r.contains("workdir")) << c.what;
        EXPECT_FALSE(r.contains("id")) << c.what;
    }
}

TEST(RunCode, ServiceFailuresAreSandboxErrors) {
    for (const std::string& body : {run_code_sandbox_error("the runner ended without a report (signal 9)"),
                                    run_code_response("not a report\n", false), run_code_response("", true),
                                    run_code_response("[1,2]\n", false)}) {
        const json r = json::parse(body);
        EXPECT_EQ(r["status"], "SandboxError") << body;
        EXPECT_FALSE(r["message"].get<std::string>().empty()) << body;
        EXPECT_TRUE(r["compile_result"].is_null()) << body;
        EXPECT_TRUE(r["run_result"].is_null()) << body;
        EXPECT_EQ(r["files"], json::object()) << body;
    }
    EXPECT_EQ(json::parse(run_code_sandbox_error("the runner ended without a report (signal 9)"))["message"],
              "the runner ended without a report (signal 9)");
}
