#include "web/web_server.h"

#include <httplib.h>

#include <algorithm>
#include <condition_variable>
#include <ctime>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "web/page_files.h"

namespace korvad::web {

using nlohmann::json;

namespace {

// Only this program's own files and requests, nothing inline, no other site;
// the page sets every text with textContent.
constexpr char kPolicy[] =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; "
    "connect-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

// cpp-httplib's pool of workers with a bound on the connections waiting for
// one: when it is full the accepting thread waits here, so further
// connections stay in the kernel's backlog instead of piling up in memory.
class BoundedPool : public httplib::TaskQueue {
  public:
    BoundedPool(std::size_t workers, std::size_t max_waiting,
                std::shared_ptr<std::atomic<bool>> stopping)
        : max_waiting_(max_waiting), stopping_(std::move(stopping)) {
        for (std::size_t i = 0; i < workers; ++i) threads_.emplace_back([this] { work(); });
    }

    void enqueue(std::function<void()> job) override {
        std::unique_lock<std::mutex> lock(mutex_);
        // A job owns an accepted socket and must run even while stopping
        // (it closes the socket), so the bound only holds back new ones.
        while (jobs_.size() >= max_waiting_ && !*stopping_)
            room_.wait_for(lock, std::chrono::milliseconds(100));
        jobs_.push_back(std::move(job));
        work_.notify_one();
    }

    void shutdown() override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            shutdown_ = true;
        }
        work_.notify_all();
        for (std::thread& t : threads_) t.join();
    }

  private:
    void work() {
        for (;;) {
            std::function<void()> job;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                work_.wait(lock, [&] { return shutdown_ || !jobs_.empty(); });
                if (jobs_.empty()) return;  // shut down and nothing left
                job = std::move(jobs_.front());
                jobs_.pop_front();
                room_.notify_one();
            }
            job();
        }
    }

    const std::size_t max_waiting_;
    std::shared_ptr<std::atomic<bool>> stopping_;
    std::vector<std::thread> threads_;
    std::mutex mutex_;  // guards jobs_ and shutdown_
    std::condition_variable work_, room_;
    std::deque<std::function<void()>> jobs_;
    bool shutdown_ = false;
};

void send_json(httplib::Response& res, int status, const json& body) {
    res.status = status;
    res.set_header("Cache-Control", "no-store");
    res.set_content(body.dump(-1, ' ', false, json::error_handler_t::replace) + "\n",
                    "application/json; charset=utf-8");
}

void send_error(httplib::Response& res, int status, const char* text) {
    send_json(res, status, json{{"error", text}});
}

bool query_ok(const httplib::Request& req, httplib::Response& res,
              const std::vector<std::string_view>& allowed) {
    const std::string fault = check_query(req.params, allowed);
    if (fault.empty()) return true;
    send_error(res, 400, fault.c_str());
    return false;
}

std::int64_t wall_now() {
    return static_cast<std::int64_t>(std::time(nullptr));
}

// One write of an event stream: the link object and the counters when they
// changed, then the messages, each with its id so a browser that reconnects says where it was.
std::string event_frames(const Update& u) {
    std::string out;
    if (u.link) {
        out += "event: link\ndata: ";
        out += *u.link;
        out += "\n\n";
    }
    if (u.counters) {
        out += "event: counters\ndata: ";
        out += *u.counters;
        out += "\n\n";
    }
    for (const KeptMessage& m : u.messages) {
        out += "id: ";
        out += std::to_string(m.id);
        out += "\ndata: ";
        out += *m.json;
        out += "\n\n";
    }
    return out;
}

}  // namespace

