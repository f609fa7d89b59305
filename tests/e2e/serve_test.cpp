// The HTTP service through the real binary over TCP on 127.0.0.1: answers
// equal to --batch lines, refusals, back-pressure, bad clients, stop
// signals, disconnects and the access token.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "test_support.hpp"

using namespace testing_support;
using nlohmann::json;
using namespace std::chrono_literals;

namespace {

// Polls `done` until it holds or `limit` passes.
template <typename F>
bool eventually(F done, std::chrono::seconds limit = 30s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (done()) return true;
        std::this_thread::sleep_for(20ms);
    }
    return done();
}

// A report without what differs from run to run.
json steady(json j) {
    for (const char* k : {"compile_ms", "cpu_ms", "duration_ms", "total_ms", "peak_memory_kb", "workdir"}) j.erase(k);
    return j;
}

// The service as a child process; its log (standard error) goes to a file.
class Server {
public:
    explicit Server(std::vector<std::string> args, std::map<std::string, std::string> env = {}) {
        log_ = dir_ / "log";
        std::vector<std::string> argv{kExec, "--serve", "127.0.0.1:0"};
        argv.insert(argv.end(), args.begin(), args.end());
        env.emplace("PATH", kSearchPath);
        env.emplace("TMPDIR", "/tmp");
        pid_ = fork();
        if (pid_ == 0) {
            const int log = open(log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int null = open("/dev/null", O_RDWR);
            dup2(null, 0);
            dup2(null, 1);
            dup2(log, 2);
            for (const auto& [k, v] : env) setenv(k.c_str(), v.c_str(), 1);
            std::vector<char*> p;
            for (std::string& a : argv) p.push_back(a.data());
            p.push_back(nullptr);
            execv(kExec, p.data());
            _exit(127);
        }
        const std::string mark = "serving on 127.0.0.1:";
        EXPECT_TRUE(eventually([&] { return log().find(mark) != std::string::npos; })) << log();
        const std::string text = log();
        const std::size_t at = text.find(mark);
        if (at != std::string::npos) port_ = std::stoi(text.substr(at + mark.size()));
    }
    ~Server() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    int port() const { return port_; }
    pid_t pid() const { return pid_; }
    std::string log() const { return read_file(log_); }
    // The wait status once it has ended after `sig`; -1 when it did not end in time.
    int stop(int sig, std::chrono::seconds limit = 60s) {
        kill(pid_, sig);
        int status = -1;
        if (!eventually([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, limit)) return -1;
        pid_ = -1;
        return status;
    }

private:
    TempDir dir_;
    std::string log_;
    pid_t pid_ = -1;
    int port_ = 0;
};

struct Reply {
    int status = 0;  // 0: no answer (the connection closed or timed out)
    std::map<std::string, std::string> headers;  // names in lower case
    std::string body;
};

// One keep-alive connection; every wait on it is bounded.
class Client {
public:
    explicit Client(int port, int timeout_secs = 120) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        timeval tv{timeout_secs, 0};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<std::uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~Client() { close(fd_); }
    bool connected() const { return connected_; }
    int fd() const { return fd_; }

    bool send_raw(const std::string& bytes) {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n <= 0) return false;
            done += static_cast<std::size_t>(n);
        }
        return true;
    }
    Reply call(const std::string& method, const std::string& path, const std::string& body = "",
               const std::string& headers = "") {
        std::string req = method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + headers;
        if (method == "POST") req += "Content-Length: " + std::to_string(body.size()) + "\r\n";
        req += "\r\n" + body;
        // A refusal may come before the whole body is sent.
        (void)send_raw(req);
        return read_reply();
    }
    Reply read_reply() {
        Reply r;
        std::size_t end;
        while ((end = buf_.find("\r\n\r\n")) == std::string::npos)
            if (!fill()) return r;
        std::istringstream head(buf_.substr(0, end));
        std::string line;
        std::getline(head, line);
        if (line.rfind("HTTP/1.1 ", 0) != 0) return r;
        const int status = std::stoi(line.substr(9, 3));
        while (std::getline(head, line)) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            const std::size_t colon = line.find(':');
            if (colon == std::string::npos) continue;
            std::string name = line.substr(0, colon);
            std::transform(name.begin(), name.end(), name.begin(), ::tolower);
            r.headers[name] = line.substr(line.find_first_not_of(' ', colon + 1));
        }
        const std::size_t length = std::stoul(r.headers.count("content-length") ? r.headers["content-length"] : "0");
        while (buf_.size() < end + 4 + length)
            if (!fill()) return r;
        r.body = buf_.substr(end + 4, length);
        buf_.erase(0, end + 4 + length);
        r.status = status;
        return r;
    }
    // Whether the server closed the connection (end of stream or reset).
    bool closed_by_server() {
        char c;
        const ssize_t n = recv(fd_, &c, 1, 0);
        return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
    }

