#include "report/out_of_memory.hpp"

#include <string>

namespace tessimar {
namespace {

// One runtime's report: the line starts with `starts`, holds `contains`
// after that and ends with `ends` (each empty: anything); `whole`: the line
// is `starts` and nothing else.
struct Marker {
    std::string_view starts;
    std::string_view contains;
    std::string_view ends;
    bool whole = false;
};

constexpr Marker kMarkers[] = {
    // python
    {"MemoryError", "", "", true},
    {"MemoryError: ", "", "", false},
    // the JVM: an uncaught error, its cause, and the banner of a failed native allocation
    {"Exception in thread \"", "\" java.lang.OutOfMemoryError", "", false},
    {"java.lang.OutOfMemoryError", "", "", false},
    {"Caused by: java.lang.OutOfMemoryError", "", "", false},
    {"# There is insufficient memory for the Java Runtime Environment to continue.", "", "", false},
    // C++: std::terminate on an uncaught std::bad_alloc
    {"terminate called after throwing an instance of 'std::bad_alloc'", "", "", false},
    // V8 (node, deno) and JavaScriptCore (bun)
    {"FATAL ERROR: ", "", "JavaScript heap out of memory", false},
    {"# Fatal JavaScript out of memory", "", "", false},
    {"# Fatal process out of memory", "", "", false},
    {"", "", "RangeError: Array buffer allocation failed", false},
    {"RangeError: Out of memory", "", "", true},
    // go
    {"fatal error: runtime: out of memory", "", "", false},
    {"fatal error: out of memory", "", "", false},
    {"fatal error: runtime: cannot allocate memory", "", "", false},
    {"runtime: out of memory", "", "", false},
    // the BEAM (erlang, elixir): 'eheap_alloc: Cannot allocate 8 bytes of memory (of type "heap").'
    {"", "bytes of memory (of type \"", "", false},
    // rust: "memory allocation of 67108864 bytes failed"
    {"memory allocation of ", "", " bytes failed", false},
    // ruby: "main.rb:1:in 'String#*': failed to allocate memory (NoMemoryError)"
    {"", "", "(NoMemoryError)", false},
    // gcc's own: "virtual memory exhausted: Cannot allocate memory"
    {"virtual memory exhausted", "", "", false},
    // PHP, logged or displayed, and its allocator's last word; perl's "Out of memory!"
    {"PHP Fatal error:  Allowed memory size of", "", "", false},
    {"Fatal error: Allowed memory size of", "", "", false},
    {"PHP Fatal error:  Out of memory", "", "", false},
    {"Fatal error: Out of memory", "", "", false},
    {"Out of memory", "", "", false},
};

bool matches(const Marker& m, std::string_view line) {
    if (line.size() < m.starts.size() + m.ends.size()) return false;
    if (line.substr(0, m.starts.size()) != m.starts) return false;
    if (m.whole) return line.size() == m.starts.size();
    if (line.substr(line.size() - m.ends.size()) != m.ends) return false;
    return m.contains.empty() || line.substr(m.starts.size()).find(m.contains) != std::string_view::npos;
}

// The line without terminal colour sequences (ESC '[' ... final byte) and
// without a trailing carriage return: some runtimes colour their errors.
std::string plain(std::string_view line) {
    std::string out;
    out.reserve(line.size());
    for (std::size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '\x1b' && i + 1 < line.size() && line[i + 1] == '[') {
            i += 2;
            while (i < line.size() && !(line[i] >= '@' && line[i] <= '~')) ++i;
            continue;
        }
        out += line[i];
    }
    if (!out.empty() && out.back() == '\r') out.pop_back();
    return out;
}

}  // namespace

bool reports_out_of_memory(std::string_view text) {
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        const std::string line = plain(text.substr(pos, end - pos));
        for (const Marker& m : kMarkers)
            if (matches(m, line)) return true;
        pos = end + 1;
    }
    return false;
}

bool out_of_memory(const PhaseOutcome& o) {
    if (o.memory_budget_kb == 0) return false;
    if (o.peak_memory_kb > o.memory_budget_kb) return true;
    const bool failed = o.signaled || o.exit_code != 0;
    return failed && !o.spawn_error && reports_out_of_memory(o.stderr_text);
}

}  // namespace tessimar
