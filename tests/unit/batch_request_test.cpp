// Batch mode's pure parts: the command line, a request line turned into the
// runner's arguments, a report turned into a batch line with its id, and the
// lines of an input cut at the line limit.
#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "batch/batch_options.hpp"
#include "batch/batch_request.hpp"
#include "batch/line_reader.hpp"

using namespace tessimar;

namespace {

using Args = std::vector<std::string>;

std::string error_of(const std::string& line, std::uint64_t n = 7) {
    const BatchRequest r = translate_request(line, n, {});
    EXPECT_FALSE(r.run.ok()) << line;
    return r.run.ok() ? "" : r.run.error();
}

}  // namespace

TEST(BatchOptions, BatchModeOnlyWhenBatchIsAnOption) {
    EXPECT_FALSE(scan_batch_options({"--lang", "python3", "--jobs", "2"}));
    // A value of another option is not the option.
    EXPECT_FALSE(scan_batch_options({"--stdin", "--batch", "x"}));
    const auto o = scan_batch_options({"--timeout", "5", "--batch", "in", "--no-net", "--jobs", "3", "--out", "o",
                                       "--first-line", "41", "--max-line-mb", "2", "--lang"});
    ASSERT_TRUE(o && o->ok());
    EXPECT_EQ(o->value().input, "in");
    EXPECT_EQ(o->value().jobs, 3u);
    EXPECT_EQ(o->value().out, "o");
    EXPECT_EQ(o->value().first_line, 41u);
    EXPECT_EQ(o->value().max_line_mb, 2u);
    // The dangling --lang is dropped: it would take the request's first argument.
    EXPECT_EQ(o->value().defaults, (Args{"--timeout", "5", "--no-net"}));
}

TEST(BatchOptions, UnusableValuesAreErrors) {
    for (const Args& args : {Args{"--batch"}, Args{"--batch", ""}, Args{"--batch", "in", "--jobs", "0"},
                             Args{"--batch", "in", "--jobs", "1025"}, Args{"--batch", "in", "--jobs", "2x"},
                             Args{"--batch", "in", "--first-line", "0"}, Args{"--batch", "in", "--out"},
                             Args{"--batch", "in", "--max-line-mb", "0"}, Args{"--batch", "in", "--max-line-mb", "1.5"},
                             Args{"--batch", "in", "--max-line-mb", "1048577"}}) {
        const auto o = scan_batch_options(args);
        ASSERT_TRUE(o) << args.back();
        EXPECT_FALSE(o->ok()) << args.back();
    }
}

TEST(BatchRequest, KeysBecomeOptionsAfterTheDefaults) {
    const BatchRequest r = translate_request(
        R"({"timeout":3,"lang":"c","program":"int main(){}","max_cpu":2,"max_memory_mb":64,)"
        R"("max_output_kb":9,"max_data_mb":48,"workdir":"/w","no_net":true,"stdin":"a\u0000b","cases":"/c",)"
        R"("contain":true,"timeout_ms":1500,"compile_timeout":60,"compile_timeout_ms":2500})",
        4, {"--timeout", "9"});
    ASSERT_TRUE(r.run.ok()) << r.run.error();
    EXPECT_EQ(r.id, "4");
    EXPECT_EQ(r.run.value().args,
              (Args{"--timeout", "9", "--lang", "c", "--timeout", "3", "--timeout-ms", "1500", "--compile-timeout", "60",
                    "--compile-timeout-ms", "2500", "--max-cpu", "2", "--max-memory-mb", "64",
                    "--max-output-kb", "9", "--max-data-mb", "48", "--workdir", "/w", "--cases", "/c", "--no-net", "--contain",
                    "--stdin-file", kBatchStdinPath}));
    EXPECT_EQ(r.run.value().program, "int main(){}");
    EXPECT_EQ(r.run.value().stdin_text, std::string("a\0b", 3));
}