private:
    bool fill() {
        char chunk[65536];
        const ssize_t n = recv(fd_, chunk, sizeof chunk, 0);
        if (n <= 0) return false;
        buf_.append(chunk, static_cast<std::size_t>(n));
        return true;
    }
    int fd_ = -1;
    bool connected_ = false;
    std::string buf_;
};

json health(int port) {
    Client c(port, 30);
    const Reply r = c.call("GET", "/health");
    return r.status == 200 ? json::parse(r.body, nullptr, false) : json();
}

std::string batch_output(const std::string& input, std::vector<std::string> extra = {}) {
    Invocation inv = run_of("", "", {});
    inv.args = {"--batch", "-"};
    inv.args.insert(inv.args.end(), extra.begin(), extra.end());
    inv.input = input;
    inv.set["TMPDIR"] = "/tmp";
    const ProcessResult r = run_process(inv);
    EXPECT_EQ(r.exit_code(), 0) << r.err;
    return r.out;
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) out.push_back(l + "\n");
    return out;
}

TEST(ServeHttp, AnswersAsBatchAndRefusesWhatBatchOrTheServiceRefuses) {
    if (!have("/usr/bin/python3")) GTEST_SKIP() << "no python3";
    const std::vector<std::string> requests = {
        R"j({"id":"a","lang":"python3","program":"print(int(input())*2)","stdin":"21"})j",
        R"j({"lang":"python3","program":"import sys\nsys.exit(3)"})j",
        R"j({"id":7,"lang":"python3","program":"print(1)","expected":"2\n"})j",
        R"j({"lang":"python3"})j",
        R"j({"id":"b","lang":"python3","program":"1","bogus":1})j",
    };
    std::string input;
    for (const std::string& r : requests) input += r + "\n";
    const std::vector<std::string> batch = lines_of(batch_output(input, {"--no-net"}));
    ASSERT_EQ(batch.size(), requests.size());

    Server server({"--jobs", "2", "--no-net"});
    Client c(server.port());
    ASSERT_TRUE(c.connected());
    for (std::size_t i = 0; i < requests.size(); ++i) {
        const Reply r = c.call("POST", "/run", requests[i]);
        const bool refused = i >= 3;
        EXPECT_EQ(r.status, refused ? 400 : 200) << r.body;
        EXPECT_EQ(r.headers.at("content-type"), "application/json");
        json want = json::parse(batch[i]);
        // A request without an id has none over HTTP (the batch numbers it);
        // an error loses the batch's "line N: " prefix.
        if (json::parse(requests[i]).count("id") == 0) want.erase("id");
        if (refused) {
            std::string message = want["error"];
            want["error"] = message.substr(message.find(": ") + 2);
            // The same bytes as the batch's error object.
            EXPECT_EQ(r.body, want.dump() + "\n");
        } else {
            EXPECT_EQ(steady(json::parse(r.body)), steady(want)) << r.body << "\n" << batch[i];
        }
    }

    // What the service refuses on its own: its limits are ceilings, server
    // paths and weaker confinement are out of reach, and bodies that are not
    // a request object.
    const std::pair<std::string, std::string> refusals[] = {
        {R"j({"lang":"python3","program":"1","timeout":11})j", "'timeout'/'timeout_ms'"},
        {R"j({"lang":"python3","program":"1","max_output_kb":65})j", "'max_output_kb'"},
        {R"j({"lang":"python3","program":"1","workdir":"/etc"})j", "'workdir'"},
        {R"j({"lang":"python3","program":"1","no_net":false})j", "'no_net'"},
        {R"j({"lang":"python3","program":)j", "not valid JSON"},
        {R"j([{"lang":"python3","program":"1"}])j", "not a JSON object"},
    };
    for (const auto& [body, named] : refusals) {
        const Reply r = c.call("POST", "/run", body);
        EXPECT_EQ(r.status, 400) << body;
        const json j = json::parse(r.body, nullptr, false);
        EXPECT_EQ(j.value("ok", true), false) << r.body;
        EXPECT_NE(j.value("error", "").find(named), std::string::npos) << r.body;
    }
    const Reply missing = c.call("GET", "/nowhere");
    EXPECT_EQ(missing.status, 404);
    EXPECT_EQ(json::parse(missing.body, nullptr, false).value("ok", true), false);
    EXPECT_EQ(c.call("GET", "/run").status, 405);
    const Reply ping = c.call("GET", "/v1/ping");
    EXPECT_EQ(ping.status, 200);
    EXPECT_EQ(ping.body, "pong");
    const Reply metrics = c.call("GET", "/metrics");
    EXPECT_NE(metrics.body.find("tessimar_requests_total{endpoint=\"/run\",code=\"400\"} 8"), std::string::npos)
        << metrics.body;
    EXPECT_NE(metrics.body.find("tessimar_verdicts_total{verdict=\"OK\"} 1"), std::string::npos) << metrics.body;
}

