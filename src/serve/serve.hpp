// The HTTP service: --serve [HOST:]PORT. Each POST /run body is one --batch
// request, run by a runner process of its own; see README ("The HTTP service").
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "serve/run_request.hpp"

namespace tessimar {

// The exit status of the service when the arguments ask for it; nullopt
// when they do not. 0: stopped by SIGTERM, SIGINT or SIGHUP after answering
// every request in flight; 2: it could not start. `limits_of` reads the
// effective limits of a runner's argument list.
std::optional<int> run_serve_mode(const std::vector<std::string>& args, const char* argv0, LimitsOf limits_of);

}  // namespace tessimar
