// Speed of the pass loop: ns per sample and the real-time factor at 19500
// samples per second.

#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "signal/demodulator.h"
#include "tools/synth/synth.h"

namespace korvad {
namespace {

void report(benchmark::State& state) {
    // Each iteration handles one buffer of 40000 new samples (2.05 s of audio).
    state.SetItemsProcessed(state.iterations() * kNewSamples);
    state.counters["ns_per_sample"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * kNewSamples,
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["realtime_x"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * kNewSamples / 19500.0,
                           benchmark::Counter::kIsRate);
}

// Noise: no pass finds a good frame, so every pass runs all 42 scans.
void BM_PassesOverNoise(benchmark::State& state) {
    std::mt19937 rng(1);
    std::vector<std::uint8_t> noise(kWorkBufferSize);
    for (auto& s : noise) s = static_cast<std::uint8_t>(rng());
    auto d = std::make_unique<Demodulator>();
    std::vector<std::uint8_t> work(kWorkBufferSize);
    for (auto _ : state) {
        std::memcpy(work.data(), noise.data(), kWorkBufferSize);
        run_passes(*d, work.data(), PassSink{});
        benchmark::DoNotOptimize(work.data());
    }
    report(state);
}
BENCHMARK(BM_PassesOverNoise)->Unit(benchmark::kMillisecond);

// A buffer holding one frame among light noise.
void BM_PassesOverAFrame(benchmark::State& state) {
    synth::SynthOptions options;
    options.snr_db = 40;
    std::vector<synth::Frame> frames = synth::generate_frames(3, 1);
    std::vector<synth::Placement> at{{12000, 0.0}};
    synth::Recording rec;
    std::string error;
    if (!synth::synthesize(frames, at, kWorkBufferSize, options, rec, error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    auto d = std::make_unique<Demodulator>();
    std::vector<std::uint8_t> work(kWorkBufferSize);
    int records = 0;
    PassSink sink{[](void* c, FrameTable& t) { *static_cast<int*>(c) += t.count; }, &records};
    for (auto _ : state) {
        std::memcpy(work.data(), rec.samples.data(), kWorkBufferSize);
        run_passes(*d, work.data(), sink);
    }
    benchmark::DoNotOptimize(records);
    report(state);
}
BENCHMARK(BM_PassesOverAFrame)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace korvad