TEST(ServeHttp, BadClientsGetTheirAnswerAndOthersAreStillServed) {
    Server server({"--jobs", "1", "--max-request-mb", "1"});
    const std::string big(2 << 20, 'x');
    {
        Client c(server.port());
        const Reply r = c.call("POST", "/run", big);
        EXPECT_EQ(r.status, 413);
        EXPECT_NE(r.body.find("--max-request-mb"), std::string::npos) << r.body;
    }
    {
        // A chunked body has no length to check up front.
        Client c(server.port());
        std::string req = "POST /run HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n";
        char size[32];
        std::snprintf(size, sizeof size, "%x\r\n", 65536);
        const std::string chunk = std::string(size) + std::string(65536, 'x') + "\r\n";
        c.send_raw(req);
        for (int i = 0; i < 32 && c.send_raw(chunk); ++i) {
        }
        const Reply r = c.read_reply();
        EXPECT_EQ(r.status, 413);
    }
    {
        Client c(server.port());
        EXPECT_TRUE(c.send_raw("GARBAGE\r\n\r\n"));
        const Reply r = c.read_reply();
        EXPECT_EQ(r.status, 400);
        EXPECT_EQ(json::parse(r.body, nullptr, false).value("ok", true), false);
    }
    // Headers sent a byte a second: the connection ends once the header
    // deadline has passed, while others are served meanwhile.
    std::atomic<bool> slow_closed{false};
    std::atomic<long> slow_secs{0};
    std::thread slow([&] {
        Client c(server.port(), 60);
        const auto t0 = std::chrono::steady_clock::now();
        const std::string head = "GET /v1/ping HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: " + std::string(40, 'a');
        for (const char ch : head) {
            if (!c.send_raw(std::string(1, ch))) break;
            std::this_thread::sleep_for(1s);
            if (std::chrono::steady_clock::now() - t0 > 40s) break;
        }
        slow_closed = c.closed_by_server();
        slow_secs = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - t0).count();
    });
    for (int i = 0; i < 3; ++i) {
        Client c(server.port());
        EXPECT_EQ(c.call("GET", "/v1/ping").body, "pong");
        std::this_thread::sleep_for(1s);
    }
    slow.join();
    EXPECT_TRUE(slow_closed);
    EXPECT_GE(slow_secs, 5);
    EXPECT_LT(slow_secs, 40);
    Client after(server.port());
    EXPECT_EQ(after.call("GET", "/v1/ping").status, 200);
}

