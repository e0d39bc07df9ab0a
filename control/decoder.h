#pragma once
// The main process of korvad: start-up, the main loop with its keyboard and
// queue duties, and the ways out.

#include <memory>
#include <vector>

#include "control/daily_logs.h"
#include "control/decoding.h"
#include "control/instance_lock.h"
#include "control/process_state.h"
#include "control/queue/server_channel.h"
#include "control/settings.h"
#include "feed/json_feed.h"
#include "message/message.h"
#include "message/process.h"
#include "screen/screen.h"
#include "signal/demodulator.h"
#include "signal/frame_dedup.h"
#include "signal/msk_receiver.h"
#include "store/stores.h"

namespace korvad {

// Everything the main process owns, built by run_decoder and passed by
// reference to what needs it.
struct Decoder {
    Settings settings;
    ProcessState state;
    Screen screen;
    Counters counters;
    Stores stores;
    LogFiles logs;
    ServerChannel channel;  // to the server process, while one runs
    std::unique_ptr<Demodulator> demodulator = std::make_unique<Demodulator>();
    // The second demodulator runs over the same stream; a transmission both
    // decode is processed once (control/decoding.h).
    std::unique_ptr<MskReceiver> msk;
    FrameMerge merge;
    std::int64_t stream_position = 0;    // new samples taken since start-up
    std::int64_t new_samples_start = 0;  // stream position of the buffer's first new sample
    std::int64_t msk_origin = 0;         // stream position where the receiver started
    // Passes of the pass loop without a good record wait one buffer: the
    // receiver may still be collecting the end of the same transmission,
    // which then replaces the damaged copy.
    struct HeldPass {
        std::unique_ptr<FrameTable> table = std::make_unique<FrameTable>();
        std::time_t now = 0;
        StreamSpan span;   // where its frame may lie
        FrameFacts frame;  // for the JSON feed
    };
    std::vector<HeldPass> held;  // at most four per buffer
    std::size_t held_count = 0;
    // The JSON feed (--json-udp); message processing sends through it while
    // it has destinations.
    JsonFeed feed;
    double buffer_time = 0.0;  // seconds since the epoch, fractional: when the buffer came
    // What message processing reads and changes; its options and `now` are
    // set per buffer.
    MessageContext messages{{},      counters, screen,
                            channel, stores,   MessageLogs{&logs.message_file, &logs.anad_file}};

    // Main loop counters.
    int buffer_number = 0;  // incremented once per buffer before any periodic test
    int next_shared = 0;    // slot of the shared ring to take next
    int spinner_index = 0;
    bool input_ended = false;  // a recording or pipe delivered its last buffer
    bool reopen_failure_shown = false;

    // Safeguards (control/safeguards.h).
    InstanceLock lock;              // one korvad per working folder
    std::time_t unsaved_since = 0;  // when the oldest unsaved addition was seen; 0 = none
    bool terminal_input = false;    // standard input was a terminal at start
    bool terminal_output = false;   // standard output was a terminal at start
    StoreNotes save_failures;       // saves of the shutdown that failed
};

// The program: returns the exit status (0 help; the others end the process
// directly: 1 sound set-up timeout, 5 normal end, 100, 101, 200).
int run_decoder(int argc, char** argv, char** envp);

// One cycle of the main loop: spinner, buffer, periodic duties, decode,
// queue/uptime, key. Returns false when the input ended or a stop was
// requested and the loop must go to the shutdown.
bool main_loop_cycle(Decoder& d);

// The cycle's work on the buffer in work_buffer, taken at `now`: count it,
// volume line and clock every fifth buffer (and empty the repeat register),
// decode it (the MSK receiver over its new samples, then the pass loop, both
// into message processing, one message per transmission: decoding.h), look
// at the queue every twentieth buffer, send the uptime at buffers 250, 750, 1250, ...
void process_buffer(Decoder& d, std::time_t now, long nanoseconds = 0);

// Opens the JSON feed of --json-udp and --station-id, with the -F frequency.
// False, with the reason, when a destination cannot be resolved or no socket
// can be had; without --json-udp nothing is opened.
[[nodiscard]] bool open_json_feed(Decoder& d, std::string& error);

// SIGUSR2 from a crashing server process: a new server process replaces it,
// on the same port when the operator fixed it, otherwise on 2203 (after 2202)
// or 2202 (after any other).
void server_crashed(Decoder& d);

// While the loop waits for audio (a pipe that is quiet, a collector that has
// nothing yet), keys, signals and the upkeep still work. False gives the
// wait up.
[[nodiscard]] bool keep_waiting_for_audio(Decoder& d);

// Acts on what the signal handlers recorded.
void handle_pending_signals(Decoder& d);

// A key from the keyboard (either case); others do nothing.
void handle_key(Decoder& d, int key);
// A message of type ToDecoder.
void handle_decoder_message(Decoder& d, struct QueueMessage& msg);

// The settings message processing reads, as they stand now.
[[nodiscard]] MessageOptions message_options(const Settings& settings);

// Start-up steps that make containers. When memory runs out they end the
// process, releasing queue and segment, with the texts and statuses of the
// start-up failures: "error setting up internal databases...\n%s stopped\n\n"
// (100), "error creating ACARS collection!" (101), "serror setting up
// internal statistic databases..." (100).
void create_reference_databases_or_stop(Decoder& d);
void open_collection_or_stop(Decoder& d);
void open_statistics_or_stop(Decoder& d);
// Before a failure exit of the start-up: children stopped, everything
// released (queue and segment included).
void release_after_startup_failure(Decoder& d);

// Releases everything; safe to call twice. Saves that fail are added to
// d.save_failures.
void save_and_release(Decoder& d);
// Q key, SIGINT, end of input, a terminal that is gone: what is still being
// decoded is finished and processed, then the statistics on standard error,
// status 5; when a save of the stores failed, the files and the reasons too,
// and status 100.
[[noreturn]] void orderly_shutdown(Decoder& d);
// The statistics text of the shutdown.
void print_shutdown_statistics(const Decoder& d, std::FILE* out);

}  // namespace korvad
