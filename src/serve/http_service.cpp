// The HTTP side of the service: connections, deadlines, routing, and the
// hand-over of runs to the runner pool. One thread runs all of it (an
// event loop); the runner pool's thread only starts and reaps runners.
#include "serve/serve.hpp"

#include <signal.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <set>
#include <unordered_map>

#include "batch/batch_options.hpp"
#include "common/fd.hpp"
#include "common/text.hpp"
#include "serve/metrics.hpp"
#include "serve/private_cache.hpp"
#include "serve/run_code.hpp"
#include "serve/runner_pool.hpp"
#include "serve/scheduler.hpp"
#include "serve/serve_options.hpp"

#ifndef TESSIMAR_VERSION
#define TESSIMAR_VERSION "unknown"
#endif

namespace tessimar {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using Ticket = std::uint64_t;

// A client has this long to send a request's headers in full.
constexpr std::chrono::seconds kHeaderDeadline{10};
// A keep-alive connection without a new request is closed after this long.
constexpr std::chrono::seconds kIdleDeadline{5};
// A request's body and a response each get this long on the wire.
constexpr std::chrono::seconds kBodyDeadline{60};
constexpr std::chrono::seconds kWriteDeadline{60};
constexpr std::uint32_t kHeaderLimit = 16384;
// A connection closed after an answer first takes in what its client is
// still sending (a refused body, say), for at most this long and this much:
// closed with unread data, it would be reset, and the client could lose
// the answer.
constexpr std::chrono::seconds kLingerDeadline{2};
constexpr std::size_t kLingerBytes = std::size_t{64} << 20;
constexpr const char* kTokenVariable = "TESSIMAR_SERVE_TOKEN";

void say(const std::string& text) {
    const std::string line = "tessimar-exec: " + text + "\n";
    (void)write_all(2, line.data(), line.size());
}

// Equal texts, compared in time that depends on their lengths only.
bool same_secret(std::string_view a, std::string_view b) {
    unsigned char diff = a.size() == b.size() ? 0 : 1;
    const std::size_t n = std::max(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned char x = i < a.size() ? static_cast<unsigned char>(a[i]) : 0;
        const unsigned char y = i < b.size() ? static_cast<unsigned char>(b[i]) : 0;
        diff |= static_cast<unsigned char>(x ^ y);
    }
    return diff == 0;
}

// The top-level "verdict" of a report line (its last member of that name:
// nested reports come before it in byte order), or "-".
std::string verdict_of(const std::string& line) {
    static constexpr std::string_view key = "\"verdict\":\"";
    const std::size_t at = line.rfind(key);
    if (at == std::string::npos) return "-";
    const std::size_t start = at + key.size();
    const std::size_t end = line.find('"', start);
    if (end == std::string::npos || end - start > 64) return "-";
    return line.substr(start, end - start);
}

std::string utc_now() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t secs = std::chrono::system_clock::to_time_t(now);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm tm{};
    gmtime_r(&secs, &tm);
    char text[80];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(ms));
    return text;
}

struct Route {
    const char* path;
    http::verb method;
};
constexpr Route kRoutes[] = {{"/run", http::verb::post},
                             {"/run_code", http::verb::post},
                             {"/v1/ping", http::verb::get},
                             {"/health", http::verb::get},
                             {"/metrics", http::verb::get}};

class Session;

class Service {
public:
    Service(ServeOptions options, ServiceRules rules, std::string token)
        : o_(std::move(options)),
          rules_(std::move(rules)),
          token_(std::move(token)),
          acceptor_(io_),
          signals_(io_),
          deadline_timer_(io_),
          retry_timer_(io_),
          scheduler_(o_.jobs != 0 ? o_.jobs : usable_cpus(), o_.queue) {}

    int run(const std::string& argv0, const sigset_t& child_mask, int signal_fd);