TEST(BatchRequest, FalseTurnsACommandLineFlagOff) {
    const BatchRequest r = translate_request(R"({"lang":"bash","program":"","no_net":false})", 1,
                                             {"--no-net", "--stdin", "--no-net", "--contain"});
    ASSERT_TRUE(r.run.ok());
    // The value of --stdin stays; the flag occurrences go.
    EXPECT_EQ(r.run.value().args, (Args{"--stdin", "--no-net", "--contain", "--lang", "bash"}));
    EXPECT_FALSE(r.run.value().stdin_text);
}

TEST(BatchRequest, IdsComeBackAsWritten) {
    const auto id = [](const std::string& written) {
        return translate_request(R"({"lang":"bash","program":"","id":)" + written + "}", 1, {}).id;
    };
    EXPECT_EQ(id("18446744073709551615"), "18446744073709551615");
    EXPECT_EQ(id("123456789012345678901234567890"), "123456789012345678901234567890");
    EXPECT_EQ(id("-12"), "-12");
    EXPECT_EQ(id("1.50"), "1.50");
    EXPECT_EQ(id("2E3"), "2E3");
    EXPECT_EQ(id(R"("\u0041\/\u00e9\n")"), "\"A/\xC3\xA9\\n\"");
    // Not a string or number: the line number, and an error.
    EXPECT_EQ(id("true"), "1");
    EXPECT_EQ(error_of(R"({"lang":"bash","program":"","id":null})"),
              "line 7: 'id' must be a string or a number, not null");
}

TEST(BatchRequest, BadLinesSayWhatIsWrong) {
    EXPECT_EQ(error_of(""), "line 7: blank line, expected a JSON object");
    EXPECT_EQ(error_of("  \r"), "line 7: blank line, expected a JSON object");
    EXPECT_EQ(error_of("[1]"), "line 7: not a JSON object");
    EXPECT_EQ(error_of("\"x\""), "line 7: not a JSON object");
    EXPECT_EQ(error_of("{\"lang\":"), "line 7: not valid JSON (at byte 9)");
    EXPECT_EQ(error_of("{\"lang\":\"\xff\"}").rfind("line 7: not valid JSON", 0), 0u);
    EXPECT_EQ(error_of(R"({"lang":"bash","program":"","x":1})"), "line 7: unknown key 'x'");
    EXPECT_EQ(error_of(R"({"lang":"bash","lang":"c","program":""})"), "line 7: duplicate key 'lang'");
    EXPECT_EQ(error_of(R"({"program":""})"), "line 7: missing 'lang'");
    EXPECT_EQ(error_of(R"({"lang":"bash"})"), "line 7: missing 'program'");
    EXPECT_EQ(error_of(R"({"lang":1,"program":""})"), "line 7: 'lang' must be a string, not 1");
    EXPECT_EQ(error_of(R"({"lang":"a\u0000","program":""})"), "line 7: 'lang' must not contain a NUL character");
    EXPECT_EQ(error_of(R"({"lang":"bash","program":["x"]})"),
              "line 7: 'program' must be a string, not an array or object");
    for (const char* bad : {"true", "-1", "1.5", "1e2", "18446744073709551616", "\"5\""})
        EXPECT_EQ(error_of(std::string(R"({"lang":"bash","program":"","timeout":)") + bad + "}")
                      .rfind("line 7: 'timeout' must be a whole number from 0 to 18446744073709551615, not ", 0),
                  0u)
            << bad;
    EXPECT_EQ(error_of(R"({"lang":"bash","program":"","no_net":1})"), "line 7: 'no_net' must be true or false, not 1");
    // A bad key does not lose a valid id.
    EXPECT_EQ(translate_request(R"({"id":"k","lang":"bash","program":"","x":1})", 3, {}).id, "\"k\"");
}

