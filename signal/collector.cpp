// The sound collector process and the hand-over of full slots.

#include "signal/collector.h"

#include <sys/ipc.h>
#include <sys/prctl.h>
#include <sys/shm.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

#include "common/format.h"
#include "common/version.h"
#include "control/process_title.h"
#include "control/queue/codes.h"
#include "control/queue/queue.h"
#include "signal/demodulator.h"

namespace korvad {
namespace {

std::atomic_ref<std::int32_t> full_word(SharedRing& ring, int slot) {
    auto* p =
        reinterpret_cast<std::int32_t*>(ring.base + kSlotSize * static_cast<std::size_t>(slot));
    return std::atomic_ref<std::int32_t>(*p);
}

std::uint8_t* samples(SharedRing& ring, int slot) {
    return ring.base + kSlotSize * static_cast<std::size_t>(slot) + 4;
}

}  // namespace

bool ring_open(SharedRing& ring) {
    int id = shmget(IPC_PRIVATE, kSegmentSize, IPC_CREAT | IPC_EXCL | 0600);
    if (id < 0) return false;
    void* base = shmat(id, nullptr, 0);
    // Marked for removal while attached: it lives as long as an attachment.
    shmctl(id, IPC_RMID, nullptr);
    if (base == reinterpret_cast<void*>(-1)) return false;
    ring.shm_id = id;
    ring.base = static_cast<unsigned char*>(base);
    return true;
}

void ring_close(SharedRing& ring, bool remove) {
    if (ring.base != nullptr) shmdt(ring.base);
    if (remove && ring.shm_id >= 0) shmctl(ring.shm_id, IPC_RMID, nullptr);
    ring.base = nullptr;
    ring.shm_id = -1;
}

void run_collector(SharedRing& ring, SoundSource& source, int queue_id, ProcessTitle& title) {
    signal(SIGSEGV, SIG_IGN);
    signal(SIGILL, SIG_IGN);
    for (int i = 0; i < kSlotCount; ++i)
        full_word(ring, i).store(kSlotFree, std::memory_order_release);
    detach_terminal();
    process_title_set(title, "%s soundcollector", kProgramName);

    // A live source (device, pipe) paces the collector; a recording is read
    // as fast as the decoder frees slots.
    const bool live = !is_recording(source);
    bool first_fill = true;  // slot 0 has nothing before it only once
    for (;;) {
        int full_visits = 0;
        for (int sweep = 0; sweep < 2; ++sweep) {
            bool any_free = false;
            for (int slot = 0; slot < kSlotCount; ++slot) {
                auto full = full_word(ring, slot);
                if (full.load(std::memory_order_acquire) != kSlotFree) {
                    ++full_visits;
                    continue;
                }
                any_free = true;
                std::uint8_t* s = samples(ring, slot);
                int n = read_samples(source, s + kHistorySamples, kNewSamples);
                if (source.kind != SoundSource::Kind::kDevice) {
                    // Never stale samples behind the end of a recording or pipe.
                    if (n < 0) n = 0;
                    std::memset(s + kHistorySamples + n, 128,
                                static_cast<std::size_t>(kNewSamples - n));
                }
                if (slot == 0 && first_fill) {
                    std::memset(s, 0, kHistorySamples);
                } else {
                    int before = slot == 0 ? kSlotCount - 1 : slot - 1;
                    std::memcpy(s, samples(ring, before) + kNewSamples, kHistorySamples);
                }
                first_fill = false;
                if (!source.notice.empty()) {
                    // For the status window, as the buffer warning is.
                    QueueMessage note;
                    std::size_t len =
                        format_into(note.text, kQueueTextSize, "%s", source.notice.c_str());
                    queue_send(queue_id, ToDecoder, len, queue_code::kSoundBuffersFull, note);
                    source.notice.clear();
                }
                if (source.ended) {
                    full.store(kSlotLast, std::memory_order_release);
                    _exit(0);
                }
                full.store(kSlotFull, std::memory_order_release);
            }
            // Nothing to fill: do not spin at full speed while the decoder catches up.
            if (!any_free) usleep(live ? 5000 : 20000);
        }
        if (full_visits == 2 * kSlotCount && live) {
            QueueMessage msg;
            std::size_t len = format_into(msg.text, kQueueTextSize,
                                          "All %d soundbuffers are nearly full", kSlotCount);
            queue_send(queue_id, ToDecoder, len, queue_code::kSoundBuffersFull, msg);
        }
    }
}

pid_t start_collector(SharedRing& ring, SoundSource& source, int queue_id, ProcessTitle& title) {
    const pid_t parent = getpid();
    pid_t pid = fork();
    if (pid == 0) {
        // Nobody takes the buffers once the main process is gone: end with
        // it, also when it went before the death signal was set.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(0);
        run_collector(ring, source, queue_id, title);
    }
    return pid;
}

TakeResult take_buffer(SharedRing& ring, int& next, std::uint8_t* work,
                       const std::function<bool()>& waiting, void (*pause_us)(unsigned)) {
    auto full = full_word(ring, next);
    std::int32_t state;
    while ((state = full.load(std::memory_order_acquire)) == kSlotFree) {
        if (waiting && !waiting()) return TakeResult::kStopped;
        if (pause_us != nullptr) {
            pause_us(500000);
        } else {
            usleep(500000);  // a signal cuts it short
        }
    }
    std::memcpy(work, samples(ring, next), kWorkBufferSize);
    full.store(kSlotFree, std::memory_order_release);
    next = (next + 1) % kSlotCount;
    return state == kSlotLast ? TakeResult::kTakenLast : TakeResult::kTaken;
}

}  // namespace korvad