    // Queues a run for `session`; nullopt when the queue is full.
    std::optional<Ticket> submit(std::shared_ptr<Session> session, BatchRun run, Clock::time_point deadline,
                                 std::uint64_t budget_ms);
    // The client of a queued or running request left.
    void cancel(Ticket ticket);

    void add(Session* s) { sessions_.insert(s); }
    void remove(Session* s) {
        sessions_.erase(s);
        finish_if_stopped();
    }

    bool stopping() const { return stopping_; }
    const ServeOptions& options() const { return o_; }
    const ServiceRules& rules() const { return rules_; }
    const std::string& token() const { return token_; }
    Metrics& metrics() { return metrics_; }
    const Scheduler& scheduler() const { return scheduler_; }

private:
    struct Job {
        std::shared_ptr<Session> session;  // empty once its client left
        std::optional<BatchRun> run;       // while waiting
        std::uint64_t budget_ms = 0;       // how long it may wait
        Clock::time_point started{};
    };

    void accept();
    void watch_signals();
    void begin_stop();
    void finish_if_stopped();
    void pump();
    void arm_deadline_timer();
    void finished(Ticket ticket, RunnerOutcome outcome);

    ServeOptions o_;
    ServiceRules rules_;
    std::string token_;
    asio::io_context io_{1};
    tcp::acceptor acceptor_;
    asio::posix::stream_descriptor signals_;
    asio::steady_timer deadline_timer_;
    asio::steady_timer retry_timer_;
    std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work_;
    Scheduler scheduler_;
    Metrics metrics_;
    std::unordered_map<Ticket, Job> jobs_;
    std::set<Session*> sessions_;
    Ticket next_ticket_ = 1;
    bool stopping_ = false;
    std::unique_ptr<RunnerPool> pool_;  // last: its thread ends before the loop goes
};

class Session : public std::enable_shared_from_this<Session> {
public:
    Session(Service& service, tcp::socket socket) : service_(service), stream_(std::move(socket)) {
        service_.add(this);
    }
    ~Session() { service_.remove(this); }

    void start() {
        stream_.expires_after(kHeaderDeadline);
        await_request(true);
    }
    // The service stops: a connection between requests is closed.
    void close_if_idle() {
        if (phase_ == Phase::Idle) stream_.socket().close();
    }
    void on_outcome(const RunnerOutcome& outcome);
    void on_expired(std::uint64_t budget_ms);

private:
    enum class Phase { Idle, Reading, Waiting, Writing, Closed };

    void await_request(bool first);
    void read_header();
    void on_header(beast::error_code ec);
    void read_body();
    void dispatch();
    void handle_run();
    void watch_disconnect();
    void respond(unsigned status, std::string body, const char* content_type = "application/json",
                 bool keep_alive = true);
    void respond_error(unsigned status, const std::string& message, bool keep_alive = true) {
        respond(status, error_body(message), "application/json", keep_alive);
    }
    void on_written(beast::error_code ec, bool keep_alive);
    void linger(std::size_t taken);
    void close();

    Service& service_;
    beast::tcp_stream stream_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    std::shared_ptr<http::response<http::string_body>> response_;
    Phase phase_ = Phase::Idle;
    Clock::time_point arrived_{};
    std::string method_ = "-", target_ = "-", endpoint_ = "other";
    std::string verdict_ = "-";
    std::string id_;  // the running request's id (JSON text), empty: none
    // A /run_code request: its answer is made from the batch line.
    bool run_code_ = false;
    bool has_compile_phase_ = false;
    std::optional<Ticket> ticket_;
};

// --- Session ---

void Session::await_request(bool first) {
    phase_ = Phase::Idle;
    if (service_.stopping() && !first) return close();
    if (buffer_.size() > 0) {  // pipelined
        stream_.expires_after(kHeaderDeadline);
        return read_header();
    }
    if (!first) stream_.expires_after(kIdleDeadline);
    // The first byte of a request, so that an idle connection and a slow
    // header have deadlines of their own.
    stream_.async_read_some(buffer_.prepare(4096), [self = shared_from_this(), first](beast::error_code ec,
                                                                                       std::size_t n) {
        if (ec || n == 0) return self->close();
        self->buffer_.commit(n);
        if (!first) self->stream_.expires_after(kHeaderDeadline);
        self->read_header();
    });
}