TEST(BatchRequest, ReportGetsItsIdInByteOrder) {
    const std::string report =
        "{\"error\":\"e\\u0001\",\"exit_code\":null,\"language\":\"bash\",\"ok\":true,\"stdout\":\"\\\"id\\\":1\"}\n";
    const auto line = output_line_from_report(report, "123456789012345678901234567890");
    ASSERT_TRUE(line);
    EXPECT_TRUE(line->ok);
    EXPECT_EQ(line->text,
              "{\"error\":\"e\\u0001\",\"exit_code\":null,\"id\":123456789012345678901234567890,"
              "\"language\":\"bash\",\"ok\":true,\"stdout\":\"\\\"id\\\":1\"}\n");
    EXPECT_EQ(id_of_output_line(line->text), "123456789012345678901234567890");
    EXPECT_FALSE(output_line_from_report("", "1"));
    EXPECT_FALSE(output_line_from_report("{\"ok\":true}", "1"));           // no line feed
    EXPECT_FALSE(output_line_from_report("{\"ok\":true}\n{}\n", "1"));     // two lines
    EXPECT_FALSE(output_line_from_report("[1]\n", "1"));
    EXPECT_EQ(error_line("line 2: x", "\"a\""), "{\"error\":\"line 2: x\",\"id\":\"a\",\"ok\":false}\n");
}

TEST(BatchRequest, InlineTestsAndJudgingKeys) {
    const BatchRequest r = translate_request(
        R"({"lang":"python3","program":"p","check":"floats","float_tolerance":1e-3,"ignore_case":true,)"
        R"("checker":"/c","stop_at_first_failure":true,)"
        R"("tests":[{"stdin":"1\n","expected":"2\n"},{"name":"big","stdin":"9"},{}]})",
        2, {"--ignore-case"});
    ASSERT_TRUE(r.run.ok()) << r.run.error();
    EXPECT_EQ(r.run.value().args, (Args{"--ignore-case", "--lang", "python3", "--check", "floats", "--float-tolerance",
                                        "1e-3", "--ignore-case", "--checker", "/c", "--stop-at-first-failure"}));
    const std::vector<InlineTest>& tests = r.run.value().tests;
    ASSERT_EQ(tests.size(), 3u);
    EXPECT_EQ(tests[0].name, "1");
    EXPECT_EQ(tests[0].stdin_text, "1\n");
    EXPECT_EQ(tests[0].expected, "2\n");
    EXPECT_EQ(tests[1].name, "big");
    EXPECT_FALSE(tests[1].expected);
    EXPECT_EQ(tests[2].name, "3");
    EXPECT_EQ(tests[2].stdin_text, "");
    EXPECT_FALSE(r.run.value().stdin_text);

    const BatchRequest single = translate_request(R"({"lang":"bash","program":"","expected":"a\u0000"})", 1, {});
    ASSERT_TRUE(single.run.ok());
    EXPECT_EQ(single.run.value().expected, std::string("a\0", 2));

    const std::string p = R"({"lang":"bash","program":"",)";
    EXPECT_EQ(error_of(p + R"("tests":[],"x":1})"), "line 7: unknown key 'x'");
    EXPECT_EQ(error_of(p + R"("tests":[]})"), "line 7: 'tests' must be an array of 1 to 1000 objects");
    EXPECT_EQ(error_of(p + R"("tests":{"stdin":""}})"), "line 7: 'tests' must be an array of 1 to 1000 objects");
    EXPECT_EQ(error_of(p + R"("tests":[{"stdin":1}]})"), "line 7: 'tests' item 1: 'stdin' must be a string, not 1");
    EXPECT_EQ(error_of(p + R"("tests":[{},{"input":""}]})"), "line 7: 'tests' item 2: unknown key 'input'");
    EXPECT_EQ(error_of(p + R"("tests":[{"name":"2"},{}]})"), "line 7: 'tests' item 2: duplicate name \"2\"");
    for (const char* name : {"", "a/b", ".hidden", "a\\u0000"})
        EXPECT_EQ(error_of(p + R"("tests":[{"name":")" + name + "\"}]}").rfind("line 7: 'tests' item 1: 'name' must", 0),
                  0u)
            << name;
    EXPECT_EQ(error_of(p + R"("tests":[{}],"cases":"/d"})"), "line 7: 'tests' and 'cases' cannot be given together");
    EXPECT_EQ(error_of(p + R"("tests":[{}],"stdin":""})"),
              "line 7: 'stdin' cannot be given with 'tests': each test has its own");
    EXPECT_EQ(error_of(p + R"("tests":[{}],"expected":""})").rfind("line 7: 'expected' is for a single run", 0), 0u);
    EXPECT_EQ(error_of(p + R"("float_tolerance":-1})"),
              "line 7: 'float_tolerance' must be a number that is not negative, not -1");
    EXPECT_EQ(error_of(p + R"("float_tolerance":-0.5})"),
              "line 7: 'float_tolerance' must be a number that is not negative, not -0.5");
    EXPECT_EQ(error_of(p + R"("check":1})"), "line 7: 'check' must be a string, not 1");
}

