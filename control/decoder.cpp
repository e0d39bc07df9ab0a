// Start-up, main loop and shutdown of the main process.

#include "control/decoder.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>

#include "common/format.h"
#include "common/version.h"
#include "control/notices.h"
#include "control/queue/codes.h"
#include "control/queue/control_file.h"
#include "control/queue/queue.h"
#include "control/server_start.h"
#include "control/signals.h"
#include "message/notices.h"
#include "server/server.h"

namespace korvad {
namespace {

constexpr char kSpinner[] = "|/-\\";
constexpr char kDashes[] = "----------------------------------------------------------";

void stop_children(Decoder& d) {
    if (d.state.server_pid > 0) kill(d.state.server_pid, SIGUSR1);
    if (d.state.dbserver_pid > 0) kill(d.state.dbserver_pid, SIGINT);
    if (d.state.collector_pid > 0) kill(d.state.collector_pid, SIGINT);
}

void note_crash_cleanup(const Decoder& d) {
    g_crash_cleanup.queue_id = d.state.queue_id;
    g_crash_cleanup.shm_id = d.state.ring.shm_id;
    g_crash_cleanup.remove_shm = d.settings.streaming ? 1 : 0;
    g_crash_cleanup.server_pid = d.state.server_pid;
    g_crash_cleanup.dbserver_pid = d.state.dbserver_pid;
    g_crash_cleanup.collector_pid = d.state.collector_pid;
}

void show_crc_line(Decoder& d) {
    show_crc_status(d.screen, d.settings.checksum_only);
}

// A pause that a stop cuts short.
void wait_seconds(unsigned seconds) {
    unsigned left = seconds;
    while (left > 0 && !g_signals.stop) left = sleep(left);
}

// Direct mode: a failed read closes the device, waits 3 seconds and opens it
// again at the default rate.
void reopen_after_failure(Decoder& d) {
    close_sound_device(d.state.sound);
    wait_seconds(3);
    if (g_signals.stop) return;
    std::FILE* sink = std::tmpfile();  // the messages go to the status window instead
    bool ok = open_sound_device(d.state.sound, d.settings.device_path(), kDefaultSampleRate,
                                sink != nullptr ? sink : stderr);
    if (sink != nullptr) std::fclose(sink);
    if (ok && d.settings.sample_rate != kDefaultSampleRate)
        start_msk_receiver(d, kDefaultSampleRate);
    if (!ok && !d.reopen_failure_shown) {
        status_line(d.screen, ColourPair::kRedOnBlue, true, "error opening sounddevice '%s'",
                    d.settings.device_path());
    }
    d.reopen_failure_shown = !ok;
}

// What the source had to say (a truncated IQ recording, a lost dongle), once.
void show_source_notice(Decoder& d) {
    if (d.state.sound.notice.empty()) return;
    status_line(d.screen, ColourPair::kRedOnBlue, true, "%s", d.state.sound.notice.c_str());
    d.state.sound.notice.clear();
}

bool obtain_buffer(Decoder& d) {
    std::uint8_t* work = d.state.work_buffer.get();
    if (d.settings.streaming) {
        TakeResult r = take_buffer(d.state.ring, d.next_shared, work, d.state.sound.waiting);
        if (r == TakeResult::kStopped) return false;
        if (r == TakeResult::kTakenLast) d.input_ended = true;
        return true;
    }
    if (!read_block(d.state.sound, work)) {
        reopen_after_failure(d);
    } else if (d.state.sound.ended) {
        d.input_ended = true;
    }
    show_source_notice(d);
    return !g_signals.stop || d.input_ended;
}

// R key and SIGHUP: the main process's databases, then the database server's.
void reload_all(Decoder& d, bool verbose) {
    if (d.stores.databases) (void)reload_and_show(d.screen, *d.stores.databases, verbose);
    if (d.state.dbserver_pid > 0) kill(d.state.dbserver_pid, SIGHUP);
}

// While the loop waits for audio (a pipe that is quiet, a collector that has
// nothing yet), keys and signals still work. False gives the wait up.
bool keep_waiting_for_audio(Decoder& d) {
    if (g_signals.stop) return false;
    handle_pending_signals(d);
    if (!d.settings.daemon) {
        int key = screen_read_key(d.screen);
        if (key >= 0) handle_key(d, key);
    }
    return !g_signals.stop;
}

void every_fifth_buffer(Decoder& d) {
    int level = signal_level(d.state.work_buffer.get(), 0, kWorkBufferSize - 1);
    std::string line =
        format_text("=[ Vol: %d, Extended: %s ]=", level, d.settings.extended ? "ON" : "OFF");
    show_volume_line(d.screen, line);
    d.channel.send(queue_code::kVolume, line.c_str());
    show_clock(d.screen, d.state.now);
    if (d.stores.repeats) empty_list(*d.stores.repeats);
}

}  // namespace

MessageOptions message_options(const Settings& settings) {
    MessageOptions options;
    options.extended = settings.extended;
    options.checksum_only = settings.checksum_only;
    options.anad_log = settings.anad_log;
    options.daemon = settings.daemon;
    options.translate_airports = settings.translate_airports;
    return options;
}

bool open_json_feed(Decoder& d, std::string& error) {
    if (d.settings.json_udp.empty()) return true;
    if (!open_feed(d.feed, d.settings.json_udp, error)) return false;
    d.feed.station.station_id = d.settings.station_id.value_or("");
    // The frequency the station listens on: -F, as megahertz. (The place for
    // a frequency given in another form, such as an SDR front end's tuning.)
    const char* frequency = d.settings.frequency ? d.settings.frequency->c_str() : "";
    char* end = nullptr;
    const double mhz = std::strtod(frequency, &end);
    d.feed.station.frequency_mhz = (end != frequency && std::isfinite(mhz) && mhz > 0) ? mhz : 0.0;
    d.messages.feed = &d.feed;
    return true;
}

void server_crashed(Decoder& d) {
    // The new listener takes its port again at once (SO_REUSEADDR), so a port
    // the operator fixed is kept; any other alternates between 2202 and 2203.
    if (!d.settings.port_fixed) {
        d.settings.port = other_port(d.settings.port);
    }
    if (d.settings.server) restart_server(d);
}

void handle_key(Decoder& d, int key) {
    switch (std::toupper(key)) {
        case 'A':
            if (d.stores.statistics)
                show_statistics(d.screen, *d.stores.statistics, StatisticsView::airlines);
            break;
        case 'T':
            if (d.stores.statistics)
                show_statistics(d.screen, *d.stores.statistics, StatisticsView::types);
            break;
        case 'R':
            reload_all(d, true);
            break;
        case 'C':
            d.settings.checksum_only = !d.settings.checksum_only;
            show_crc_line(d);
            d.channel.send(d.settings.checksum_only ? queue_code::kCrcOn : queue_code::kCrcOff,
                           " ");
            break;
        case 'E':
            d.settings.extended = !d.settings.extended;
            break;
        case 'H':
            help_toggle(d.screen);
            break;
        case 'Q':
            orderly_shutdown(d);
        default:
            break;
    }
}

void handle_decoder_message(Decoder& d, QueueMessage& msg) {
    msg.text[kQueueMaxText] = '\0';
    switch (msg.code) {
        case queue_code::kDeleteRequest: {
            std::string request = msg.text;
            int result = d.stores.collection
                             ? delete_contact(request, *d.stores.collection, d.settings.delete_code)
                             : -1;
            status_line(d.screen, ColourPair::kWhiteOnBlue, false, "Request to delete: %s -> %s",
                        request.c_str(), result == 1 ? "deleted" : "not deleted");
            // The answer travels in the request's buffer: client_slot stays.
            std::size_t len = format_into(
                msg.text, kQueueTextSize,
                result == 1 ? "Entry '%s' successful deleted" : "Unable to delete entry '%s'",
                request.c_str());
            if (d.channel.server_running) {
                queue_send(d.state.queue_id, ToServer, len, queue_code::kDeleteResult, msg);
            }
            break;
        }
        case queue_code::kReloadDatabases:
            if (d.stores.databases)
                (void)reload_and_show(d.screen, *d.stores.databases, !d.settings.daemon);
            break;
        case queue_code::kSoundBuffersFull:
            status_line(d.screen, ColourPair::kRedOnBlue, true, "%s", msg.text);
            break;
        default:
            break;  // unknown codes are dropped
    }
}

void handle_pending_signals(Decoder& d) {
    if (g_signals.extended_toggles != 0) {
        if (g_signals.extended_toggles % 2 != 0) d.settings.extended = !d.settings.extended;
        g_signals.extended_toggles = 0;
    }
    if (g_signals.resized) {
        g_signals.resized = 0;
        screen_rebuild(d.screen);
        counters_line(d.screen, d.counters, d.channel);
    }
    if (g_signals.reload) {
        // Cleared after the reload: a SIGHUP that arrives meanwhile is dropped.
        reload_all(d, !d.settings.daemon);
        g_signals.reload = 0;
    }
    if (g_signals.day_changed) {
        g_signals.day_changed = 0;
        day_change(d.logs, d.stores, d.settings, d.screen, d.channel, std::time(nullptr));
    }
    if (g_signals.server_crashed) {
        g_signals.server_crashed = 0;
        server_crashed(d);
    }
    if (g_signals.stop) orderly_shutdown(d);
}

bool main_loop_cycle(Decoder& d) {
    handle_pending_signals(d);
    if (!d.settings.daemon) {
        show_spinner(d.screen, kSpinner[d.spinner_index]);
        d.spinner_index = (d.spinner_index + 1) % 4;
    }
    if (!obtain_buffer(d)) return false;
    timespec arrived{};
    clock_gettime(CLOCK_REALTIME, &arrived);
    process_buffer(d, arrived.tv_sec, arrived.tv_nsec);

    if (!d.settings.daemon) {
        int key = screen_read_key(d.screen);
        if (key >= 0) handle_key(d, key);
    }
    return !d.input_ended;
}

void process_buffer(Decoder& d, std::time_t now, long nanoseconds) {
    ++d.state.total_buffers;
    d.state.now = now;
    d.buffer_time = static_cast<double>(now) + static_cast<double>(nanoseconds) / 1e9;
    ++d.buffer_number;

    if (d.buffer_number % 5 == 0) every_fifth_buffer(d);

    decode_buffer(d);

    if (d.buffer_number % 20 == 0) {
        QueueMessage msg;
        if (queue_receive(d.state.queue_id, ToDecoder, msg, 0) > 0) handle_decoder_message(d, msg);
    } else if (d.channel.server_running && d.buffer_number % 250 == 0) {
        std::string uptime =
            format_text("%ld", static_cast<long>(d.state.now - d.state.start_time));
        d.channel.send(queue_code::kUptime, uptime.c_str());
    }
}

void save_and_release(Decoder& d) {
    if (d.state.queue_id >= 0) {
        queue_remove(d.state.queue_id);
        d.state.queue_id = -1;
        g_crash_cleanup.queue_id = -1;
    }
    if (d.state.ring.base != nullptr || d.state.ring.shm_id >= 0) {
        ring_close(d.state.ring, d.settings.streaming);
        g_crash_cleanup.shm_id = -1;
    }
    close_logs(d.logs);
    save_and_release_stores(d.stores);
    d.state.work_buffer.reset();
    close_sound_device(d.state.sound);
    screen_close(d.screen);
}

void print_shutdown_statistics(const Decoder& d, std::FILE* out) {
    const Counters& c = d.counters;
    // Whole mebibytes, printed with two (always zero) decimals.
    std::uint64_t mebibytes = d.state.total_buffers * 40000ULL / 1048576ULL;
    print_to(out, "\n%s\n----------%s\n", "ACARS decoder normal finished", kDashes);
    print_to(out, "%0.2f megabytes were read and decoded\n", static_cast<double>(mebibytes));
    print_to(out,
             "Your contact statistics:\n  Good: %ld, Uplinks: %ld, parity errors: %ld, block "
             "errors: %ld\n  %ld messages with FCB/CRC errors\n----------%s\n",
             static_cast<long>(c.good_count), static_cast<long>(c.uplink_count),
             static_cast<long>(c.parity_error_count), static_cast<long>(c.block_error_count),
             static_cast<long>(c.crc_error_count), kDashes);
}

void release_after_startup_failure(Decoder& d) {
    stop_children(d);
    save_and_release(d);
}

// The failure texts are printed without making anything first: memory is short.
void create_reference_databases_or_stop(Decoder& d) {
    try {
        d.stores.databases.emplace();
        set_store_folder(d.stores, d.stores.folder);
    } catch (const std::bad_alloc&) {
        d.stores.databases.reset();
        release_after_startup_failure(d);
        print_to(stderr, "error setting up internal databases...\n%s stopped\n\n", kProgramName);
        _exit(100);
    }
}

void open_collection_or_stop(Decoder& d) {
    try {
        (void)open_collection(d.stores);
    } catch (const std::bad_alloc&) {
        d.stores.collection.reset();
        release_after_startup_failure(d);
        print_to(stderr, "%s\n", "error creating ACARS collection!");
        _exit(101);
    }
}

void open_statistics_or_stop(Decoder& d) {
    try {
        (void)open_statistics(d.stores);
    } catch (const std::bad_alloc&) {
        d.stores.statistics.reset();
        release_after_startup_failure(d);
        print_to(stderr, "%s\n", "serror setting up internal statistic databases...");
        _exit(100);
    }
}

void orderly_shutdown(Decoder& d) {
    set_disposition(SIGCHLD, SIG_IGN);
    set_disposition(SIGINT, SIG_IGN);  // a second stop has nothing left to do
    finish_decoding(d);
    status_line(d.screen, ColourPair::kYellowOnBlue, true,
                "Shutdown in progress. Dumping files, please wait...");
    stop_children(d);
    save_and_release(d);
    print_shutdown_statistics(d, stderr);
    std::fflush(nullptr);
    _exit(5);
}

int run_decoder(int argc, char** argv, char** envp) {
    auto owner = std::make_unique<Decoder>();
    Decoder& d = *owner;
    d.state.start_time = std::time(nullptr);
    print_to(stdout, kBannerFormat, kProgramName, kVersion, kNotice, kSecondLine);

    d.state.main_pid = getpid();
    switch (parse_options(argc, argv, d.settings)) {
        case OptionsResult::kHelpShown:
            return 0;
        case OptionsResult::kRejected:
            return 1;
        case OptionsResult::kRun:
            break;
    }
    // Before anything is set up: a destination that cannot be had is a
    // refused value.
    if (std::string error; !open_json_feed(d, error)) {
        print_to(stderr, "korvad: --json-udp: %s\n", error.c_str());
        return 1;
    }

    print_to(stderr, "%s", "\nInitializing message handle... ");
    d.state.queue_id = queue_create();
    if (d.state.queue_id < 0) {
        print_to(stderr, "%s\n", "unable to create messagequeue");
        _exit(101);
    }
    print_to(stderr, "Done, id %d\n", d.state.queue_id);
    note_crash_cleanup(d);
    (void)write_control_file(d.state.queue_id);  // korvadm then lacks the id: nothing more

    process_title_init(d.state.title, argc, argv, envp);

    // The device set-up may hang: five seconds, then give up.
    install_sound_timeout_handler();
    print_to(stderr, "Initializing sound device '%s'... ", d.settings.device_path());
    alarm(5);
    d.state.sound.tuning = d.settings.radio;
    bool sound_ok =
        open_sound_device(d.state.sound, d.settings.device_path(), d.settings.sample_rate, stderr);
    alarm(0);
    // A radio that cannot be had is a set-up failure: a missing dongle does
    // not come back by reading it every 3 seconds.
    if (g_signals.sound_timeout || (!sound_ok && is_radio_name(d.settings.device_path()))) {
        stop_children(d);
        save_and_release(d);
        print_to(stderr, "unable to init sound\n%s stopped\n\n", kProgramName);
        _exit(1);
    }
    print_to(stderr, " Done, handle #%d\n", d.state.sound.handle);
    set_disposition(SIGALRM, SIG_IGN);
    if (!sound_ok) {
        d.settings.streaming = false;
        print_to(stderr, "%s", "unable to initialize sound\n");
    }

    if (d.settings.streaming) {
        print_to(stderr, "%s", "Initializing shared memory... ");
        set_disposition(SIGCHLD, SIG_IGN);
        if (!ring_open(d.state.ring)) {
            d.settings.streaming = false;
            print_to(stderr, "%s\n", "unable to get shared memory segment. Shared memory disabled");
        } else {
            print_to(stderr, "%s", " Done and attached\n");
        }
        if (d.settings.streaming) {
            d.state.collector_pid =
                start_collector(d.state.ring, d.state.sound, d.state.queue_id, d.state.title);
            if (d.state.collector_pid < 0) {
                // No collector: read directly, and give the segment back.
                d.state.collector_pid = 0;
                ring_close(d.state.ring, true);
                d.settings.streaming = false;
            } else {
                // The collector owns the source now.
                close_sound_device(d.state.sound);
            }
        }
        note_crash_cleanup(d);
    }

    if (d.settings.daemon && !d.settings.server) d.settings.daemon = false;

    create_reference_databases_or_stop(d);
    print_to(stderr, "%s", "Loading internal databases... ");
    (void)reload_databases(*d.stores.databases, false);
    print_to(stderr, "%s", "Done\n");
    start_server_processes(d);

    d.screen.daemon = d.settings.daemon;
    d.screen.sample_rate = d.settings.sample_rate;
    d.channel.queue_id = d.state.queue_id;
    remember_terminal();
    if (!d.settings.daemon && screen_open(d.screen) == 0) {
        print_to(stderr, "%s", "error setting ncurses environement\n");
        stop_children(d);
        save_and_release(d);
        _exit(200);
    }
    install_main_handlers(!d.settings.daemon);
    if (!d.settings.daemon) print_terminal_title(d.screen, stdout);

    open_collection_or_stop(d);
    if (d.settings.rescan) {
        rescan_and_show(d.screen, *d.stores.collection, *d.stores.databases,
                        d.settings.translate_airports);
    }
    if (d.settings.max_age_days != 0) {
        (void)clean_and_show(d.screen, *d.stores.collection, d.state.start_time,
                             d.settings.max_age_days, d.settings.daemon);
    }
    open_statistics_or_stop(d);

    d.state.work_buffer = std::make_unique<std::uint8_t[]>(kWorkBufferSize);
    std::memset(d.state.work_buffer.get(), 0, kWorkBufferSize);

    configure_logs(d.logs, d.settings);
    open_logs(d.logs, d.state.start_time, d.screen);

    if (d.settings.daemon) detach_terminal();
    process_title_set(d.state.title, "%s ACARS decoder", kProgramName);
    open_repeat_register(d.stores);
    if (d.settings.new_contacts) (void)open_new_contacts(d.stores);

    install_day_change_handler();
    arm_day_change(std::time(nullptr));

    if (!d.settings.daemon) show_crc_line(d);

    d.state.sound.waiting = [&d] { return keep_waiting_for_audio(d); };
    start_msk_receiver(d, d.settings.sample_rate);
    d.next_shared = 0;
    while (main_loop_cycle(d)) {
    }
    // The input ended (or a stop came while waiting for it): everything read
    // has been decoded. What the collector said about its last buffers (a
    // truncated IQ recording) is shown before the end.
    finish_decoding(d);
    QueueMessage last;
    while (d.input_ended && queue_receive(d.state.queue_id, ToDecoder, last, 0) > 0) {
        handle_decoder_message(d, last);
    }
    orderly_shutdown(d);
}

}  // namespace korvad