void Session::read_header() {
    phase_ = Phase::Reading;
    method_ = target_ = "-";
    endpoint_ = "other";
    verdict_ = "-";
    id_.clear();
    run_code_ = has_compile_phase_ = false;
    parser_.emplace();
    parser_->header_limit(kHeaderLimit);
    parser_->body_limit(service_.options().max_request_mb << 20);
    http::async_read_header(stream_, buffer_, *parser_,
                            [self = shared_from_this()](beast::error_code ec, std::size_t) { self->on_header(ec); });
}

void Session::on_header(beast::error_code ec) {
    arrived_ = Clock::now();
    if (ec == http::error::body_limit)
        return respond_error(413, "the request body is larger than the service's limit of " +
                                      std::to_string(service_.options().max_request_mb) + " MiB (--max-request-mb)",
                             false);
    // A deadline that passed has closed the connection already.
    if (ec == beast::error::timeout) return close();
    if (ec == http::error::header_limit)
        return respond_error(431, "the request's headers are larger than " + std::to_string(kHeaderLimit) + " bytes",
                             false);
    if (ec == http::error::end_of_stream || ec == asio::error::eof || ec == asio::error::connection_reset ||
        ec == asio::error::operation_aborted)
        return close();
    if (ec) return respond_error(400, "malformed HTTP request: " + ec.message(), false);

    const auto& request = parser_->get();
    method_ = std::string(request.method_string());
    target_ = std::string(request.target());
    const std::string_view path = std::string_view(target_).substr(0, target_.find('?'));
    const Route* route = nullptr;
    for (const Route& r : kRoutes)
        if (path == r.path) route = &r;
    if (route != nullptr) endpoint_ = route->path;
    // A body that is not read makes the connection unusable for another request.
    const bool body_pending = !parser_->is_done();

    if (!service_.token().empty() && !(route != nullptr && path == "/v1/ping")) {
        const auto auth = request.find(http::field::authorization);
        const std::string_view given =
            auth == request.end() ? std::string_view() : std::string_view(auth->value().data(), auth->value().size());
        constexpr std::string_view scheme = "Bearer ";
        const bool ok = given.size() > scheme.size() && given.substr(0, scheme.size()) == scheme &&
                        same_secret(given.substr(scheme.size()), service_.token());
        if (!ok) return respond_error(401, "this service needs 'Authorization: Bearer TOKEN'", !body_pending);
    }
    if (route == nullptr) return respond_error(404, "no such endpoint: " + utf8_lossy(path), !body_pending);
    if (request.method() != route->method) {
        response_ = std::make_shared<http::response<http::string_body>>();
        response_->set(http::field::allow, http::to_string(route->method));
        return respond_error(405,
                             std::string(route->path) + " takes " + std::string(http::to_string(route->method)) +
                                 ", not " + utf8_lossy(method_),
                             !body_pending);
    }
    if (!body_pending) return dispatch();
    const auto expect = request.find(http::field::expect);
    if (expect != request.end() && beast::iequals(expect->value(), "100-continue")) {
        auto interim = std::make_shared<http::response<http::empty_body>>(http::status::continue_, request.version());
        stream_.expires_after(kWriteDeadline);
        return http::async_write(stream_, *interim,
                                 [self = shared_from_this(), interim](beast::error_code wec, std::size_t) {
                                     if (wec) return self->close();
                                     self->read_body();
                                 });
    }
    read_body();
}