// "judge_args" becomes one --judge-arg per element, in place of the command
// line's; each element is a string without NUL.
TEST(BatchRequest, JudgeProtocolAndJudgeArgs) {
    const std::string p = R"({"lang":"bash","program":"",)";
    const BatchRequest r = translate_request(
        p + R"("checker":"/v","judge_protocol":"kattis","judge_args":["--judge-arg","a b",""]})", 1,
        {"--judge-arg", "old", "--stdin", "--judge-arg", "--judge-protocol", "testlib"});
    ASSERT_TRUE(r.run.ok()) << r.run.error();
    EXPECT_EQ(r.run.value().args,
              (Args{"--stdin", "--judge-arg", "--judge-protocol", "testlib", "--lang", "bash", "--checker", "/v",
                    "--judge-protocol", "kattis", "--judge-arg", "--judge-arg", "--judge-arg", "a b",
                    "--judge-arg", ""}));
    const BatchRequest none = translate_request(p + R"("judge_args":[]})", 1, {"--judge-arg", "old"});
    ASSERT_TRUE(none.run.ok());
    EXPECT_EQ(none.run.value().args, (Args{"--lang", "bash"}));
    EXPECT_EQ(error_of(p + R"("judge_args":["a",1]})"), "line 7: 'judge_args' item 2: must be a string, not 1");
    EXPECT_EQ(error_of(p + R"("judge_args":["a\u0000"]})"),
              "line 7: 'judge_args' item 1: must not contain a NUL character");
    EXPECT_EQ(error_of(p + R"("judge_args":"a"})"), "line 7: 'judge_args' must be an array of strings");
    EXPECT_EQ(error_of(p + R"("judge_protocol":["kattis"]})"),
              "line 7: 'judge_protocol' must be a string, not an array or object");
}