TEST(ServeHttp, FullQueueIs503AndAMissedStartIs504AndNothingRunsTwice) {
    if (!have("/usr/bin/python3")) GTEST_SKIP() << "no python3";
    TempDir dir;
    const std::string ran = dir / "ran";
    Server server({"--jobs", "1", "--queue", "2", "--timeout", "60"});
    const auto request = [&](const std::string& name, double sleep, unsigned timeout_ms) {
        const std::string program = "import time\nopen(" + json(ran).dump() + ", 'a').write('" + name +
                                    "\\n')\ntime.sleep(" + std::to_string(sleep) + ")\nprint('" + name + "')";
        return json{{"lang", "python3"}, {"program", program}, {"timeout_ms", timeout_ms}, {"id", name}}.dump();
    };
    // A holds the only job for 12 s; B and C may only wait their budget of
    // 0.5 s + 10 s; D finds the queue full.
    Client a(server.port()), b(server.port()), c(server.port()), d(server.port());
    ASSERT_TRUE(a.send_raw("POST /run HTTP/1.1\r\nHost: x\r\nContent-Length: " +
                           std::to_string(request("A", 12, 30000).size()) + "\r\n\r\n" + request("A", 12, 30000)));
    ASSERT_TRUE(eventually([&] { return health(server.port()).value("running", 0) == 1; }));
    for (Client* client : {&b, &c}) {
        const std::string body = request(client == &b ? "B" : "C", 0, 500);
        ASSERT_TRUE(client->send_raw("POST /run HTTP/1.1\r\nHost: x\r\nContent-Length: " +
                                     std::to_string(body.size()) + "\r\n\r\n" + body));
    }
    ASSERT_TRUE(eventually([&] { return health(server.port()).value("queued", 0) == 2; }));
    const Reply full = d.call("POST", "/run", request("D", 0, 500));
    EXPECT_EQ(full.status, 503);
    EXPECT_EQ(full.headers.at("retry-after"), "1");
    for (Client* client : {&b, &c}) {
        const Reply r = client->read_reply();
        EXPECT_EQ(r.status, 504) << r.body;
        EXPECT_EQ(json::parse(r.body, nullptr, false).value("ok", true), false);
    }
    const Reply done = a.read_reply();
    EXPECT_EQ(done.status, 200);
    EXPECT_EQ(json::parse(done.body).value("stdout", ""), "A\n");
    EXPECT_EQ(read_file(ran), "A\n");
}

TEST(ServeHttp, AClientThatLeavesHasItsRunKilledAndRemoved) {
    if (!have("/usr/bin/python3")) GTEST_SKIP() << "no python3";
    TempDir tmp;
    open_up(tmp.path());
    const std::string marker = "serve-left-" + std::to_string(getpid());
    Server server({"--jobs", "1"}, {{"TMPDIR", tmp.path()}});
    const std::string program = "import subprocess\nsubprocess.run(['python3', '-c', 'import time; time.sleep(60)', '" +
                                marker + "'])";
    {
        Client c(server.port());
        const std::string body = json{{"lang", "python3"}, {"program", program}, {"timeout", 10}}.dump();
        ASSERT_TRUE(c.send_raw("POST /run HTTP/1.1\r\nHost: x\r\nContent-Length: " + std::to_string(body.size()) +
                               "\r\n\r\n" + body));
        ASSERT_TRUE(eventually([&] { return process_with_token_alive(marker); }));
    }
    EXPECT_TRUE(eventually([&] { return !process_with_token_alive(marker); }, 8s));
    // Only the service's own build cache stays (until the service ends).
    const auto left_of_runs = [&] {
        std::vector<std::string> left;
        for (const std::string& name : list_dir(tmp.path()))
            if (name.rfind("tessimar-serve-cache-", 0) != 0) left.push_back(name);
        return left;
    };
    EXPECT_TRUE(eventually([&] { return left_of_runs().empty(); }, 8s)) << left_of_runs().size();
    // The runner is reaped after its program tree and directory are gone.
    EXPECT_TRUE(eventually([&] { return health(server.port()).value("running", -1) == 0; }, 8s));
    EXPECT_NE(server.log().find(" 499 "), std::string::npos) << server.log();
}

TEST(ServeHttp, SigtermAnswersTheRunsInFlightAndSigkillLeavesNoRun) {
    if (!have("/usr/bin/python3")) GTEST_SKIP() << "no python3";
    const std::string marker = "serve-killed-" + std::to_string(getpid());
    const std::string slow = json{{"lang", "python3"}, {"program", "import time\ntime.sleep(2)\nprint('done')"}}.dump();
    {
        Server server({"--jobs", "2"});
        Client a(server.port()), b(server.port());
        for (Client* c : {&a, &b})
            ASSERT_TRUE(c->send_raw("POST /run HTTP/1.1\r\nHost: x\r\nContent-Length: " + std::to_string(slow.size()) +
                                    "\r\n\r\n" + slow));
        ASSERT_TRUE(eventually([&] { return health(server.port()).value("running", 0) == 2; }));
        kill(server.pid(), SIGTERM);
        for (Client* c : {&a, &b}) {
            const Reply r = c->read_reply();
            EXPECT_EQ(r.status, 200);
            EXPECT_EQ(json::parse(r.body, nullptr, false).value("stdout", ""), "done\n") << r.body;
        }
        const int status = server.stop(SIGTERM);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << server.log();
    }
    Server server({"--jobs", "2"});
    const std::string program = "import subprocess\nsubprocess.run(['python3', '-c', 'import time; time.sleep(60)', '" +
                                marker + "'])";
    const std::string body = json{{"lang", "python3"}, {"program", program}}.dump();
    Client a(server.port()), b(server.port());
    for (Client* c : {&a, &b})
        ASSERT_TRUE(c->send_raw("POST /run HTTP/1.1\r\nHost: x\r\nContent-Length: " + std::to_string(body.size()) +
                                "\r\n\r\n" + body));
    ASSERT_TRUE(eventually([&] { return health(server.port()).value("running", 0) == 2; }));
    ASSERT_TRUE(eventually([&] { return process_with_token_alive(marker); }));
    server.stop(SIGKILL);
    EXPECT_TRUE(eventually([&] { return !process_with_token_alive(marker); }, 8s));
}