void Session::read_body() {
    stream_.expires_after(kBodyDeadline);
    http::async_read(stream_, buffer_, *parser_, [self = shared_from_this()](beast::error_code ec, std::size_t) {
        if (ec == http::error::body_limit)
            return self->respond_error(413,
                                       "the request body is larger than the service's limit of " +
                                           std::to_string(self->service_.options().max_request_mb) +
                                           " MiB (--max-request-mb)",
                                       false);
        if (ec) return self->close();
        self->dispatch();
    });
}

void Session::dispatch() {
    stream_.expires_never();
    if (endpoint_ == "/v1/ping") return respond(200, "pong", "text/plain");
    if (endpoint_ == "/health") {
        const Scheduler& s = service_.scheduler();
        return respond(200, "{\"jobs\":" + std::to_string(s.jobs()) + ",\"queued\":" + std::to_string(s.queued()) +
                                ",\"running\":" + std::to_string(s.running()) + ",\"version\":\"" TESSIMAR_VERSION
                                "\"}\n");
    }
    if (endpoint_ == "/metrics") {
        const Scheduler& s = service_.scheduler();
        return respond(200, service_.metrics().render(s.queued(), s.running(), s.jobs()),
                       "text/plain; version=0.0.4");
    }
    handle_run();
}

void Session::handle_run() {
    if (service_.stopping()) return respond_error(503, "the service is stopping", false);
    std::string body = std::move(parser_->get().body());
    parser_->get().body().clear();
    if (endpoint_ == "/run_code") {
        // Their request becomes one batch request, which then goes the way
        // of a /run body: the same ceilings, translation and runner.
        RunCodeCall call = translate_run_code(body);
        if (call.kind == RunCodeCall::Kind::Invalid) return respond_error(400, call.text);
        if (call.kind == RunCodeCall::Kind::UnknownLanguage) return respond(200, std::move(call.text));
        body = std::move(call.batch_request);
        run_code_ = true;
        has_compile_phase_ = call.has_compile_phase;
    }
    HttpRun prepared = prepare_run(std::move(body), service_.rules());
    id_ = prepared.id;
    if (!prepared.run) return respond(prepared.refusal.status, std::move(prepared.refusal.body));
    const auto deadline = arrived_ + std::chrono::milliseconds(std::min<std::uint64_t>(
                                         prepared.start_budget_ms, std::uint64_t{1} << 40));
    ticket_ = service_.submit(shared_from_this(), std::move(*prepared.run), deadline, prepared.start_budget_ms);
    if (!ticket_) {
        auto body = error_body("the queue is full (" + std::to_string(service_.options().queue) +
                               " requests waiting, --queue); retry later");
        response_ = std::make_shared<http::response<http::string_body>>(http::status::service_unavailable, 11);
        response_->set(http::field::retry_after, "1");
        return respond(503, std::move(body));
    }
    phase_ = Phase::Waiting;
    watch_disconnect();
}

// While a request waits or runs, a readable socket means its client either
// left (end of stream: the run is cancelled) or sent its next request early
// (which waits in the socket until this one is answered).
void Session::watch_disconnect() {
    stream_.socket().async_wait(tcp::socket::wait_read, [self = shared_from_this()](beast::error_code ec) {
        if (ec || self->phase_ != Phase::Waiting) return;
        char byte;
        const ssize_t n = retry_eintr(
            [&] { return recv(self->stream_.socket().native_handle(), &byte, 1, MSG_PEEK | MSG_DONTWAIT); });
        if (n > 0) return;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return self->watch_disconnect();
        if (self->ticket_) self->service_.cancel(*self->ticket_);
        self->ticket_.reset();
        self->verdict_ = "-";
        self->service_.metrics().count_request(self->endpoint_, 499);
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - self->arrived_).count();
        say(utc_now() + " " + utf8_lossy(self->method_) + " " + utf8_lossy(self->target_) +
            " 499 (client left, run cancelled) " + std::to_string(ms) + "ms");
        self->close();
    });
}

