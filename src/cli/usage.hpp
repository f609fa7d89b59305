// What the runner says about itself: the --help text and the --version line.
#pragma once

#include <string_view>

namespace tessimar {

// The usage: synopsis, every option, the discovery requests and where the
// manual is. Plain text ending in a line feed.
std::string_view help_text();

// "tessimar-exec <version>\n".
std::string_view version_line();

}  // namespace tessimar
