// korvadclient: the remote client of a korvad station.
//
//   korvadclient [options] HOST [COMMAND [ARGS]]

#include <getopt.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include "client/commands.h"
#include "common/format.h"
#include "common/version.h"

namespace {

using korvad::print_to;
namespace status = korvad::client::status;

// Set by the signal handlers; the command's waits look at it.
volatile std::sig_atomic_t g_stop = 0;

void on_stop(int) {
    g_stop = 1;
}

void install_signals() {
    struct sigaction action = {};
    action.sa_handler = on_stop;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no restart: a blocked wait returns at once
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

constexpr char kHelp[] =
    "Usage: korvadclient [options] HOST [COMMAND [ARGS]]\n"
    "\n"
    "The remote client of a korvad ACARS station: connects to HOST (port 2202\n"
    "unless -p says otherwise), runs one command and leaves.\n"
    "\n"
    "Commands:\n"
    "  watch                     (the default) every message as the station decodes\n"
    "                            it, with counters, volume and notices; connects\n"
    "                            again by itself when the connection drops\n"
    "  info                      the station: host, port, database sizes, collection\n"
    "                            size, CRC setting, reports, corrections, mailing,\n"
    "                            frequency\n"
    "  aircraft REGISTRATION     the contacts of one aircraft: time, flight, route\n"
    "  flight FLIGHT             the contacts of one flight: time, registration, type\n"
    "  records REGISTRATION      the full contact records of one aircraft\n"
    "  registrations             every registration of the collection, one a line\n"
    "  report NAME [-o FILE]     downloads a report file to FILE (default: NAME in\n"
    "                            the current folder; \"-\" for standard output)\n"
    "  chat NICK                 chat with the station's other clients; lines typed\n"
    "                            go out, Ctrl-D leaves\n"
    "  subscribe EMAIL           asks for the daily reports by mail; the station\n"
    "                            mails an authorisation code\n"
    "  confirm EMAIL CODE        switches the subscription on with that code\n"
    "  pause EMAIL CODE          switches the mails off until the next confirm\n"
    "  unsubscribe EMAIL CODE    ends the subscription\n"
    "  format EMAIL anad|korvad  the log format of the mailed reports\n"
    "  correct flights|airlines|types KEY VALUE\n"
    "                            adds or replaces an entry of a reference database;\n"
    "                            waits up to 60 s for the verdict\n"
    "  delete REGISTRATION FLIGHT TIME CODE\n"
    "                            deletes one contact of the collection (TIME in\n"
    "                            seconds since 1970, CODE the station's delete code)\n"
    "\n"
    "Options:\n"
    "  -p, --port PORT           the station's port (default 2202)\n"
    "      --json                one JSON object per line instead of text\n"
    "  -o, --output FILE         report: where to save it\n"
    "      --timeout SECONDS     longest wait to connect and for each answer\n"
    "                            (default 10)\n"
    "      --keepalive SECONDS   watch, chat: a keep-alive this often (default 60)\n"
    "      --count N             watch: leave after N messages\n"
    "  -h, --help                this text\n"
    "      --version             the version\n"
    "\n"
    "Exit status: 0 done; 1 the station said no (nothing found, refused, rejected);\n"
    "2 wrong command line or a request refused before sending; 3 cannot connect\n"
    "(unknown host, refused, unreachable, no answer); 4 all slots of the station are\n"
    "busy; 5 not a korvad station, or the connection broke; 6 no answer in time;\n"
    "7 the report could not be saved; 130 interrupted.\n";

bool read_seconds(const char* text, int& out) {
    auto value = korvad::client::read_number(text);
    if (!value || *value < 1 || *value > 3600) return false;
    out = static_cast<int>(*value);
    return true;
}

int usage_error(const char* text) {
    print_to(stderr, "korvadclient: %s (korvadclient --help lists the options)\n", text);
    return status::kUsage;
}

}  // namespace

int main(int argc, char** argv) {
    enum { kJson = 1000, kTimeout, kKeepAlive, kCount, kVersionOption };
    static const option kOptions[] = {
        {"port", required_argument, nullptr, 'p'},
        {"output", required_argument, nullptr, 'o'},
        {"help", no_argument, nullptr, 'h'},
        {"json", no_argument, nullptr, kJson},
        {"timeout", required_argument, nullptr, kTimeout},
        {"keepalive", required_argument, nullptr, kKeepAlive},
        {"count", required_argument, nullptr, kCount},
        {"version", no_argument, nullptr, kVersionOption},
        {nullptr, 0, nullptr, 0},
    };
    korvad::client::ClientOptions options;
    opterr = 0;
    int c;
    while ((c = getopt_long(argc, argv, ":p:o:h", kOptions, nullptr)) != -1) {
        switch (c) {
            case 'p': {
                auto port = korvad::client::read_number(optarg);
                if (!port || *port < 1 || *port > 65535)
                    return usage_error("the port is a number from 1 to 65535");
                options.port = static_cast<int>(*port);
                break;
            }
            case 'o':
                if (optarg[0] == '\0') return usage_error("-o needs a file name");
                options.output = optarg;
                break;
            case 'h':
                print_to(stdout, "%s", kHelp);
                return status::kDone;
            case kJson:
                options.json = true;
                break;
            case kTimeout:
                if (!read_seconds(optarg, options.timeout_s))
                    return usage_error("--timeout takes 1 to 3600 seconds");
                break;
            case kKeepAlive:
                if (!read_seconds(optarg, options.keepalive_s))
                    return usage_error("--keepalive takes 1 to 3600 seconds");
                break;
            case kCount: {
                auto n = korvad::client::read_number(optarg);
                if (!n || *n < 1) return usage_error("--count takes a number above 0");
                options.count = static_cast<long>(*n);
                break;
            }
            case kVersionOption:
                print_to(stdout, "korvadclient %s\n", korvad::kVersion);
                return status::kDone;
            case ':':
                return usage_error("an option lacks its value");
            default:
                return usage_error("unknown option");
        }
    }
    if (optind >= argc) return usage_error("no HOST given");
    options.host = argv[optind++];
    std::string command = optind < argc ? argv[optind++] : "watch";
    korvad::client::Arguments args(argv + optind, argv + argc);

    install_signals();
    korvad::client::Output output(options.json, stdout, stderr);
    return korvad::client::run_command(options, command, args, output, &g_stop);
}