void Session::on_outcome(const RunnerOutcome& outcome) {
    if (phase_ != Phase::Waiting) return;
    HttpAnswer answer = outcome.start_error
                            ? HttpAnswer{500, error_line(*outcome.start_error, id_), *outcome.start_error}
                            : answer_run(outcome.report, outcome.status, id_);
    ticket_.reset();
    beast::error_code ignored;
    stream_.socket().cancel(ignored);  // the disconnect watch
    verdict_ = answer.status == 200 ? verdict_of(answer.body) : "-";
    if (verdict_ != "-") service_.metrics().count_verdict(verdict_);
    if (run_code_) {
        // Their clients read every failure of the service from a 200 body.
        if (answer.status != 200) return respond(200, run_code_sandbox_error(answer.error));
        return respond(200, run_code_response(answer.body, has_compile_phase_));
    }
    respond(answer.status, std::move(answer.body));
}

void Session::on_expired(std::uint64_t budget_ms) {
    if (phase_ != Phase::Waiting) return;
    ticket_.reset();
    beast::error_code ignored;
    stream_.socket().cancel(ignored);
    respond(504, error_line("no job became free within the request's start budget of " + std::to_string(budget_ms) +
                                " ms (its compile and run limits plus 10 s)",
                            id_));
}

void Session::respond(unsigned status, std::string body, const char* content_type, bool keep_alive) {
    if (!response_) response_ = std::make_shared<http::response<http::string_body>>();
    response_->result(status);
    response_->version(parser_->get().version());
    response_->set(http::field::server, "tessimar-exec");
    response_->set(http::field::content_type, content_type);
    response_->keep_alive(keep_alive && parser_->get().keep_alive() && !service_.stopping());
    response_->body() = std::move(body);
    response_->prepare_payload();
    service_.metrics().count_request(endpoint_, status);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - arrived_).count();
    say(utc_now() + " " + utf8_lossy(method_) + " " + utf8_lossy(target_) + " " + std::to_string(status) + " " +
        verdict_ + " " + std::to_string(ms) + "ms");
    phase_ = Phase::Writing;
    stream_.expires_after(kWriteDeadline);
    const bool keep = response_->keep_alive();
    http::async_write(stream_, *response_,
                      [self = shared_from_this(), response = response_, keep](beast::error_code ec, std::size_t) {
                          self->on_written(ec, keep);
                      });
}

void Session::on_written(beast::error_code ec, bool keep_alive) {
    response_.reset();
    if (ec) return close();
    if (!keep_alive) {
        beast::error_code ignored;
        stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
        stream_.expires_after(kLingerDeadline);
        return linger(0);
    }
    await_request(false);
}

void Session::linger(std::size_t taken) {
    buffer_.consume(buffer_.size());
    stream_.async_read_some(buffer_.prepare(65536), [self = shared_from_this(), taken](beast::error_code ec,
                                                                                       std::size_t n) {
        if (ec || taken + n > kLingerBytes) return self->close();
        self->linger(taken + n);
    });
}

void Session::close() {
    if (phase_ == Phase::Closed) return;
    phase_ = Phase::Closed;
    if (ticket_) service_.cancel(*ticket_);
    ticket_.reset();
    beast::error_code ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
    stream_.socket().close(ignored);
}

// --- Service ---

std::optional<Ticket> Service::submit(std::shared_ptr<Session> session, BatchRun run, Clock::time_point deadline,
                                     std::uint64_t budget_ms) {
    const Ticket ticket = next_ticket_++;
    if (!scheduler_.admit(ticket, deadline)) return std::nullopt;
    jobs_.emplace(ticket, Job{std::move(session), std::move(run), budget_ms, {}});
    pump();
    arm_deadline_timer();
    return ticket;
}

void Service::cancel(Ticket ticket) {
    const auto it = jobs_.find(ticket);
    if (it == jobs_.end()) return;
    if (scheduler_.remove(ticket)) {
        jobs_.erase(it);
        finish_if_stopped();
        return;
    }
    it->second.session.reset();
    if (pool_) pool_->cancel(ticket);
}

