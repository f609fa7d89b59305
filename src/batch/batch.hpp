// Batch mode: one request per input line, each run by a runner process of
// its own (this executable, started again with the request's options), at
// most N at a time, reports written in input order.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tessimar {

// The exit status of the batch when the arguments ask for batch mode;
// nullopt when they do not. 0: every input line got its output line;
// 1: the output could not be written; 2: the batch could not start or its
// input could not be read; 128 + N: ended by signal N.
std::optional<int> run_batch_mode(const std::vector<std::string>& args, const char* argv0);

}  // namespace tessimar
