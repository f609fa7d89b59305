#include "batch/batch_request.hpp"

#include <set>

#include <nlohmann/json.hpp>

#include "batch/batch_options.hpp"
#include "batch/long_strings.hpp"
#include "common/base64.hpp"
#include "common/relative_path.hpp"

namespace tessimar {
namespace {

using Json = nlohmann::json;

// One top-level member of a line, as far as a request can use it: nested
// arrays and objects are only recorded as such.
struct Member {
    enum class Kind { Null, Boolean, Negative, Unsigned, Number, String, Compound } kind = Kind::Null;
    bool boolean = false;
    std::int64_t negative = 0;
    std::uint64_t number = 0;
    std::string text;  // a string's value, or a number's token as written
};

// Reads the top-level members of one JSON text without building a tree, so
// that a number keeps the token it was written as.
class TopLevelScan final : public nlohmann::json_sax<Json> {
public:
    bool is_object = false;
    std::optional<std::string> syntax_error;
    std::size_t error_at = 0;
    std::optional<std::string> duplicate;
    std::vector<std::pair<std::string, Member>> members;

    bool null() override { return add(Member{}); }
    bool boolean(bool v) override {
        Member m;
        m.kind = Member::Kind::Boolean;
        m.boolean = v;
        return add(std::move(m));
    }
    bool number_integer(number_integer_t v) override {
        Member m;
        m.kind = v < 0 ? Member::Kind::Negative : Member::Kind::Unsigned;
        m.negative = v;
        m.number = v < 0 ? 0 : static_cast<std::uint64_t>(v);
        m.text = std::to_string(v);
        return add(std::move(m));
    }
    bool number_unsigned(number_unsigned_t v) override {
        Member m;
        m.kind = Member::Kind::Unsigned;
        m.number = v;
        m.text = std::to_string(v);
        return add(std::move(m));
    }
    bool number_float(number_float_t, const string_t& token) override {
        Member m;
        m.kind = Member::Kind::Number;
        m.text = token;
        return add(std::move(m));
    }
    bool string(string_t& v) override {
        Member m;
        m.kind = Member::Kind::String;
        m.text = std::move(v);
        return add(std::move(m));
    }
    bool binary(binary_t&) override { return add(compound()); }
    bool start_object(std::size_t) override {
        if (depth_ == 0) is_object = true;
        else if (depth_ == 1) (void)add(compound());
        ++depth_;
        return true;
    }
    bool key(string_t& k) override {
        if (depth_ == 1) key_ = std::move(k);
        return true;
    }
    bool end_object() override {
        --depth_;
        return true;
    }
    bool start_array(std::size_t) override {
        if (depth_ == 1) (void)add(compound());
        ++depth_;
        return true;
    }
    bool end_array() override {
        --depth_;
        return true;
    }
    bool parse_error(std::size_t position, const std::string&, const nlohmann::detail::exception&) override {
        syntax_error = "not valid JSON (at byte " + std::to_string(position) + ")";
        error_at = position;
        return false;
    }

    const Member* find(std::string_view name) const {
        for (const auto& [k, m] : members)
            if (k == name) return &m;
        return nullptr;
    }
    // The text of a member, moved out (once the checks are done).
    std::string take(std::string_view name) {
        for (auto& [k, m] : members)
            if (k == name) return std::move(m.text);
        return {};
    }

private:
    static Member compound() {
        Member m;
        m.kind = Member::Kind::Compound;
        return m;
    }
    bool add(Member m) {
        if (depth_ != 1) return true;
        if (find(key_) != nullptr && !duplicate) duplicate = key_;
        members.emplace_back(key_, std::move(m));
        return true;
    }