// Answers the requests whose start deadline has passed, then starts as many
// waiting ones as there are free jobs.
void Service::pump() {
    const auto now = Clock::now();
    for (const Ticket t : scheduler_.take_expired(now)) {
        const auto it = jobs_.find(t);
        if (it == jobs_.end()) continue;
        std::shared_ptr<Session> session = std::move(it->second.session);
        const std::uint64_t budget_ms = it->second.budget_ms;
        jobs_.erase(it);
        if (session) session->on_expired(budget_ms);
    }
    while (const std::optional<Ticket> t = scheduler_.next()) {
        Job& job = jobs_.at(*t);
        job.started = now;
        pool_->run(*t, std::move(*job.run));
        job.run.reset();
    }
}

void Service::arm_deadline_timer() {
    const std::optional<Clock::time_point> next = scheduler_.next_deadline();
    if (!next) return;
    deadline_timer_.expires_at(*next);
    deadline_timer_.async_wait([this](beast::error_code ec) {
        if (ec) return;
        pump();
        arm_deadline_timer();
        finish_if_stopped();
    });
}

void Service::finished(Ticket ticket, RunnerOutcome outcome) {
    scheduler_.finished();
    const auto it = jobs_.find(ticket);
    if (it != jobs_.end()) {
        metrics_.observe_run_seconds(std::chrono::duration<double>(Clock::now() - it->second.started).count());
        std::shared_ptr<Session> session = std::move(it->second.session);
        jobs_.erase(it);
        if (session) session->on_outcome(outcome);
    }
    pump();
    arm_deadline_timer();
    finish_if_stopped();
}

void Service::accept() {
    acceptor_.async_accept([this](beast::error_code ec, tcp::socket socket) {
        if (ec == asio::error::operation_aborted || !acceptor_.is_open()) return;
        if (ec) {
            // Out of descriptors, say: try again shortly instead of spinning.
            retry_timer_.expires_after(std::chrono::milliseconds(100));
            retry_timer_.async_wait([this](beast::error_code) {
                if (!stopping_) accept();
            });
            return;
        }
        std::make_shared<Session>(*this, std::move(socket))->start();
        accept();
    });
}

void Service::watch_signals() {
    signals_.async_wait(asio::posix::stream_descriptor::wait_read, [this](beast::error_code ec) {
        if (ec) return;
        signalfd_siginfo info{};
        const ssize_t n = retry_eintr([&] { return read(signals_.native_handle(), &info, sizeof info); });
        if (n == static_cast<ssize_t>(sizeof info)) {
            say("signal " + std::to_string(info.ssi_signo) + ": stopping after the requests in flight");
            begin_stop();
        }
        if (!stopping_) watch_signals();
    });
}

void Service::begin_stop() {
    if (stopping_) return;
    stopping_ = true;
    beast::error_code ignored;
    acceptor_.close(ignored);
    retry_timer_.cancel();
    signals_.close(ignored);
    // Copied: closing a connection may end its session and change the set.
    const std::vector<Session*> open(sessions_.begin(), sessions_.end());
    for (Session* s : open)
        if (sessions_.count(s) != 0) s->close_if_idle();
    finish_if_stopped();
}

void Service::finish_if_stopped() {
    if (!stopping_ || !sessions_.empty() || !jobs_.empty()) return;
    deadline_timer_.cancel();
    work_.reset();
}

