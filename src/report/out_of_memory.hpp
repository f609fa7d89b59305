// Out of memory under a data-segment limit (--max-data-mb): a peak above the
// limit, whatever the exit, or a failed child whose runtime said so itself.
#pragma once

#include <string_view>

#include "common/phase_outcome.hpp"

namespace tessimar {

// Whether standard error carries a runtime's own out-of-memory report, at
// the place that runtime prints it (a line of its own, or the line's start
// or end), so that the words inside a program's own message do not count.
// The reports: python's MemoryError, the JVM's java.lang.OutOfMemoryError
// and its native-memory banner, C++'s std::bad_alloc through terminate,
// V8's "JavaScript heap out of memory" and "Array buffer allocation failed"
// (node, deno), bun's "RangeError: Out of memory", go's "runtime: out of
// memory" and "cannot allocate memory", rust's "memory allocation of N
// bytes failed", ruby's NoMemoryError, the BEAM's "Cannot allocate N bytes
// of memory", gcc's "virtual memory exhausted", PHP's "Allowed memory size
// of" and "Out of memory", perl's "Out of memory!".
bool reports_out_of_memory(std::string_view stderr_text);

// The phase ran under a data limit and ran out of memory.
bool out_of_memory(const PhaseOutcome& outcome);

}  // namespace tessimar
