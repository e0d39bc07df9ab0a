// Speed of the MSK receiver, alone and together with the pass loop: ns per
// sample and the real-time factor at 19500 samples per second.

#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "signal/demodulator.h"
#include "signal/msk_receiver.h"
#include "tools/synth/synth.h"

namespace korvad {
namespace {

constexpr int kRate = 19500;

void report(benchmark::State& state) {
    // Each iteration handles one buffer of 40000 new samples (2.05 s of audio).
    state.SetItemsProcessed(state.iterations() * kNewSamples);
    state.counters["ns_per_sample"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * kNewSamples,
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["realtime_x"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * kNewSamples / kRate, benchmark::Counter::kIsRate);
}

std::vector<std::uint8_t> uniform_noise() {
    std::mt19937 rng(1);
    std::vector<std::uint8_t> noise(kWorkBufferSize);
    for (auto& s : noise) s = static_cast<std::uint8_t>(rng());
    return noise;
}

// Ten buffers of frames among white noise at snr_db.
std::vector<std::uint8_t> noisy_frames(double snr_db = 12) {
    synth::SynthOptions options;
    options.snr_db = snr_db;
    std::vector<synth::Frame> frames = synth::generate_frames(3, 20);
    std::vector<synth::Placement> at;
    std::string error;
    synth::Recording rec;
    const std::int64_t total = 10LL * kNewSamples;
    if (!synth::layout_random(frames, options, total, 2000, 3, at, error) ||
        !synth::synthesize(frames, at, total, options, rec, error)) {
        return {};
    }
    return rec.samples;
}

int count_frames(void* context, FrameTable& table) {
    return *static_cast<int*>(context) += table.count;
}

// Uniform 8-bit noise: what the input looks like with the squelch open.
void BM_MskReceiverOverNoise(benchmark::State& state) {
    const std::vector<std::uint8_t> noise = uniform_noise();
    std::unique_ptr<MskReceiver> r = make_msk_receiver(kRate);
    for (auto _ : state) {
        msk_receive(*r, noise.data() + kHistorySamples, kNewSamples, PassSink{});
    }
    report(state);
}
BENCHMARK(BM_MskReceiverOverNoise)->Unit(benchmark::kMillisecond);

// The receiver over audio, a read of kNewSamples per iteration, round and round.
void receive_around(benchmark::State& state, MskReceiver& r, const std::vector<std::uint8_t>& audio,
                    const PassSink& sink) {
    std::size_t at = 0;
    for (auto _ : state) {
        msk_receive(r, audio.data() + at, kNewSamples, sink);
        at = (at + kNewSamples) % audio.size();
    }
}

void BM_MskReceiverOverNoisyFrames(benchmark::State& state) {
    const std::vector<std::uint8_t> audio = noisy_frames();
    if (audio.empty()) {
        state.SkipWithError("cannot synthesize");
        return;
    }
    std::unique_ptr<MskReceiver> r = make_msk_receiver(kRate);
    int frames = 0;
    const PassSink sink{[](void* c, FrameTable& t) { count_frames(c, t); }, &frames};
    receive_around(state, *r, audio, sink);
    benchmark::DoNotOptimize(frames);
    report(state);
}
BENCHMARK(BM_MskReceiverOverNoisyFrames)->Unit(benchmark::kMillisecond);

// Frames at 4 dB, where most need repair: with the repair (1) and with
// frames taken only as received (0).
void BM_MskReceiverOverFaintFrames(benchmark::State& state) {
    const std::vector<std::uint8_t> audio = noisy_frames(4);
    if (audio.empty()) {
        state.SkipWithError("cannot synthesize");
        return;
    }
    std::unique_ptr<MskReceiver> r = make_msk_receiver(kRate);
    r->repair = state.range(0) != 0;
    int frames = 0;
    const PassSink sink{[](void* c, FrameTable& t) { count_frames(c, t); }, &frames};
    receive_around(state, *r, audio, sink);
    state.counters["frames_per_buffer"] =
        static_cast<double>(frames) / static_cast<double>(state.iterations());
    report(state);
}
BENCHMARK(BM_MskReceiverOverFaintFrames)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// Both paths as korvad runs them, over noise: the worst case for the pass
// loop, which then tries all 42 threshold runs in every pass.
void BM_BothPathsOverNoise(benchmark::State& state) {
    const std::vector<std::uint8_t> noise = uniform_noise();
    auto d = std::make_unique<Demodulator>();
    std::unique_ptr<MskReceiver> r = make_msk_receiver(kRate);
    std::vector<std::uint8_t> work(kWorkBufferSize);
    for (auto _ : state) {
        std::memcpy(work.data(), noise.data(), kWorkBufferSize);
        msk_receive(*r, work.data() + kHistorySamples, kNewSamples, PassSink{});
        run_passes(*d, work.data(), PassSink{});
        benchmark::DoNotOptimize(work.data());
    }
    report(state);
}
BENCHMARK(BM_BothPathsOverNoise)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace korvad