// "files" are decoded for the private directory; "fetch_files" become --fetch
// options in place of the command line's. Every path stays inside the work
// directory by its own text.
TEST(BatchRequest, FilesAndFetchFiles) {
    const std::string p = R"({"lang":"bash","program":"",)";
    const BatchRequest r = translate_request(
        p + R"("files":{"in/a.txt":"aGk=","b":""},"fetch_files":["out.txt","in/a.txt"]})", 1, {"--fetch", "old"});
    ASSERT_TRUE(r.run.ok()) << r.run.error();
    EXPECT_EQ(r.run.value().args, (Args{"--lang", "bash", "--fetch", "out.txt", "--fetch", "in/a.txt"}));
    ASSERT_EQ(r.run.value().files.size(), 2u);
    EXPECT_EQ(r.run.value().files[0].path, "b");
    EXPECT_EQ(r.run.value().files[1].path, "in/a.txt");
    EXPECT_EQ(r.run.value().files[1].content, "hi");
    EXPECT_TRUE(r.run.value().files_given);

    EXPECT_EQ(error_of(p + R"("files":["a"]})"), "line 7: 'files' must be an object of relative paths and base64 strings");
    EXPECT_EQ(error_of(p + R"("files":{"a":1}})"), "line 7: 'files' \"a\" must be a base64 string, not 1");
    EXPECT_EQ(error_of(p + R"("files":{"a":"aGk"}})"),
              "line 7: 'files' \"a\" is not valid base64 (standard alphabet, padded)");
    EXPECT_EQ(error_of(p + R"("files":{"/etc/x":""}})"), "line 7: 'files' path \"/etc/x\" is absolute");
    EXPECT_EQ(error_of(p + R"("files":{"a/../../x":""}})"), "line 7: 'files' path \"a/../../x\" has a '..' component");
    EXPECT_EQ(error_of(p + R"("files":{"a//x":""}})"), "line 7: 'files' path \"a//x\" has an empty component");
    EXPECT_EQ(error_of(p + R"("files":{"":""}})"), "line 7: 'files' path \"\" is empty");
    EXPECT_EQ(error_of(p + R"("files":{"a":"","a/b/c":""}})"),
              "line 7: 'files' \"a/b/c\": its parent \"a\" is a file too");
    std::string many = p + R"("files":{)";
    for (std::size_t i = 0; i <= kMaxRequestFiles; ++i) many += (i ? ",\"" : "\"") + std::to_string(i) + "\":\"\"";
    EXPECT_EQ(error_of(many + "}}"), "line 7: 'files' holds 1001 files, more than 1000");
    EXPECT_EQ(error_of(p + R"("fetch_files":"a"})"), "line 7: 'fetch_files' must be an array of relative paths");
    EXPECT_EQ(error_of(p + R"("fetch_files":["a"],"tests":[{}]})"),
              "line 7: 'fetch_files' is for a single run: not with 'tests', 'cases' or 'interactor'");
    EXPECT_EQ(error_of(p + R"("files":{},"interactor":"/i"})"),
              "line 7: 'files' is for a single run: not with 'tests', 'cases' or 'interactor'");
    EXPECT_EQ(error_of(p + R"("fetch_files":["a",2]})"), "line 7: 'fetch_files' item 2: must be a string, not 2");
    EXPECT_EQ(error_of(p + R"("fetch_files":["../a"]})"),
              "line 7: 'fetch_files' item 1: \"../a\" has a '..' component");
}

TEST(BatchRequest, InteractorAndTranscript) {
    const BatchRequest r = translate_request(
        R"({"lang":"bash","program":"","interactor":"/i","transcript_kb":4,"stdin":"7"})", 1, {});
    ASSERT_TRUE(r.run.ok()) << r.run.error();
    EXPECT_EQ(r.run.value().args, (Args{"--lang", "bash", "--interactor", "/i", "--transcript-kb", "4",
                                        "--stdin-file", kBatchStdinPath}));
    EXPECT_EQ(error_of(R"({"lang":"bash","program":"","transcript_kb":-1})"),
              "line 7: 'transcript_kb' must be a whole number from 0 to 18446744073709551615, not -1");
}

// A long program, standard input or answer is decoded on its own, outside
// the parse of the rest of the line: the text and the errors are the parser's.
TEST(BatchRequest, LongStringsReadAsTheParserReadsThem) {
    const std::string escapes = R"(\"\\\/\b\f\n\r\t\u0000\u00e9\ud83d\ude00)" "\xC3\xA9\xF0\x9F\x98\x80";
    std::string written;
    for (int i = 0; i < 400; ++i) written += escapes;
    const std::string line = R"({"id":"x","lang":"bash","stdin":")" + written + R"(","program":")" + written + "\"}";
    const nlohmann::json parsed = nlohmann::json::parse(line);
    const BatchRequest r = translate_request(line, 1, {});
    ASSERT_TRUE(r.run.ok()) << r.run.error();
    EXPECT_EQ(r.id, "\"x\"");
    EXPECT_EQ(r.run.value().program, parsed["program"].get<std::string>());
    EXPECT_EQ(r.run.value().stdin_text, parsed["stdin"].get<std::string>());

    // Invalid contents, and a syntax error after a long string: the byte
    // the parser names, counted in the line as it was written.
    const std::string pad(5000, 'a');
    for (const std::string bad : {"\xFF", "\xED\xA0\x80", "\xC0\xAF", "\\ud800", "\\udc00x", "\\q", "\\u12g4", "\x01"})
        for (const std::string& l : {R"({"lang":"bash","program":")" + pad + bad + "\"}",
                                     R"({"lang":"bash","program":")" + pad + "\" " + bad + "}"}) {
            std::size_t byte = 0;
            try {
                const nlohmann::json unused = nlohmann::json::parse(l);
                ADD_FAILURE() << "parsed: " << unused.type_name();
            } catch (const nlohmann::json::parse_error& e) {
                byte = e.byte;
            }
            ASSERT_NE(byte, 0u) << bad;
            EXPECT_EQ(error_of(l), "line 7: not valid JSON (at byte " + std::to_string(byte) + ")") << bad;
        }
    // A long key stays a key; a long string inside an array stays in it.
    EXPECT_EQ(error_of("{\"" + pad + "\":1}"), "line 7: unknown key '" + pad + "'");
    EXPECT_EQ(error_of(R"({"lang":"bash","program":[")" + pad + "\"]}"),
              "line 7: 'program' must be a string, not an array or object");
}

