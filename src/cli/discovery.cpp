#include "cli/discovery.hpp"

#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "catalogue/catalogue.hpp"
#include "common/text.hpp"
#include "phase/network.hpp"

namespace tessimar {
namespace {

bool is_regular(const std::string& path, bool need_exec) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    return !need_exec || (st.st_mode & 0111) != 0;
}

std::string first_program(const std::vector<std::string>& args) {
    for (const std::string& a : args)
        if (a.empty() || a.front() != '{') return a;
    return {};
}

bool row_available(const LanguageSpec& row) {
    if (row.name == "gleam") return on_path("gleam") && on_path("bash");
    if (row.name == "haskell") return on_path("nix-shell") && on_path("bash");
    std::string primary = first_program(row.run_template);
    if (primary.empty() && row.compile_template) primary = first_program(*row.compile_template);
    if (primary.empty()) primary = "bash";
    if (!on_path(primary)) return false;
    if (row.compile_template && !row.run_template.empty() && !row.compile_template->empty()) {
        const std::string& run0 = row.run_template.front();
        if ((run0.empty() || run0.front() != '{') && run0 != row.compile_template->front())
            return on_path(run0);
    }
    return true;
}

// --max-data-mb sets RLIMIT_DATA, which counts private writable mappings as
// well as the heap since Linux 4.7; before that, only the heap.
bool data_limit_enforced() {
    struct rlimit data;
    struct utsname name;
    if (getrlimit(RLIMIT_DATA, &data) != 0 || uname(&name) != 0) return false;
    unsigned major = 0, minor = 0;
    if (std::sscanf(name.release, "%u.%u", &major, &minor) != 2) return false;
    return major > 4 || (major == 4 && minor >= 7);
}

}  // namespace

bool on_path(const std::string& program) {
    if (program.find('/') != std::string::npos || program.find('\\') != std::string::npos)
        return is_regular(program, false);
    const char* path = std::getenv("PATH");
    if (path == nullptr) return false;
    const std::string value = path;
    std::size_t start = 0;
    while (start <= value.size()) {
        std::size_t colon = value.find(':', start);
        if (colon == std::string::npos) colon = value.size();
        const std::string entry = value.substr(start, colon - start);
        if (!entry.empty() && is_regular(join_path(entry, program), true)) return true;
        start = colon + 1;
    }
    return false;
}

Json languages_answer() {
    Json names = Json::array();
    for (const LanguageSpec& row : catalogue()) names.push_back(row.name);
    return names;
}

Json probe_answer() {
    Json answer = Json::object();
    for (const LanguageSpec& row : catalogue()) answer[row.name] = row_available(row);
    return answer;
}

Json capabilities_answer() {
    Json answer = Json::object();
    answer["no_net_kernel_enforcement"] = false;
    answer["data_limit"] = data_limit_enforced();
    const std::vector<sock_filter>& filter = build_network_filter();
    const sock_fprog program{static_cast<unsigned short>(filter.size()),
                             const_cast<sock_filter*>(filter.data())};
    if (prctl(PR_GET_SECCOMP, 0, 0, 0, 0) < 0) return answer;
    const pid_t pid = fork();
    if (pid < 0) return answer;
    if (pid == 0) _exit(install_network_filter(program) == 0 ? 0 : 1);
    int status = 0;
    while (true) {
        const pid_t w = waitpid(pid, &status, 0);
        if (w == pid) break;
        if (w < 0 && errno != EINTR) return answer;
    }
    answer["no_net_kernel_enforcement"] = (status & 0xff7f) == 0;
    return answer;
}

}  // namespace tessimar
