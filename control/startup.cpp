// Start-up and the ways out of the main process: the order in which it sets
// itself up, the refusals at start, the release of everything and the
// orderly shutdown.

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>

#include "common/format.h"
#include "common/version.h"
#include "control/decoder.h"
#include "control/notices.h"
#include "control/queue/control_file.h"
#include "control/queue/queue.h"
#include "control/safeguards.h"
#include "control/server_start.h"
#include "control/signals.h"
#include "message/notices.h"
#include "signal/msk_receiver.h"

namespace korvad {

static_assert(kMinSampleRate >= kMskMinSampleRate && kMaxSampleRate <= kMskMaxSampleRate,
              "-S asks only for rates the receiver decodes");

namespace {

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

// Start-up waits nowhere for long, but a SIGINT during it still ends korvad
// with queue and segment released.
void stop_if_interrupted(Decoder& d) {
    if (g_signals.stop) orderly_shutdown(d);
}

// A second korvad in the same folder would write the same files.
void take_lock_or_stop(Decoder& d) {
    const LockResult lock = take_instance_lock(d.lock, d.stores.folder);
    switch (lock.outcome) {
        case LockOutcome::held:
            return;
        case LockOutcome::taken:
            print_to(stderr,
                     "korvad: another korvad (process %ld) runs in this folder and holds '%s'\n"
                     "%s stopped\n\n",
                     static_cast<long>(lock.holder), lock.path.c_str(), kProgramName);
            _exit(101);
        case LockOutcome::unavailable:
            print_to(stderr,
                     "korvad: no lock file '%s' (%s): a second korvad in this folder would not "
                     "be noticed\n",
                     lock.path.c_str(), lock.reason.c_str());
            return;
    }
}

void publish_queue_id(Decoder& d) {
    std::string reason;
    if (!write_control_file(d.state.queue_id, kControlFilePath, &reason)) {
        print_to(stderr,
                 "korvad: cannot publish the queue id in '%s' (%s): korvadm will not reach this "
                 "korvad\n",
                 kControlFilePath, reason.c_str());
    }
}

// Before anything waits on it: a source that can never deliver audio.
void check_source_or_stop(Decoder& d) {
    const std::string problem = source_problem(d.settings.device_path());
    if (problem.empty()) return;
    print_to(stderr, "error opening sounddevice '%s': %s\n", d.settings.device_path(),
             problem.c_str());
    stop_children(d);
    save_and_release(d);
    print_to(stderr, "unable to init sound\n%s stopped\n\n", kProgramName);
    _exit(1);
}

}  // namespace

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
    save_and_release_stores(d.stores, &d.save_failures);
    d.state.work_buffer.reset();
    close_sound_device(d.state.sound);
    screen_close(d.screen);
}

void print_shutdown_statistics(const Decoder& d, std::FILE* out) {
    const Counters& c = d.counters;
    // Whole mebibytes, printed with two (always zero) decimals.
    std::uint64_t mebibytes = d.state.total_buffers * 40000ULL / 1048576ULL;
    for (const std::string& failure : d.save_failures) {
        print_to(out, "korvad: saving failed: %s\n", failure.c_str());
    }
    print_to(out, "\n%s\n----------%s\n",
             d.save_failures.empty() ? "ACARS decoder normal finished"
                                     : "ACARS decoder finished, NOT everything was saved",
             kDashes);
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
        StoreNotes notes;
        (void)open_collection(d.stores, &notes);
        show_store_notes(d, notes);
    } catch (const std::bad_alloc&) {
        d.stores.collection.reset();
        release_after_startup_failure(d);
        print_to(stderr, "%s\n", "error creating ACARS collection!");
        _exit(101);
    }
}

void open_statistics_or_stop(Decoder& d) {
    try {
        StoreNotes notes;
        (void)open_statistics(d.stores, &notes);
        show_store_notes(d, notes);
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
    // A store that could not be saved is a container failure, never a normal end.
    _exit(d.save_failures.empty() ? 5 : 100);
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

    d.terminal_input = isatty(STDIN_FILENO) != 0;
    d.terminal_output = isatty(STDOUT_FILENO) != 0;
    take_lock_or_stop(d);
    // What a save killed half-way left behind; no other korvad works here.
    (void)remove_leftover_temporaries(d.stores.folder);
    install_stop_handler();

    print_to(stderr, "%s", "\nInitializing message handle... ");
    d.state.queue_id = queue_create();
    if (d.state.queue_id < 0) {
        print_to(stderr, "%s\n", "unable to create messagequeue");
        _exit(101);
    }
    print_to(stderr, "Done, id %d\n", d.state.queue_id);
    note_crash_cleanup(d);
    publish_queue_id(d);

    process_title_init(d.state.title, argc, argv, envp);

    // The device set-up may hang: five seconds, then give up.
    install_sound_timeout_handler();
    print_to(stderr, "Initializing sound device '%s'... ", d.settings.device_path());
    check_source_or_stop(d);
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
    stop_if_interrupted(d);
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
    stop_if_interrupted(d);
    start_server_processes(d);

    d.screen.daemon = d.settings.daemon;
    d.screen.sample_rate = d.settings.sample_rate;
    d.channel.queue_id = d.state.queue_id;
    remember_terminal();
    if (!d.settings.daemon && screen_open(d.screen) == 0) {
        const char* term = std::getenv("TERM");
        print_to(stderr, "korvad: no screen on this terminal (TERM is %s%s%s)\n",
                 term != nullptr ? "'" : "", term != nullptr ? term : "not set",
                 term != nullptr ? "'" : "");
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
    if (d.settings.new_contacts) {
        StoreNotes notes;
        (void)open_new_contacts(d.stores, &notes);
        show_store_notes(d, notes);
    }

    install_day_change_handler();
    arm_day_change(std::time(nullptr));

    if (!d.settings.daemon) show_crc_status(d.screen, d.settings.checksum_only);

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