TEST(ServeHttp, TheTokenGuardsEverythingButPingAndNoProgramSeesIt) {
    if (!have("/usr/bin/python3")) GTEST_SKIP() << "no python3";
    const std::string token = "tok-" + std::to_string(getpid()) + "-secret";
    Server server({"--jobs", "1"}, {{"TESSIMAR_SERVE_TOKEN", token}});
    Client c(server.port());
    EXPECT_EQ(c.call("GET", "/v1/ping").status, 200);
    EXPECT_EQ(c.call("GET", "/health").status, 401);
    EXPECT_EQ(c.call("GET", "/health", "", "Authorization: Bearer wrong-" + token + "\r\n").status, 401);
    EXPECT_EQ(c.call("GET", "/health", "", "Authorization: Bearer " + token + "\r\n").status, 200);
    const std::string body =
        json{{"lang", "python3"}, {"program", "import os\nprint(sorted(os.environ.items()))"}}.dump();
    EXPECT_EQ(Client(server.port()).call("POST", "/run", body).status, 401);
    const Reply r = c.call("POST", "/run", body, "Authorization: Bearer " + token + "\r\n");
    ASSERT_EQ(r.status, 200) << r.body;
    const json report = json::parse(r.body);
    EXPECT_EQ(report.value("verdict", ""), "OK") << r.body;
    EXPECT_EQ(report.value("stdout", "").find(token), std::string::npos);
    EXPECT_EQ(report.value("stdout", "").find("TESSIMAR_SERVE_TOKEN"), std::string::npos);
}

// /run_code through the service: what verl's reward client sends, scored as
// it scores it; their errors in their shape, the service's ceilings as for /run.
TEST(ServeHttp, AProgramSentTwiceIsCompiledOnceInTheServicesOwnCache) {
    if (!have("/usr/bin/gcc")) GTEST_SKIP() << "no gcc";
    TempDir tmp;
    Server server({"--jobs", "1"}, {{"TMPDIR", tmp.path()}});
    const std::string body =
        json{{"lang", "c"}, {"program", "#include <stdio.h>\nint main(void) { puts(\"c\"); return 0; }"}}.dump();
    Client c(server.port());
    const json first = json::parse(c.call("POST", "/run", body).body);
    const json second = json::parse(c.call("POST", "/run", body).body);
    EXPECT_EQ(first.value("stdout", ""), "c\n") << first;
    EXPECT_FALSE(first.contains("build_cached")) << first;
    EXPECT_EQ(second.value("stdout", ""), "c\n") << second;
    EXPECT_EQ(second.value("build_cached", false), true) << second;
    EXPECT_EQ(second.value("compile_ms", -1), 0) << second;
    const int status = server.stop(SIGTERM);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_TRUE(list_dir(tmp.path()).empty()) << list_dir(tmp.path()).front();
}

