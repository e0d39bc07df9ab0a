// The main loop of the main process: buffers, keys, queue and signals.
// Start-up and the ways out are in control/startup.cpp, the decoding of
// each buffer in control/decoding.cpp.

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
#include "control/safeguards.h"
#include "control/server_start.h"
#include "control/signals.h"
#include "message/notices.h"
#include "server/server.h"

namespace korvad {
namespace {

constexpr char kSpinner[] = "|/-\\";
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
    run_upkeep(d, std::time(nullptr));
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

}  // namespace korvad
