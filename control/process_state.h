#pragma once
// ProcessState: the run-time record of the main process (and, copied at the
// fork, of each child): process ids, queue, shared ring, sound source, buffer
// count and times.

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <memory>

#include "control/process_title.h"
#include "signal/collector.h"
#include "signal/sound.h"

namespace korvad {

struct ProcessState {
    pid_t main_pid = 0;
    pid_t server_pid = 0;             // 0 = none
    pid_t dbserver_pid = 0;           // 0 = none
    pid_t collector_pid = 0;          // 0 = none
    int queue_id = -1;                // -1 = none
    SharedRing ring;                  // shm_id and where it is attached
    SoundSource sound;                // the open source; handle 0 = closed
    std::uint64_t total_buffers = 0;  // buffers taken since start
    std::time_t start_time = 0;
    std::time_t now = 0;  // when the current buffer was obtained: every message's time
    std::unique_ptr<std::uint8_t[]> work_buffer;  // 50240 samples being decoded
    ProcessTitle title;                           // the argument area that ps shows
};

}  // namespace korvad
