// The three discovery answers.
#pragma once

#include <string>

#include "report/run_report.hpp"

namespace tessimar {

// Is a program installed, by the runner's own PATH.
bool on_path(const std::string& program);

Json languages_answer();
Json probe_answer();
Json capabilities_answer();

}  // namespace tessimar
