// The HTTP service's plain parts: its command line, the ceilings a request
// meets, the queue, and the answers for a body and a report.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "serve/ceilings.hpp"
#include "serve/run_request.hpp"
#include "serve/scheduler.hpp"
#include "serve/serve_options.hpp"

using namespace tessimar;

namespace {

TEST(ServeOptions, AddressJobsQueueAndTheRunDefaults) {
    const auto o = scan_serve_options({"--timeout", "3", "--serve", "[::1]:8080", "--queue", "0", "--no-net"});
    ASSERT_TRUE(o && o->ok()) << (o ? o->error() : "");
    EXPECT_EQ(o->value().host, "::1");
    EXPECT_EQ(o->value().port, 8080);
    EXPECT_EQ(o->value().queue, 0u);
    EXPECT_EQ(o->value().defaults, (std::vector<std::string>{"--timeout", "3", "--no-net"}));
    EXPECT_EQ(scan_serve_options({"--serve", "9000"})->value().host, "127.0.0.1");
    // "--serve" as the value of a run option is that option's value.
    EXPECT_FALSE(scan_serve_options({"--stdin", "--serve"}));
    for (const std::vector<std::string>& bad : std::vector<std::vector<std::string>>{
             {"--serve", "localhost:80"}, {"--serve", "70000"}, {"--serve", "1:"}, {"--serve"},
             {"--serve", "0", "--jobs", "0"}, {"--serve", "0", "--batch", "-"}}) {
        const auto r = scan_serve_options(bad);
        ASSERT_TRUE(r) << bad[0];
        EXPECT_FALSE(r->ok()) << bad.back();
    }
}

RequestLimits limits(std::uint64_t wall_ms, std::uint64_t memory_mb) {
    RequestLimits l;
    l.wall_ms = wall_ms;
    l.cpu_secs = 18;
    l.output_kb = 64;
    l.memory_mb = memory_mb;
    return l;
}

TEST(ServeCeilings, NoMoreThanTheServiceAndZeroMeansNoLimit) {
    const RequestLimits server = limits(10000, 512);
    EXPECT_FALSE(exceeds_ceilings(server, limits(10000, 512)));
    EXPECT_FALSE(exceeds_ceilings(server, limits(500, 64)));
    EXPECT_NE(exceeds_ceilings(server, limits(10001, 512)).value_or("").find("'timeout'"), std::string::npos);
    // No memory limit asked of a service that has one is more than it.
    EXPECT_NE(exceeds_ceilings(server, limits(10000, 0)).value_or("").find("'max_memory_mb'"), std::string::npos);
    EXPECT_FALSE(exceeds_ceilings(limits(10000, 0), limits(10000, 0)));
    // Without a compile limit of its own the compile phase shares the timeout.
    RequestLimits compile = limits(1000, 512);
    compile.compile_ms = 10001;
    EXPECT_NE(exceeds_ceilings(server, compile).value_or("").find("'compile_timeout'"), std::string::npos);
    RequestLimits contained_server = server, loose = server;
    contained_server.contain = true;
    EXPECT_NE(exceeds_ceilings(contained_server, loose).value_or("").find("'contain'"), std::string::npos);
    loose.checker = "/bin/true";
    EXPECT_NE(exceeds_ceilings(server, loose).value_or("").find("'checker'"), std::string::npos);
    compile.compile_ms = 2000;
    EXPECT_EQ(start_budget_ms(compile), 13000u);
}

TEST(ServeScheduler, FirstInFirstOutWithinJobsAndQueueAndDeadlines) {
    using Clock = Scheduler::Clock;
    const auto t0 = Clock::now();
    Scheduler s(1, 2);
    // The first finds the free job and never counts as waiting.
    EXPECT_TRUE(s.admit(1, t0 + std::chrono::seconds(5)));
    EXPECT_TRUE(s.admit(2, t0 + std::chrono::seconds(5)));
    EXPECT_TRUE(s.admit(3, t0 + std::chrono::seconds(1)));
    EXPECT_FALSE(s.admit(4, t0 + std::chrono::seconds(5)));
    EXPECT_EQ(s.next(), 1u);
    EXPECT_FALSE(s.next());
    EXPECT_EQ(s.queued(), 2u);
    EXPECT_EQ(s.next_deadline(), t0 + std::chrono::seconds(1));
    EXPECT_EQ(s.take_expired(t0 + std::chrono::seconds(2)), std::vector<Scheduler::Ticket>{3});
    EXPECT_TRUE(s.admit(5, t0 + std::chrono::seconds(5)));
    EXPECT_TRUE(s.remove(2));
    EXPECT_FALSE(s.remove(2));
    s.finished();
    EXPECT_EQ(s.next(), 5u);
    EXPECT_EQ(s.running(), 1u);
}

RequestLimits plain(const std::vector<std::string>&) { return limits(10000, 0); }

TEST(ServeRunRequest, NoMadeUpIdAndAMissingReportIs500) {
    const ServiceRules rules{{}, limits(10000, 0), plain};
    const HttpRun missing = prepare_run(R"({"lang":"python3"})", rules);
    EXPECT_FALSE(missing.run);
    EXPECT_EQ(missing.refusal.status, 400u);
    EXPECT_EQ(missing.refusal.body, "{\"error\":\"missing 'program'\",\"ok\":false}\n");
    const HttpRun given = prepare_run(R"({"id":1,"lang":"python3","program":"1"})", rules);
    ASSERT_TRUE(given.run);
    EXPECT_EQ(given.id, "1");
    EXPECT_EQ(prepare_run(R"({"lang":"python3","program":"1"})", rules).id, "");
    EXPECT_EQ(answer_run("{\"ok\":true}\n", 0, "").body, "{\"ok\":true}\n");
    EXPECT_EQ(answer_run("{\"ok\":true}\n", 0, "\"x\"").body, "{\"id\":\"x\",\"ok\":true}\n");
    const HttpAnswer lost = answer_run("", 9, "");
    EXPECT_EQ(lost.status, 500u);
    EXPECT_EQ(nlohmann::json::parse(lost.body).value("ok", true), false);
}

}  // namespace