WebServer::WebServer(Traffic& traffic, StationLink& link)
    : traffic_(traffic),
      link_(link),
      server_(std::make_unique<httplib::Server>()),
      stopping_(std::make_shared<std::atomic<bool>>(false)) {
    auto stopping = stopping_;
    server_->new_task_queue = [stopping] {
        return new BoundedPool(kWorkers, kQueuedConnections, stopping);
    };
    server_->set_read_timeout(kReadTimeoutS, 0);
    server_->set_write_timeout(kWriteTimeoutS, 0);
    server_->set_keep_alive_timeout(kReadTimeoutS);
    server_->set_payload_max_length(4096);
    server_->set_tcp_nodelay(true);
    server_->set_default_headers({{"Content-Security-Policy", kPolicy},
                                  {"X-Content-Type-Options", "nosniff"},
                                  {"X-Frame-Options", "DENY"},
                                  {"Referrer-Policy", "no-referrer"},
                                  {"Cross-Origin-Resource-Policy", "same-origin"}});
    add_routes();
}

WebServer::~WebServer() = default;

int WebServer::bind(const ListenAddress& address) {
    listen_host_ = address.host;
    check_host_ = is_loopback_host(address.host);
    port_ = address.port == 0
                ? server_->bind_to_any_port(address.host)
                : (server_->bind_to_port(address.host, address.port) ? address.port : -1);
    return port_;
}

bool WebServer::serve() {
    return server_->listen_after_bind();
}

void WebServer::stop() {
    *stopping_ = true;
    server_->stop();
}

