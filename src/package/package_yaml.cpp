#include "package/package_yaml.hpp"

#include <yaml-cpp/yaml.h>

#include <cmath>
#include <exception>

#include "judge/judge_settings.hpp"

namespace tessimar {
namespace {

// A setting's reading failed: the message names the file and the key.
struct BadKey {
    std::string key;
    std::string expected;
};

Error bad(const std::string& file, const BadKey& b) {
    return Error{"problem package file " + file + ": key '" + b.key + "' must be " + b.expected};
}

std::string scalar(const YAML::Node& node, const std::string& key) {
    if (!node.IsScalar()) throw BadKey{key, "a single value"};
    return node.Scalar();
}

// A number as YAML writes it, also "inf", "+inf", "-inf" and ".inf".
double number(const YAML::Node& node, const std::string& key) {
    std::string text = scalar(node, key);
    std::string_view t = text;
    bool negative = false;
    if (!t.empty() && (t.front() == '+' || t.front() == '-')) {
        negative = t.front() == '-';
        t.remove_prefix(1);
    }
    if (t == "inf" || t == ".inf" || t == "Inf" || t == ".Inf" || t == "INF" || t == ".INF")
        return negative ? -INFINITY : INFINITY;
    const std::optional<double> value = parse_decimal(text);
    if (!value) throw BadKey{key, "a number (got '" + text + "')"};
    return *value;
}

double positive(const YAML::Node& node, const std::string& key) {
    const double v = number(node, key);
    if (!(v > 0) || !std::isfinite(v)) throw BadKey{key, "a number above 0"};
    return v;
}

// A list of words: a YAML sequence of scalars, or one text split at white space.
std::vector<std::string> words(const YAML::Node& node, const std::string& key) {
    if (node.IsNull()) return {};
    if (node.IsScalar()) return split_words(node.Scalar());
    if (!node.IsSequence()) throw BadKey{key, "a text or a list of texts"};
    std::vector<std::string> out;
    for (const YAML::Node& item : node) out.push_back(scalar(item, key));
    return out;
}

template <typename F>
auto guarded(const std::string& file, std::string_view text, F&& body) -> decltype(body(YAML::Node())) {
    try {
        const YAML::Node doc = YAML::Load(std::string(text));
        if (doc.IsNull()) return body(YAML::Node(YAML::NodeType::Map));
        if (!doc.IsMap()) return Error{"problem package file " + file + " is not a YAML mapping"};
        return body(doc);
    } catch (const BadKey& b) {
        return bad(file, b);
    } catch (const YAML::Exception& e) {
        return Error{"problem package file " + file + " is not valid YAML: " + e.what()};
    } catch (const std::exception& e) {
        return Error{"cannot read problem package file " + file + ": " + e.what()};
    }
}

}  // namespace

std::vector<std::string> split_words(std::string_view text) {
    std::vector<std::string> out;
    std::size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && std::string_view(" \t\r\n\f\v").find(text[i]) != std::string_view::npos) ++i;
        std::size_t j = i;
        while (j < text.size() && std::string_view(" \t\r\n\f\v").find(text[j]) == std::string_view::npos) ++j;
        if (j > i) out.emplace_back(text.substr(i, j - i));
        i = j;
    }
    return out;
}

Result<ProblemYaml> parse_problem_yaml(std::string_view text, const std::string& file) {
    return guarded(file, text, [&](const YAML::Node& doc) -> Result<ProblemYaml> {
        ProblemYaml p;
        if (const YAML::Node v = doc["problem_format_version"]; v && !v.IsNull())
            p.version = scalar(v, "problem_format_version");
        if (const YAML::Node t = doc["type"]; t && !t.IsNull()) {
            for (const std::string& word : words(t, "type")) {
                if (word == "scoring") p.scoring = true;
                else if (word == "interactive") p.interactive = true;
                else if (word == "multi-pass") p.multi_pass = true;
                else if (word == "submit-answer") p.submit_answer = true;
                else if (word != "pass-fail")
                    throw BadKey{"type", "pass-fail, scoring, interactive, multi-pass or submit-answer (got '" +
                                             word + "')"};
            }
        }
        if (const YAML::Node v = doc["validation"]; v && !v.IsNull()) {
            const std::vector<std::string> w = words(v, "validation");
            if (w.empty() || (w[0] != "default" && w[0] != "custom"))
                throw BadKey{"validation", "'default' or 'custom', then 'score' or 'interactive'"};
            p.custom_validation = w[0] == "custom";
            for (std::size_t i = 1; i < w.size(); ++i) {
                if (w[i] == "interactive") p.interactive = true;
                else if (w[i] == "multipass" || w[i] == "multi-pass") p.multi_pass = true;
                else if (w[i] != "score")
                    throw BadKey{"validation", "'default' or 'custom', then 'score' or 'interactive' (got '" +
                                                   w[i] + "')"};
            }
        }
        if (const YAML::Node v = doc["validator_flags"]; v) p.validator_flags = words(v, "validator_flags");
        if (const YAML::Node limits = doc["limits"]; limits && !limits.IsNull()) {
            if (!limits.IsMap()) throw BadKey{"limits", "a mapping"};
            const auto read = [&](const char* key, std::optional<double>& out) {
                if (const YAML::Node v = limits[key]; v && !v.IsNull())
                    out = positive(v, std::string("limits.") + key);
            };
            read("time_limit", p.time_limit_s);
            read("memory", p.memory_mb);
            read("output", p.output_mb);
            read("compilation_time", p.compilation_time_s);
        }
        return p;
    });
}