    int depth_ = 0;
    std::string key_;
};

bool scan(std::string_view text, TopLevelScan& s) {
    // The SAX parser reports failures through parse_error; an exception here
    // could only be memory exhaustion, which the batch loop handles.
    return Json::sax_parse(text.begin(), text.end(), &s) && !s.syntax_error;
}

std::string what_it_is(const Member& m) {
    switch (m.kind) {
        case Member::Kind::Null: return "null";
        case Member::Kind::Boolean: return m.boolean ? "true" : "false";
        case Member::Kind::Negative:
        case Member::Kind::Unsigned:
        case Member::Kind::Number: return m.text;
        case Member::Kind::String: return "a string";
        case Member::Kind::Compound: return "an array or object";
    }
    return "?";
}

std::string id_text(const Member& m) {
    if (m.kind == Member::Kind::String) return Json(m.text).dump(-1, ' ', false, Json::error_handler_t::replace);
    return m.text;
}

// Strings shorter than this are parsed with the rest of the line.
constexpr std::size_t kLongString = 4096;

constexpr const char* kKnownKeys[] = {
    "cases",          "check",           "checker",       "compile_timeout",       "compile_timeout_ms",
    "contain",        "expected",        "fetch_files",   "files",                 "float_tolerance",
    "id",             "ignore_case",
    "interactor",     "judge_args",      "judge_protocol", "lang",                 "max_cpu",
    "max_data_mb",    "max_memory_mb",   "max_output_kb", "no_net",                "problem",        "program",
    "stdin",          "stop_at_first_failure", "tests",   "timeout",               "timeout_ms",
    "transcript_kb",  "workdir"};

struct Translation {
    std::vector<std::string> args;
    std::vector<const char*> cleared;  // flags a request turns off (false)
    std::optional<std::string> error;
};

// The member a check looks at: none when it is absent, or when an earlier
// check has failed already.
const Member* pending(const TopLevelScan& s, const char* key, const Translation& t) {
    return t.error ? nullptr : s.find(key);
}

void need_string(const TopLevelScan& s, const char* key, bool argument, const char* option, Translation& t) {
    const Member* m = pending(s, key, t);
    if (m == nullptr) return;
    if (m->kind != Member::Kind::String) {
        t.error = std::string("'") + key + "' must be a string, not " + what_it_is(*m);
        return;
    }
    if (argument && m->text.find('\0') != std::string::npos) {
        t.error = std::string("'") + key + "' must not contain a NUL character";
        return;
    }
    if (option != nullptr) {
        t.args.emplace_back(option);
        t.args.push_back(m->text);
    }
}

void need_number(const TopLevelScan& s, const char* key, const char* option, Translation& t) {
    const Member* m = pending(s, key, t);
    if (m == nullptr) return;
    if (m->kind != Member::Kind::Unsigned) {
        t.error = std::string("'") + key + "' must be a whole number from 0 to 18446744073709551615, not " +
                  what_it_is(*m);
        return;
    }
    t.args.emplace_back(option);
    t.args.push_back(std::to_string(m->number));
}

// A number that is not negative, passed on as written ("1e-3" stays so).
void need_decimal(const TopLevelScan& s, const char* key, const char* option, Translation& t) {
    const Member* m = pending(s, key, t);
    if (m == nullptr) return;
    if (m->kind != Member::Kind::Unsigned && (m->kind != Member::Kind::Number || m->text.front() == '-')) {
        t.error = std::string("'") + key + "' must be a number that is not negative, not " + what_it_is(*m);
        return;
    }
    t.args.emplace_back(option);
    t.args.push_back(m->text);
}

// A boolean flag: true adds it, false removes it from the defaults too.
void need_flag(const TopLevelScan& s, const char* key, const char* option, Translation& t) {
    const Member* m = pending(s, key, t);
    if (m == nullptr) return;
    if (m->kind != Member::Kind::Boolean) {
        t.error = std::string("'") + key + "' must be true or false, not " + what_it_is(*m);
        return;
    }
    if (m->boolean) t.args.emplace_back(option);
    else t.cleared.push_back(option);
}

// What a JSON value is, for a message about a member of "tests".
std::string what_value_is(const Json& v) {
    if (v.is_string()) return "a string";
    if (v.is_array() || v.is_object()) return "an array or object";
    return v.dump(-1, ' ', false, Json::error_handler_t::replace);
}

// A name that makes "NAME.in" one plain file name the runner lists as a
// case: no slash, no NUL, not hidden, not too long for a file name.
bool usable_test_name(const std::string& name) {
    return !name.empty() && name.size() <= 200 && name.front() != '.' &&
           name.find_first_of(std::string_view("/\0", 2)) == std::string::npos;
}

// The line parsed with every top-level member but `name` skipped, so that
// the rest (the program, say) is not held a second time.
Json parse_only_member(std::string_view line, const char* name) {
    const Json::parser_callback_t only = [name](int depth, Json::parse_event_t event, Json& parsed) {
        return !(depth == 1 && event == Json::parse_event_t::key && parsed != name);
    };
    return Json::parse(line.begin(), line.end(), only, false);
}

// The "tests" member, parsed on its own: every other member of the line is
// skipped while parsing, so the program is not held twice.
std::optional<std::string> parse_tests(std::string_view line, std::vector<InlineTest>& out) {
    Json root = parse_only_member(line, "tests");
    const auto tests = root.find("tests");
    if (tests == root.end() || !tests->is_array() || tests->empty() || tests->size() > kMaxInlineTests)
        return "'tests' must be an array of 1 to " + std::to_string(kMaxInlineTests) + " objects";
    out.reserve(tests->size());
    for (std::size_t i = 0; i < tests->size(); ++i) {
        Json& test = (*tests)[i];
        const std::string where = "'tests' item " + std::to_string(i + 1) + ": ";
        if (!test.is_object()) return where + "must be an object, not " + what_value_is(test);
        InlineTest t;
        t.name = std::to_string(i + 1);
        for (auto& [key, value] : test.items()) {
            if (key != "stdin" && key != "expected" && key != "name") return where + "unknown key '" + key + "'";
            if (!value.is_string()) return where + "'" + key + "' must be a string, not " + what_value_is(value);
            std::string& text = value.get_ref<std::string&>();
            if (key == "stdin") t.stdin_text = std::move(text);
            else if (key == "expected") t.expected = std::move(text);
            else t.name = std::move(text);
        }
        if (!usable_test_name(t.name))
            return where + "'name' must be 1 to 200 bytes without '/' or NUL, not starting with '.'";
        for (const InlineTest& earlier : out)
            if (earlier.name == t.name) return where + "duplicate name " + Json(t.name).dump();
        out.push_back(std::move(t));
    }
    return std::nullopt;
}

// The "judge_args" member, parsed on its own like "tests": the values of
// repeated --judge-arg options, in order.
std::optional<std::string> parse_judge_args(std::string_view line, std::vector<std::string>& out) {
    Json root = parse_only_member(line, "judge_args");
    const auto args = root.find("judge_args");
    if (args == root.end() || !args->is_array()) return "'judge_args' must be an array of strings";
    for (std::size_t i = 0; i < args->size(); ++i) {
        Json& arg = (*args)[i];
        const std::string where = "'judge_args' item " + std::to_string(i + 1) + ": ";
        if (!arg.is_string()) return where + "must be a string, not " + what_value_is(arg);
        std::string& text = arg.get_ref<std::string&>();
        if (text.find('\0') != std::string::npos) return where + "must not contain a NUL character";
        out.push_back(std::move(text));
    }
    return std::nullopt;
}

// A path of "files" or "fetch_files": relative, every component a plain
// name. Returns its components, or why not.
Result<std::vector<std::string>> request_path(const std::string& path) {
    Result<std::vector<std::string>> parts = split_relative_path(path, true);
    if (!parts) return Error{Json(path).dump(-1, ' ', false, Json::error_handler_t::replace) + " " + parts.error()};
    return parts;
}

// The "files" member, parsed on its own like "tests": relative paths and
// their contents in base64.
std::optional<std::string> parse_files(std::string_view line, std::vector<RequestFile>& out) {
    Json root = parse_only_member(line, "files");
    const auto files = root.find("files");
    if (files == root.end() || !files->is_object())
        return "'files' must be an object of relative paths and base64 strings";
    if (files->size() > kMaxRequestFiles)
        return "'files' holds " + std::to_string(files->size()) + " files, more than " +
               std::to_string(kMaxRequestFiles);
    std::set<std::string> paths;
    for (auto& [path, value] : files->items()) {
        const std::string shown = Json(path).dump(-1, ' ', false, Json::error_handler_t::replace);
        const Result<std::vector<std::string>> parts = request_path(path);
        if (!parts) return "'files' path " + parts.error();
        if (!value.is_string()) return "'files' " + shown + " must be a base64 string, not " + what_value_is(value);
        std::optional<std::string> content = base64_decode(value.get_ref<const std::string&>());
        if (!content) return "'files' " + shown + " is not valid base64 (standard alphabet, padded)";
        value = nullptr;  // its text is let go as soon as it is decoded
        paths.insert(path);
        out.push_back(RequestFile{path, std::move(*content)});
    }
    // A file cannot also be a directory on another file's path.
    for (const RequestFile& f : out)
        for (std::size_t slash = f.path.find('/'); slash != std::string::npos; slash = f.path.find('/', slash + 1))
            if (paths.count(f.path.substr(0, slash)) != 0)
                return "'files' " + Json(f.path).dump(-1, ' ', false, Json::error_handler_t::replace) +
                       ": its parent " +
                       Json(f.path.substr(0, slash)).dump(-1, ' ', false, Json::error_handler_t::replace) +
                       " is a file too";
    return std::nullopt;
}

// The "fetch_files" member: the paths read back into the report's "files".
std::optional<std::string> parse_fetch_files(std::string_view line, std::vector<std::string>& out) {
    Json root = parse_only_member(line, "fetch_files");
    const auto paths = root.find("fetch_files");
    if (paths == root.end() || !paths->is_array()) return "'fetch_files' must be an array of relative paths";
    if (paths->size() > kMaxRequestFiles)
        return "'fetch_files' holds " + std::to_string(paths->size()) + " paths, more than " +
               std::to_string(kMaxRequestFiles);
    for (std::size_t i = 0; i < paths->size(); ++i) {
        Json& path = (*paths)[i];
        const std::string where = "'fetch_files' item " + std::to_string(i + 1) + ": ";
        if (!path.is_string()) return where + "must be a string, not " + what_value_is(path);
        std::string& text = path.get_ref<std::string&>();
        if (const Result<std::vector<std::string>> parts = request_path(text); !parts) return where + parts.error();
        out.push_back(std::move(text));
    }
    return std::nullopt;
}

// nlohmann's compact dump of an object, with the member "id" written as the
// given JSON text (none when it is empty). Members come out in the object's
// (byte) order.
std::string dump_with_id(Json object, const std::string& id) {
    if (id.empty()) object.erase("id");
    else object["id"] = nullptr;
    std::string out = "{";
    bool first = true;
    for (const auto& [key, value] : object.items()) {
        if (!first) out += ',';
        first = false;
        out += Json(key).dump(-1, ' ', false, Json::error_handler_t::replace);
        out += ':';
        out += key == "id" ? id : value.dump(-1, ' ', false, Json::error_handler_t::replace);
    }
    out += "}\n";
    return out;
}

}  // namespace

BatchRequest translate_request(std::string line, std::uint64_t line_number,
                               const std::vector<std::string>& defaults) {
    const std::string prefix = "line " + std::to_string(line_number) + ": ";
    bool id_given = false;
    const auto fail = [&](std::string id, const std::string& why) {
        return BatchRequest{std::move(id), id_given, Result<BatchRun>(Error{prefix + why})};
    };
    const std::string number_id = std::to_string(line_number);
    if (line.find_first_not_of(" \t\r\n") == std::string_view::npos)
        return fail(number_id, "blank line, expected a JSON object");

    // A long program, standard input or answer is decoded once, into the
    // string the run keeps, before the rest of the line is parsed.
    TakenStrings taken = take_long_strings(line, kLongString);
    TopLevelScan s;
    if (!scan(line, s))
        return fail(number_id, "not valid JSON (at byte " + std::to_string(offset_before_taking(taken, s.error_at)) + ")");
    if (!s.is_object) return fail(number_id, "not a JSON object");
    for (LongString& long_string : taken.strings)
        if (long_string.member < s.members.size()) s.members[long_string.member].second.text = std::move(long_string.text);

    std::string id = number_id;
    std::optional<std::string> id_error;
    if (const Member* m = s.find("id")) {
        if (m->kind == Member::Kind::String || m->kind == Member::Kind::Number ||
            m->kind == Member::Kind::Unsigned || m->kind == Member::Kind::Negative) {
            id = id_text(*m);
            id_given = true;
        } else
            id_error = "'id' must be a string or a number, not " + what_it_is(*m);
    }
    if (s.duplicate) return fail(id_error ? number_id : id, "duplicate key '" + *s.duplicate + "'");
    if (id_error) return fail(number_id, *id_error);
    for (const auto& [key, member] : s.members) {
        bool known = false;
        for (const char* k : kKnownKeys) known = known || key == k;
        if (!known) return fail(id, "unknown key '" + key + "'");
    }

    Translation t;
    need_string(s, "lang", true, "--lang", t);
    need_string(s, "program", false, nullptr, t);
    need_string(s, "stdin", false, nullptr, t);
    need_number(s, "timeout", "--timeout", t);
    need_number(s, "timeout_ms", "--timeout-ms", t);
    need_number(s, "compile_timeout", "--compile-timeout", t);
    need_number(s, "compile_timeout_ms", "--compile-timeout-ms", t);
    need_number(s, "max_cpu", "--max-cpu", t);
    need_number(s, "max_memory_mb", "--max-memory-mb", t);
    need_number(s, "max_output_kb", "--max-output-kb", t);
    need_number(s, "max_data_mb", "--max-data-mb", t);
    need_string(s, "workdir", true, "--workdir", t);
    need_string(s, "cases", true, "--cases", t);
    need_string(s, "problem", true, "--problem", t);
    need_flag(s, "no_net", "--no-net", t);
    need_flag(s, "contain", "--contain", t);
    need_string(s, "expected", false, nullptr, t);
    need_string(s, "check", true, "--check", t);
    need_decimal(s, "float_tolerance", "--float-tolerance", t);
    need_flag(s, "ignore_case", "--ignore-case", t);
    need_string(s, "checker", true, "--checker", t);
    need_string(s, "judge_protocol", true, "--judge-protocol", t);
    need_string(s, "interactor", true, "--interactor", t);
    need_number(s, "transcript_kb", "--transcript-kb", t);
    need_flag(s, "stop_at_first_failure", "--stop-at-first-failure", t);
    if (t.error) return fail(id, *t.error);
    std::vector<InlineTest> tests;
    if (s.find("tests") != nullptr) {
        if (s.find("cases") != nullptr) return fail(id, "'tests' and 'cases' cannot be given together");
        if (s.find("problem") != nullptr) return fail(id, "'tests' and 'problem' cannot be given together");
        if (s.find("stdin") != nullptr) return fail(id, "'stdin' cannot be given with 'tests': each test has its own");
        if (std::optional<std::string> why = parse_tests(line, tests)) return fail(id, *why);
    }
    std::vector<std::string> judge_args;
    if (s.find("judge_args") != nullptr)
        if (std::optional<std::string> why = parse_judge_args(line, judge_args)) return fail(id, *why);
    for (const char* key : {"files", "fetch_files"})
        if (s.find(key) != nullptr &&
            (s.find("tests") != nullptr || s.find("cases") != nullptr || s.find("interactor") != nullptr))
            return fail(id, std::string("'") + key + "' is for a single run: not with 'tests', 'cases' or 'interactor'");
    std::vector<RequestFile> files;
    if (s.find("files") != nullptr)
        if (std::optional<std::string> why = parse_files(line, files)) return fail(id, *why);
    std::vector<std::string> fetch;
    if (s.find("fetch_files") != nullptr)
        if (std::optional<std::string> why = parse_fetch_files(line, fetch)) return fail(id, *why);
    if (s.find("expected") != nullptr && (s.find("tests") != nullptr || s.find("cases") != nullptr))
        return fail(id, "'expected' is for a single run: with 'tests' each test has its own, with 'cases' the "
                        "directory holds them");
    if (s.find("lang") == nullptr) return fail(id, "missing 'lang'");
    if (s.find("program") == nullptr) return fail(id, "missing 'program'");

    BatchRun run;
    run.args = defaults;
    for (const char* flag : t.cleared) run.args = without_flag(run.args, flag);
    run.args.insert(run.args.end(), t.args.begin(), t.args.end());
    // The request's list replaces the command line's, as any other key does.
    if (s.find("judge_args") != nullptr) {
        run.args = without_value_option(run.args, "--judge-arg");
        for (std::string& arg : judge_args) {
            run.args.emplace_back("--judge-arg");
            run.args.push_back(std::move(arg));
        }
    }
    // Like "judge_args": the request's list replaces the command line's.
    if (s.find("fetch_files") != nullptr) {
        run.args = without_value_option(run.args, "--fetch");
        for (std::string& path : fetch) {
            run.args.emplace_back("--fetch");
            run.args.push_back(std::move(path));
        }
    }
    run.program = s.take("program");
    run.tests = std::move(tests);
    run.files = std::move(files);
    run.files_given = s.find("files") != nullptr;
    if (s.find("expected") != nullptr) run.expected = s.take("expected");
    if (s.find("stdin") != nullptr) {
        run.stdin_text = s.take("stdin");
        run.args.emplace_back("--stdin-file");
        run.args.emplace_back(kBatchStdinPath);
    }
    return BatchRequest{std::move(id), id_given, Result<BatchRun>(std::move(run))};
}

BatchRequest too_long_request(std::uint64_t line_number, std::uint64_t max_line_mb) {
    const std::string number = std::to_string(line_number);
    return BatchRequest{number, false, Result<BatchRun>(Error{"line " + number + ": longer than the line limit of " +
                                                        std::to_string(max_line_mb) + " MiB (--max-line-mb)"})};
}

std::optional<std::string> id_of_output_line(std::string_view line) {
    TopLevelScan s;
    if (!scan(line, s) || !s.is_object) return std::nullopt;
    const Member* m = s.find("id");
    if (m == nullptr || m->kind == Member::Kind::Null || m->kind == Member::Kind::Boolean ||
        m->kind == Member::Kind::Compound)
        return std::nullopt;
    return id_text(*m);
}

std::optional<BatchLine> output_line_from_report(std::string_view report, const std::string& id) {
    if (report.empty() || report.back() != '\n') return std::nullopt;
    report.remove_suffix(1);
    if (report.find('\n') != std::string_view::npos) return std::nullopt;
    Json value = Json::parse(report.begin(), report.end(), nullptr, false);
    if (!value.is_object()) return std::nullopt;
    BatchLine out;
    const auto ok = value.find("ok");
    out.ok = ok != value.end() && ok->is_boolean() && ok->get<bool>();
    out.text = dump_with_id(std::move(value), id);
    return out;
}

std::string error_line(const std::string& message, const std::string& id) {
    Json object = Json::object();
    object["error"] = message;
    object["ok"] = false;
    return dump_with_id(std::move(object), id);
}

}  // namespace tessimar
