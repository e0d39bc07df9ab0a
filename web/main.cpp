// korvadweb: a korvad station's live traffic in a web browser.
//
//   korvadweb [--listen ADDR:PORT] [-p STATION_PORT] STATION_HOST
//
// Three threads: the station thread (StationLink), the web server's accepting
// thread with its workers (WebServer), and this one, which only waits for a
// stop signal. The signals are blocked in every thread and taken here with
// sigwait, so no handler runs at all.

#include <getopt.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>
#include <thread>

#include "client/protocol.h"
#include "common/format.h"
#include "common/version.h"
#include "web/request_checks.h"
#include "web/station_link.h"
#include "web/traffic.h"
#include "web/web_server.h"

namespace {

using korvad::print_to;

constexpr int kExitStopped = 0;
constexpr int kExitCannotServe = 1;
constexpr int kExitUsage = 2;

constexpr char kHelp[] =
    "Usage: korvadweb [--listen ADDR:PORT] [-p STATION_PORT] STATION_HOST\n"
    "\n"
    "Shows the live traffic of a korvad station in a web browser: connects to the\n"
    "station at STATION_HOST (port 2202 unless -p says otherwise) as one client\n"
    "and serves the page, a JSON interface and an event stream to any number of\n"
    "browsers. Read-only: it sends the station only searches and keep-alives.\n"
    "\n"
    "Options:\n"
    "      --listen ADDR:PORT  where to serve (default 127.0.0.1:8080); an IPv6\n"
    "                          address in brackets, [::1]:8080; PORT 0 takes a\n"
    "                          free port (the one taken is shown)\n"
    "  -p, --port PORT         the station's port (default 2202)\n"
    "  -h, --help              this text\n"
    "      --version           the version\n"
    "\n"
    "Stops on SIGINT, SIGTERM or SIGHUP. Exit status: 0 stopped; 1 cannot serve\n"
    "at the address; 2 wrong command line.\n";

int usage_error(const char* text) {
    print_to(stderr, "korvadweb: %s (korvadweb --help lists the options)\n", text);
    return kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
    enum { kListen = 1000, kVersionOption };
    static const option kOptions[] = {
        {"listen", required_argument, nullptr, kListen},
        {"port", required_argument, nullptr, 'p'},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, kVersionOption},
        {nullptr, 0, nullptr, 0},
    };
    korvad::web::ListenAddress listen{"127.0.0.1", 8080};
    int station_port = 2202;
    opterr = 0;
    int c;
    while ((c = getopt_long(argc, argv, ":p:h", kOptions, nullptr)) != -1) {
        switch (c) {
            case kListen: {
                auto address = korvad::web::parse_listen(optarg);
                if (!address) return usage_error("--listen takes ADDR:PORT, PORT 0 to 65535");
                listen = *address;
                break;
            }
            case 'p': {
                auto port = korvad::client::read_number(optarg);
                if (!port || *port < 1 || *port > 65535)
                    return usage_error("the station's port is a number from 1 to 65535");
                station_port = static_cast<int>(*port);
                break;
            }
            case 'h':
                print_to(stdout, "%s", kHelp);
                return kExitStopped;
            case kVersionOption:
                print_to(stdout, "korvadweb %s\n", korvad::kVersion);
                return kExitStopped;
            case ':':
                return usage_error("an option lacks its value");
            default:
                return usage_error("unknown option");
        }
    }
    if (optind + 1 != argc) return usage_error("give exactly one STATION_HOST");
    const std::string station_host = argv[optind];
    if (station_host.empty()) return usage_error("the STATION_HOST is empty");

    // Blocked before any thread starts, so every thread inherits the mask.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);  // a browser that went: the write fails instead

    korvad::web::Traffic traffic(station_host, station_port,
                                 static_cast<std::int64_t>(std::time(nullptr)));
    korvad::web::StationLink link(station_host, station_port, traffic);
    korvad::web::WebServer web(traffic, link);
    const int port = web.bind(listen);
    if (port < 0) {
        print_to(stderr, "korvadweb: cannot serve at %s port %d\n", listen.host.c_str(),
                 listen.port);
        return kExitCannotServe;
    }
    const bool v6 = listen.host.find(':') != std::string::npos;
    print_to(stderr, "korvadweb: serving http://%s%s%s:%d/ for the station %s port %d\n",
             v6 ? "[" : "", listen.host.c_str(), v6 ? "]" : "", port, station_host.c_str(),
             station_port);

    std::atomic<bool> stop{false};
    std::thread station([&] { link.run(stop); });
    bool served = true;
    std::thread serving([&] {
        served = web.serve();
        if (!stop) kill(getpid(), SIGTERM);  // serving failed: main's wait ends
    });

    int sig = 0;
    sigwait(&stop_signals, &sig);
    stop = true;
    traffic.stop();  // open event streams end now
    web.stop();
    serving.join();
    station.join();
    print_to(stderr, "korvadweb: stopped\n");
    return served ? kExitStopped : kExitCannotServe;
}