int Service::run(const std::string& argv0, const sigset_t& child_mask, int signal_fd) {
    try {
        const tcp::endpoint endpoint(asio::ip::make_address(o_.host), o_.port);
        acceptor_.open(endpoint.protocol());
        acceptor_.set_option(asio::socket_base::reuse_address(true));
        acceptor_.bind(endpoint);
        acceptor_.listen(asio::socket_base::max_listen_connections);
    } catch (const boost::system::system_error& e) {
        say("cannot listen on " + o_.host + ":" + std::to_string(o_.port) + ": " + e.code().message());
        return 2;
    }
    signals_.assign(signal_fd);
    Result<std::unique_ptr<RunnerPool>> pool =
        RunnerPool::start(argv0, child_mask, [this](Ticket ticket, RunnerOutcome outcome) {
            asio::post(io_, [this, ticket, outcome = std::move(outcome)]() mutable {
                finished(ticket, std::move(outcome));
            });
        });
    if (!pool) {
        say(pool.error());
        return 2;
    }
    pool_ = std::move(pool).value();
    const tcp::endpoint bound = acceptor_.local_endpoint();
    const std::string host = bound.address().is_v6() ? "[" + bound.address().to_string() + "]"
                                                     : bound.address().to_string();
    say("serving on " + host + ":" + std::to_string(bound.port()) + " (" + std::to_string(scheduler_.jobs()) +
        " jobs, queue " + std::to_string(o_.queue) + ")");
    work_.emplace(io_.get_executor());
    accept();
    watch_signals();
    while (true) {
        try {
            io_.run();
            break;
        } catch (const std::exception& e) {
            // A handler's failure (memory, say) ends that handler only.
            say(std::string("internal error: ") + e.what());
        }
    }
    pool_.reset();
    return 0;
}

}  // namespace

std::optional<int> run_serve_mode(const std::vector<std::string>& args, const char* argv0, LimitsOf limits_of) {
    std::optional<Result<ServeOptions>> options = scan_serve_options(args);
    if (!options) return std::nullopt;
    if (!options->ok()) {
        say(options->error());
        return 2;
    }
    // The token is the service's own: no runner, and so no program, sees it.
    std::string token;
    if (const char* t = std::getenv(kTokenVariable)) {
        token = t;
        if (token.empty()) {
            say(std::string(kTokenVariable) + " is set but empty; unset it to serve without a token");
            return 2;
        }
    }
    if (unsetenv(kTokenVariable) != 0) {
        say(std::string("cannot remove ") + kTokenVariable + " from the environment: " + os_error_text(errno));
        return 2;
    }
    if (access("/proc/self/exe", X_OK) != 0) {
        say("cannot start runners: /proc/self/exe: " + os_error_text(errno));
        return 2;
    }
    // Each connection and each runner holds descriptors.
    struct rlimit nofile{};
    if (getrlimit(RLIMIT_NOFILE, &nofile) == 0 && nofile.rlim_cur < nofile.rlim_max) {
        nofile.rlim_cur = nofile.rlim_max;
        (void)setrlimit(RLIMIT_NOFILE, &nofile);
    }
    // Stop signals arrive through a signalfd; blocked before the runner
    // thread exists, so that it inherits the mask. Runners get the original one.
    sigset_t block, original;
    sigemptyset(&block);
    for (const int sig : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&block, sig);
    if (sigprocmask(SIG_BLOCK, &block, &original) != 0) {
        say("cannot block signals: " + os_error_text(errno));
        return 2;
    }
    const int signal_fd = signalfd(-1, &block, SFD_CLOEXEC | SFD_NONBLOCK);
    if (signal_fd < 0) {
        say("cannot watch signals: " + os_error_text(errno));
        return 2;
    }
    try {
        ServeOptions o = std::move(*options).value();
        // Without --build-cache, the service keeps one of its own: a program
        // sent once per test case is compiled once.
        Result<PrivateBuildCache> cache = PrivateBuildCache::add_to(o.defaults);
        if (!cache) {
            say(cache.error());
            return 2;
        }
        ServiceRules rules;
        rules.defaults = o.defaults;
        rules.ceilings = limits_of(o.defaults);
        rules.limits_of = limits_of;
        Service service(std::move(o), std::move(rules), std::move(token));
        return service.run(argv0 != nullptr ? argv0 : "tessimar-exec", original, signal_fd);
    } catch (const std::exception& e) {
        say(std::string("the service failed: ") + e.what());
        return 2;
    }
}

}  // namespace tessimar
