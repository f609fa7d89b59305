#include "test_support.hpp"

#include <dirent.h>
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "workspace/tree.hpp"

extern char** environ;

namespace testing_support {

const char* const kExec = TESSIMAR_EXEC;

bool ProcessResult::exited() const { return WIFEXITED(status); }
int ProcessResult::exit_code() const { return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status); }
nlohmann::json ProcessResult::json() const {
    if (out.empty() || out.back() != '\n') throw std::runtime_error("no line: " + out);
    return nlohmann::json::parse(out.substr(0, out.size() - 1));
}

ProcessResult run_process(const Invocation& inv, const std::string& program) {
    std::vector<std::string> argv = inv.wrapper;
    argv.push_back(program.empty() ? kExec : program);
    argv.insert(argv.end(), inv.args.begin(), inv.args.end());

    std::map<std::string, std::string> env;
    if (!inv.clear_env)
        for (char** e = environ; *e != nullptr; ++e) {
            const char* eq = std::strchr(*e, '=');
            if (eq) env[std::string(static_cast<const char*>(*e), eq)] = eq + 1;
        }
    for (const auto& n : inv.unset) env.erase(n);
    for (const auto& [k, v] : inv.set) env[k] = v;
    std::vector<std::string> env_strings;
    for (const auto& [k, v] : env) env_strings.push_back(k + "=" + v);

    std::vector<char*> cargv, cenv;
    for (auto& s : argv) cargv.push_back(s.data());
    cargv.push_back(nullptr);
    for (auto& s : env_strings) cenv.push_back(s.data());
    cenv.push_back(nullptr);

    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC)) throw std::runtime_error("pipe");
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        if (inv.cwd && chdir(inv.cwd->c_str()) != 0) _exit(126);
        signal(SIGPIPE, SIG_DFL);
        execvpe(cargv[0], cargv.data(), cenv.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    signal(SIGPIPE, SIG_IGN);
    ProcessResult r;
    std::size_t written = 0;
    int in_fd = in[1];
    if (inv.input.empty()) {
        close(in_fd);
        in_fd = -1;
    } else {
        fcntl(in_fd, F_SETFL, O_NONBLOCK);
    }
    bool out_open = true, err_open = true;
    while (out_open || err_open) {
        pollfd fds[3];
        int n = 0;
        if (out_open) fds[n++] = {out[0], POLLIN, 0};
        if (err_open) fds[n++] = {err[0], POLLIN, 0};
        if (in_fd >= 0) fds[n++] = {in_fd, POLLOUT, 0};
        if (poll(fds, n, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (int i = 0; i < n; ++i) {
            if (fds[i].revents == 0) continue;
            if (fds[i].fd == in_fd) {
                const ssize_t w = write(in_fd, inv.input.data() + written, inv.input.size() - written);
                if (w > 0) written += static_cast<std::size_t>(w);
                if (w < 0 || written == inv.input.size()) {
                    close(in_fd);
                    in_fd = -1;
                }
                continue;
            }
            char buf[65536];
            const ssize_t got = read(fds[i].fd, buf, sizeof buf);
            if (got <= 0) {
                if (fds[i].fd == out[0]) out_open = false;
                else err_open = false;
                continue;
            }
            (fds[i].fd == out[0] ? r.out : r.err).append(buf, static_cast<std::size_t>(got));
        }
    }
    if (in_fd >= 0) close(in_fd);
    close(out[0]);
    close(err[0]);
    struct rusage usage{};
    while (wait4(pid, &r.status, 0, &usage) < 0 && errno == EINTR) {
    }
    r.max_rss_kb = usage.ru_maxrss;
    return r;
}

ProcessResult run_exec(const Invocation& inv) { return run_process(inv); }

TempDir::TempDir() {
    char tmpl[] = "/tmp/tessimar-test-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) throw std::runtime_error("mkdtemp");
    path_ = tmpl;
    chmod(path_.c_str(), 0755);
}

TempDir::TempDir(InMemory) {
    char tmpl[] = "/dev/shm/tessimar-test-XXXXXX";
    if (mkdtemp(tmpl) != nullptr) {
        path_ = tmpl;
    } else {
        char fallback[] = "/tmp/tessimar-test-XXXXXX";
        if (mkdtemp(fallback) == nullptr) throw std::runtime_error("mkdtemp");
        path_ = fallback;
    }
    chmod(path_.c_str(), 0755);
}

TempDir::~TempDir() {
    tessimar::RemoveOptions options;
    options.repair_owner_permissions = true;
    (void)tessimar::remove_tree(path_, options);
}

void write_file(const std::string& path, const std::string& content, int mode) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0) throw std::runtime_error("open " + path);
    std::size_t off = 0;
    while (off < content.size()) {
        const ssize_t n = write(fd, content.data() + off, content.size() - off);
        if (n <= 0) break;
        off += static_cast<std::size_t>(n);
    }
    close(fd);
    chmod(path.c_str(), mode);
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> list_dir(const std::string& path) {
    std::vector<std::string> names;
    DIR* d = opendir(path.c_str());
    if (d == nullptr) return names;
    while (const dirent* e = readdir(d))
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

bool process_with_token_alive(const std::string& token) {
    DIR* d = opendir("/proc");
    if (d == nullptr) return false;
    bool found = false;
    while (const dirent* e = readdir(d)) {
        if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
        std::string cmd = read_file(std::string("/proc/") + e->d_name + "/cmdline");
        std::string stat = read_file(std::string("/proc/") + e->d_name + "/stat");
        // Zombies waiting for their reaper do not count as alive.
        const auto close_paren = stat.rfind(')');
        if (close_paren != std::string::npos && close_paren + 2 < stat.size() && stat[close_paren + 2] == 'Z') continue;
        if (cmd.find(token) != std::string::npos) {
            found = true;
            break;
        }
    }
    closedir(d);
    return found;
}

void open_up(const std::string& path) { chmod(path.c_str(), 0777); }

ScopedEnv::~ScopedEnv() {
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
        if (it->second) setenv(it->first.c_str(), it->second->c_str(), 1);
        else unsetenv(it->first.c_str());
    }
}

void ScopedEnv::set(const std::string& name, const std::string& value) {
    save(name);
    setenv(name.c_str(), value.c_str(), 1);
}

void ScopedEnv::unset(const std::string& name) {
    save(name);
    unsetenv(name.c_str());
}

void ScopedEnv::save(const std::string& name) {
    const char* v = std::getenv(name.c_str());
    saved_.emplace_back(name, v ? std::optional<std::string>(v) : std::nullopt);
}

bool have(const char* path) { return access(path, X_OK) == 0; }

Invocation run_of(const std::string& lang, const std::string& program, std::vector<std::string> extra) {
    Invocation inv;
    inv.args = {"--lang", lang};
    inv.args.insert(inv.args.end(), extra.begin(), extra.end());
    inv.input = program;
    inv.set["PATH"] = kSearchPath;
    inv.unset = {"TESSIMAR_RUNTIME_PATH", "TESSIMAR_MAX_PROCESSES", "TESSIMAR_PROCESS_HEADROOM", "LD_PRELOAD"};
    return inv;
}

nlohmann::json report_of(const ProcessResult& r) {
    EXPECT_TRUE(r.exited()) << "status " << r.status;
    EXPECT_EQ(r.exit_code(), 0) << r.err;
    try {
        return r.json();
    } catch (const std::exception& e) {
        ADD_FAILURE() << e.what() << "\nstdout: " << r.out << "\nstderr: " << r.err;
        return nlohmann::json::object();
    }
}

const std::vector<std::string> kPassThroughNames = {
    "PATH",         "HOME",         "LANG",         "LC_ALL",      "TMPDIR",
    "PYTHONUNBUFFERED", "JAVA_HOME", "CARGO_HOME",  "RUSTUP_HOME", "GOPATH",
    "GOMODCACHE",   "SystemRoot",   "SYSTEMROOT",   "windir",      "COMSPEC",
    "PATHEXT",      "TEMP",         "TMP",          "USERPROFILE", "APPDATA",
    "LOCALAPPDATA", "NUMBER_OF_PROCESSORS", "PROCESSOR_ARCHITECTURE",
};

void clear_child_inputs(ScopedEnv& env) {
    for (const std::string& name : kPassThroughNames) env.unset(name);
    env.unset("TESSIMAR_RUNTIME_PATH");
    env.unset("LD_PRELOAD");
}

const char* const kSocketProbePy =
    "import socket\n"
    "def t(name, f):\n"
    "    try:\n"
    "        f(); print(name, 'ok')\n"
    "    except OSError as e:\n"
    "        print(name, e.errno)\n"
    "t('inet', lambda: socket.socket(socket.AF_INET, socket.SOCK_STREAM))\n"
    "t('inet6', lambda: socket.socket(socket.AF_INET6, socket.SOCK_DGRAM))\n"
    "t('unix', lambda: socket.socket(socket.AF_UNIX, socket.SOCK_STREAM))\n"
    "t('pair', lambda: socket.socketpair())\n";

}  // namespace testing_support