TEST(ServeHttp, RunCodeRequestsAreRunAndScoredAsTheirClientsScoreThem) {
    if (!have("/usr/bin/python3")) GTEST_SKIP() << "no python3";
    Server server({"--jobs", "2"});
    TempDir dir;
    json cases = json::array({
        {{"language", "bash"}, {"code", "read x; echo $((x * 2))"}, {"stdin", "21\n"}, {"expected", "42"}},
        {{"language", "python"}, {"code", "print(41)"}, {"expected", "42"}},
        {{"language", "python"}, {"code", "import time\ntime.sleep(30)"}, {"timeout", 1}},
        {{"language", "bash"}, {"code", "exit 3"}},
        {{"language", "python"}, {"code", "x = bytearray(400 << 20)\nprint(len(x))"}, {"memory_limit_MB", 64}},
        {{"language", "cpp"}, {"code", "int main() { return }"}},
        {{"language", "bash"}, {"code", "tr a-z A-Z < in.txt > out.txt; cat out.txt"}, {"files", {{"in.txt", "hi"}}},
         {"fetch_files", {"out.txt", "missing.txt"}}, {"expected", "HI"}},
    });
    write_file(dir / "cases.json", cases.dump());
    Invocation inv = run_of("", "", {});
    inv.args = {TESSIMAR_TEST_SUPPORT_DIR "/sandbox_fusion_client.py",
                "http://127.0.0.1:" + std::to_string(server.port()) + "/run_code", dir / "cases.json"};
    const ProcessResult r = run_process(inv, "/usr/bin/python3");
    ASSERT_EQ(r.exit_code(), 0) << r.err;
    const std::vector<std::string> lines = lines_of(r.out);
    ASSERT_EQ(lines.size(), 7u) << r.out;
    const json scores[] = {true, false, -3, -2, -2, -4, true};
    for (std::size_t i = 0; i < 7; ++i) {
        const json line = json::parse(lines[i]);
        EXPECT_EQ(line["http_status"], 200) << lines[i];
        EXPECT_EQ(line["score"], scores[i]) << lines[i];
    }
    EXPECT_EQ(json::parse(lines[4])["response"].value("verdict", ""), "MLE") << lines[4];
    const json fetched = json::parse(lines[6])["response"]["files"];
    EXPECT_EQ(fetched, (json{{"out.txt", "SEk="}})) << lines[6];  // "HI"
    Client c(server.port());
    const Reply unknown = c.call("POST", "/run_code", R"j({"code":"1","language":"klingon"})j");
    EXPECT_EQ(unknown.status, 200);
    EXPECT_EQ(json::parse(unknown.body).value("status", ""), "SandboxError") << unknown.body;
    EXPECT_EQ(c.call("POST", "/run_code", R"j({"language":"python"})j").status, 400);
    const Reply over = c.call("POST", "/run_code", R"j({"code":"1","language":"python","run_timeout":60})j");
    EXPECT_EQ(over.status, 400);
    EXPECT_NE(over.body.find("'timeout'/'timeout_ms'"), std::string::npos) << over.body;
}

// 5,000 requests over 256 connections at once, each with its own input:
// every one is answered as --batch answers it, and each program ran once.
TEST(ServeLoad, ManyConnectionsGetEveryAnswerOnce) {
    if (!have("/usr/bin/python3")) GTEST_SKIP() << "no python3";
    constexpr int kRequests = 5000, kConnections = 256;
    TempDir dir;
    const std::string ran = dir / "ran";
    const std::string program = "n = input()\nopen(" + json(ran).dump() + ", 'a').write(n + '\\n')\nprint(n)";
    const auto request = [&](int n) {
        return json{{"id", n}, {"lang", "python3"}, {"program", program}, {"stdin", std::to_string(n)}}.dump();
    };
    // The batch's answer to one of them, the pattern of every answer.
    const json pattern = steady(json::parse(batch_output(request(-1) + "\n")));
    write_file(ran, "");
    Server server({"--timeout", "300"});
    std::atomic<int> next{0};
    std::mutex m;
    std::vector<std::string> failures;
    std::vector<std::thread> threads;
    const auto t0 = std::chrono::steady_clock::now();
    for (int t = 0; t < kConnections; ++t)
        threads.emplace_back([&] {
            Client c(server.port(), 600);
            for (int n; (n = next++) < kRequests;) {
                const Reply r = c.call("POST", "/run", request(n));
                json want = pattern;
                want["id"] = n;
                want["stdout"] = std::to_string(n) + "\n";
                want["stdout_bytes"] = std::to_string(n).size() + 1;
                const json got = json::parse(r.body, nullptr, false);
                if (r.status != 200 || got.is_discarded() || steady(got) != want) {
                    std::lock_guard<std::mutex> lock(m);
                    failures.push_back(std::to_string(n) + ": " + std::to_string(r.status) + " " + r.body);
                    return;
                }
            }
        });
    for (std::thread& t : threads) t.join();
    const auto secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::printf("%d requests over %d connections: %.1f s\n", kRequests, kConnections, secs);
    ASSERT_TRUE(failures.empty()) << failures.size() << " failed, first: " << failures.front();
    std::set<int> seen;
    std::istringstream in(read_file(ran));
    int lines = 0;
    for (std::string l; std::getline(in, l); ++lines) seen.insert(std::stoi(l));
    EXPECT_EQ(lines, kRequests);
    EXPECT_EQ(seen.size(), static_cast<std::size_t>(kRequests));
}

}  // namespace