void WebServer::add_routes() {
    httplib::Server& s = *server_;
    using httplib::Request;
    using httplib::Response;
    using Handled = httplib::Server::HandlerResponse;

    s.set_pre_routing_handler([this](const Request& req, Response& res) {
        if (req.method != "GET" && req.method != "HEAD") {
            res.set_header("Allow", "GET, HEAD");
            send_error(res, 405, "only GET and HEAD");
            return Handled::Handled;
        }
        if (!is_plain_path(req.path)) {
            send_error(res, 400, "bad request path");
            return Handled::Handled;
        }
        if (check_host_ && req.has_header("Host") &&
            !is_allowed_host_header(req.get_header_value("Host"), listen_host_, port_)) {
            send_error(res, 400, "unknown host name");
            return Handled::Handled;
        }
        return Handled::Unhandled;
    });
    s.set_error_handler([](const Request&, Response& res) {
        if (!res.body.empty()) return;
        send_error(res, res.status, res.status == 404 ? "no such page" : "refused");
    });
    s.set_exception_handler([](const Request&, Response& res, std::exception_ptr) {
        send_error(res, 500, "internal fault");
    });

    for (std::size_t i = 0; i < kPageFileCount; ++i) {
        const PageFile& f = kPageFiles[i];
        s.Get(f.path, [&f](const Request& req, Response& res) {
            if (!query_ok(req, res, {})) return;
            res.set_header("Cache-Control", "no-cache");
            res.set_content(f.bytes.data(), f.bytes.size(), f.content_type);
        });
    }

    s.Get("/api/info", [this](const Request& req, Response& res) {
        if (!query_ok(req, res, {})) return;
        json info = traffic_.info();
        info["event_clients"] = traffic_.event_clients();
        send_json(res, 200, info);
    });

    s.Get("/api/counts", [this](const Request& req, Response& res) {
        if (!query_ok(req, res, {})) return;
        send_json(res, 200, traffic_.counts(wall_now()));
    });

    s.Get("/api/messages", [this](const Request& req, Response& res) {
        if (!query_ok(req, res, {"since", "limit"})) return;
        std::uint64_t since = 0;
        std::size_t limit = kKeptMessages;
        if (req.has_param("since")) {
            auto id = read_id(req.get_param_value("since"));
            if (!id) return send_error(res, 400, "since is a message id (digits)");
            since = *id;
        }
        if (req.has_param("limit")) {
            auto n = read_count(req.get_param_value("limit"), kKeptMessages);
            if (!n) return send_error(res, 400, "limit is a number from 1 to 2000");
            limit = *n;
        }
        // The kept texts joined as they are, a batch a write, so a long
        // answer is never built whole in memory.
        auto last_id = std::make_shared<std::uint64_t>(0);
        auto list = std::make_shared<std::vector<KeptMessage>>(
            traffic_.messages_after(since, limit, last_id.get()));
        auto next = std::make_shared<std::size_t>(0);
        res.set_header("Cache-Control", "no-store");
        res.set_chunked_content_provider(
            "application/json; charset=utf-8",
            [list, next, last_id](std::size_t, httplib::DataSink& sink) {
                std::string out;
                if (*next == 0)
                    out = "{\"last_id\":" + std::to_string(*last_id) + ",\"messages\":[";
                const std::size_t end = std::min(list->size(), *next + kMessagesPerWrite);
                for (; *next < end; ++*next) {
                    if (*next > 0) out += ',';
                    out += *(*list)[*next].json;
                }
                if (*next == list->size()) {
                    out += "]}\n";
                    if (!sink.write(out.data(), out.size())) return false;
                    sink.done();
                    return true;
                }
                return sink.write(out.data(), out.size());
            });
    });

    auto search = [this](SearchKind kind, const Request& req, Response& res) {
        if (!query_ok(req, res, {})) return;
        const std::string key = req.matches[1];
        if (kind == SearchKind::kAircraft ? !is_registration(key) : !is_flight_id(key))
            return send_error(res, 400,
                              kind == SearchKind::kAircraft
                                  ? "a registration is 1 to 7 of A-Z, a-z, 0-9, '-', '.', '_'"
                                  : "a flight id is 1 to 6 of A-Z, a-z, 0-9, '-', '.', '_'");
        SearchAnswer a = link_.search(kind, key, std::chrono::seconds(kSearchWaitS));
        switch (a.outcome) {
            case SearchAnswer::Outcome::kAnswered:
                return send_json(res, 200, a.object);
            case SearchAnswer::Outcome::kUnreachable:
                return send_error(res, 503, "the station is not connected");
            case SearchAnswer::Outcome::kBusy:
                res.set_header("Retry-After", "2");
                return send_error(res, 503, "too many searches are waiting");
            case SearchAnswer::Outcome::kNoAnswer:
                break;
        }
        json body = a.object.is_object() ? a.object : json::object();
        body["error"] = "the station did not answer in time";
        send_json(res, 504, body);
    };
    s.Get(R"(/api/aircraft/(.*))",
          [search](const Request& req, Response& res) { search(SearchKind::kAircraft, req, res); });
    s.Get(R"(/api/flight/(.*))",
          [search](const Request& req, Response& res) { search(SearchKind::kFlight, req, res); });

    s.Get("/events", [this](const Request& req, Response& res) {
        if (!query_ok(req, res, {"since"})) return;
        std::uint64_t since = ~std::uint64_t{0};  // live only, unless told otherwise
        // A browser that reconnects names the last message it got.
        const std::string given = req.has_header("Last-Event-ID")
                                      ? req.get_header_value("Last-Event-ID")
                                      : req.get_param_value("since");
        if (req.has_header("Last-Event-ID") || req.has_param("since")) {
            auto id = read_id(given);
            if (!id) return send_error(res, 400, "since is a message id (digits)");
            since = *id;
        }
        auto cursor = std::make_shared<EventCursor>();
        if (!traffic_.join_events(since, *cursor)) {
            res.set_header("Retry-After", "10");
            return send_error(res, 503, "too many readers of /events");
        }
        res.set_header("Cache-Control", "no-store");
        auto started = std::make_shared<bool>(false);
        res.set_chunked_content_provider(
            "text/event-stream",
            [this, cursor, started](std::size_t, httplib::DataSink& sink) {
                std::string out;
                if (!*started) {
                    *started = true;  // the headers and the retry time go out at once
                    out = "retry: 2000\n\n";
                } else {
                    Update u = traffic_.wait_for_update(*cursor, std::chrono::seconds(kEventBeatS),
                                                        kMessagesPerWrite);
                    if (u.stopping || u.fell_behind) return false;
                    out = event_frames(u);
                    if (out.empty()) out = ": still here\n\n";
                }
                return sink.write(out.data(), out.size());
            },
            [this](bool) { traffic_.leave_events(); });
    });
}

}  // namespace korvad::web