TEST(BatchRequest, TooLongLineHasItsNumberAsId) {
    const BatchRequest r = too_long_request(12, 64);
    EXPECT_EQ(r.id, "12");
    ASSERT_FALSE(r.run.ok());
    EXPECT_EQ(r.run.error(), "line 12: longer than the line limit of 64 MiB (--max-line-mb)");
}

// A line over the limit is reported as such, its bytes dropped as they are
// read; the lines around it, and one exactly at the limit, come through.
TEST(LineReader, LineOverTheLimitIsSkippedToItsLineFeed) {
    const int fd = memfd_create("line-reader-test", MFD_CLOEXEC);
    ASSERT_GE(fd, 0);
    // Longer than a read, so that the line is dropped across reads.
    const std::string input = "ab\n" + std::string(150000, 'x') + "\n12345678\n" + std::string(9, 'y') + "\n" +
                              std::string(100000, 'z') + "\n" + "last";
    ASSERT_EQ(write(fd, input.data(), input.size()), static_cast<ssize_t>(input.size()));
    const auto lines = [&](std::size_t max_line) {
        EXPECT_EQ(lseek(fd, 0, SEEK_SET), 0);
        LineReader reader(fd, UINT64_MAX, max_line);
        std::vector<std::string> out;
        for (int reads = 0; reads < 100 && !reader.exhausted(); ++reads) {
            while (std::optional<ReadLine> line = reader.next())
                out.push_back(line->too_long ? "(too long)" : line->text);
            if (!reader.exhausted()) {
                EXPECT_TRUE(reader.fill());
            }
        }
        EXPECT_TRUE(reader.exhausted());
        return out;
    };
    EXPECT_EQ(lines(8), (std::vector<std::string>{"ab", "(too long)", "12345678", "(too long)", "(too long)", "last"}));
    EXPECT_EQ(lines(100000), (std::vector<std::string>{"ab", "(too long)", "12345678", std::string(9, 'y'),
                                                       std::string(100000, 'z'), "last"}));
    EXPECT_EQ(lines(3), (std::vector<std::string>{"ab", "(too long)", "(too long)", "(too long)", "(too long)",
                                                  "(too long)"}));
    close(fd);
}