Result<GroupYaml> parse_group_yaml(std::string_view text, const std::string& file) {
    return guarded(file, text, [&](const YAML::Node& doc) -> Result<GroupYaml> {
        GroupYaml g;
        if (const YAML::Node v = doc["on_reject"]; v && !v.IsNull()) {
            const std::string s = scalar(v, "on_reject");
            if (s != "break" && s != "continue") throw BadKey{"on_reject", "'break' or 'continue'"};
            g.on_reject_break = s == "break";
        }
        if (const YAML::Node v = doc["grading"]; v && !v.IsNull()) {
            const std::string s = scalar(v, "grading");
            if (s != "default" && s != "custom") throw BadKey{"grading", "'default' or 'custom'"};
            g.custom_grading = s == "custom";
        }
        if (const YAML::Node v = doc["grader_flags"]; v) g.grader_flags = words(v, "grader_flags");
        // The legacy key takes a text, or a mapping with the flags under "flags".
        if (const YAML::Node v = doc["output_validator_flags"]; v) {
            if (v.IsMap()) {
                const YAML::Node flags = v["flags"];
                g.output_validator_args = flags ? words(flags, "output_validator_flags.flags")
                                                : std::vector<std::string>{};
            } else {
                g.output_validator_args = words(v, "output_validator_flags");
            }
        }
        if (const YAML::Node v = doc["output_validator_args"]; v)
            g.output_validator_args = words(v, "output_validator_args");
        if (const YAML::Node v = doc["accept_score"]; v && !v.IsNull()) g.accept_score = number(v, "accept_score");
        if (const YAML::Node v = doc["reject_score"]; v && !v.IsNull()) g.reject_score = number(v, "reject_score");
        if (const YAML::Node v = doc["range"]; v && !v.IsNull()) {
            std::vector<std::string> w = words(v, "range");
            if (w.size() != 2) throw BadKey{"range", "two numbers"};
            const double low = number(YAML::Node(w[0]), "range"), high = number(YAML::Node(w[1]), "range");
            if (low > high) throw BadKey{"range", "two numbers, the lower first"};
            g.range = std::make_pair(low, high);
        }
        if (const YAML::Node v = doc["max_score"]; v && !v.IsNull()) {
            if (v.IsScalar() && v.Scalar() == "unbounded") {
                g.max_score = std::optional<double>();
            } else {
                const double m = number(v, "max_score");
                if (!(m >= 0) || !std::isfinite(m)) throw BadKey{"max_score", "a number 0 or above, or 'unbounded'"};
                g.max_score = m;
            }
        }
        if (const YAML::Node v = doc["score_aggregation"]; v && !v.IsNull()) {
            const std::string s = scalar(v, "score_aggregation");
            if (s != "pass-fail" && s != "sum" && s != "min")
                throw BadKey{"score_aggregation", "'pass-fail', 'sum' or 'min'"};
            g.score_aggregation = s;
        }
        if (const YAML::Node v = doc["require_pass"]; v) g.require_pass = words(v, "require_pass");
        return g;
    });
}

Result<std::optional<std::vector<std::string>>> parse_case_yaml(std::string_view text, const std::string& file) {
    return guarded(file, text, [&](const YAML::Node& doc) -> Result<std::optional<std::vector<std::string>>> {
        std::optional<std::vector<std::string>> args;
        if (const YAML::Node v = doc["output_validator_args"]; v) args = words(v, "output_validator_args");
        else if (const YAML::Node f = doc["output_validator_flags"]; f) args = words(f, "output_validator_flags");
        return args;
    });
}

}  // namespace tessimar
