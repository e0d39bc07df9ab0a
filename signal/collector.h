#pragma once
// Streaming capture: the sound collector process and the shared ring.
//
// The collector reads the source without pause into a ring of 32 slots in one
// System V shared-memory segment (no header). The segment is private to
// korvad: made with IPC_PRIVATE and mode 0600, and marked for removal as soon
// as the main process has attached it, so the collector, forked afterwards,
// inherits the only other attachment and nothing is left once both are gone,
// however they end:
//
//   slot i at byte 50244 * i:
//     offset 0      int32  full     0 = free (collector may fill),
//                                   1 = full (main may take),
//                                   2 = full, and the input ended with it
//     offset 4      50240  samples  10240 history (tail of the slot before),
//                                   then 40000 new samples
//
// The full word is the only hand-over: the collector writes the samples, then
// sets full with release order; the main process reads full with acquire
// order, copies the samples, then clears it with release order.

#include <sys/types.h>

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <functional>

#include "signal/sound.h"

namespace korvad {
struct ProcessTitle;
}

namespace korvad {

inline constexpr int kSlotCount = 32;
inline constexpr std::size_t kSlotSize = 50244;
inline constexpr std::size_t kSegmentSize = kSlotCount * kSlotSize;  // 1607808
static_assert(kSegmentSize == 1607808);

enum SlotState : std::int32_t { kSlotFree = 0, kSlotFull = 1, kSlotLast = 2 };

struct SharedRing {
    int shm_id = -1;
    unsigned char* base = nullptr;
};

// Makes a new private segment (mode 0600), attaches it and marks it for
// removal at once. False when it cannot be had; then the decoder reads
// directly.
[[nodiscard]] bool ring_open(SharedRing& ring);
// Detaches; with remove, also marks the segment for removal (again).
void ring_close(SharedRing& ring, bool remove);

// Forks the collector. Returns its pid to the caller (-1 when the fork
// failed); the child never returns. queue_id receives the "All %d
// soundbuffers are nearly full" warning (code 109) when a live source finds
// the whole ring full.
// title: the process-title area the child writes "korvad soundcollector" into.
pid_t start_collector(SharedRing& ring, SoundSource& source, int queue_id, ProcessTitle& title);

// The collector's loop (the child side of start_collector), reachable for
// tests without a fork. Started by start_collector, it ends when the main
// process is gone (killed too).
[[noreturn]] void run_collector(SharedRing& ring, SoundSource& source, int queue_id,
                                ProcessTitle& title);

enum class TakeResult { kTaken, kTakenLast, kStopped };

// Waits for slot `next` to be full, looking every half second; before each
// pause it asks `waiting` (when given), and gives up when that returns false.
// Then copies the slot's 50240 samples to work_buffer, frees the slot and
// advances next (31 wraps to 0).
TakeResult take_buffer(SharedRing& ring, int& next, std::uint8_t* work_buffer,
                       const std::function<bool()>& waiting,
                       void (*pause_microseconds)(unsigned) = nullptr);

}  // namespace korvad
