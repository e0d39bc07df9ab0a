// Speed of the radio front end: cu8 IQ at 2.4 MS/s (as a dongle delivers it)
// to 8-bit audio at 19500 samples/s, ns per IQ sample and the real-time
// factor, on one core.

#include <benchmark/benchmark.h>

#include <complex>
#include <vector>

#include "signal/radio.h"
#include "tools/synth/iq.h"

namespace korvad {
namespace {

constexpr double kIqRate = 2'400'000;
constexpr std::size_t kPairsPerRead = 65536;  // what one read of a recording hands on

constexpr std::size_t kReads = 37;  // about one second

// About a second of the demo-like channel: random traffic, a busy neighbour, the
// DC spike, noise, as cu8 pairs.
std::vector<std::uint8_t> one_second() {
    synth::IqOptions o;
    o.iq_rate = kIqRate;
    o.channel_offset_hz = 225'000;
    o.neighbour_db = 10;
    o.dc_spike = 0.05;
    std::vector<std::uint8_t> bytes;
    std::vector<synth::SentFrame> sent;
    std::string error;
    const auto sink = [&](const std::complex<float>* iq, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) {
            for (float x : {iq[i].real(), iq[i].imag()}) {
                bytes.push_back(static_cast<std::uint8_t>(
                    std::clamp(std::lround(127.5 + 127.5 * x), 0L, 255L)));
            }
        }
        return true;
    };
    const double seconds = kReads * kPairsPerRead / kIqRate;
    if (!synth::render_iq(synth::generate_frames(5, 2), {0.1, 0.5}, seconds, 128, o, sink, sent,
                          error)) {
        return {};
    }
    return bytes;
}

void BM_FrontEndCu8At2400k(benchmark::State& state) {
    const std::vector<std::uint8_t> bytes = one_second();
    FrontEndPlan plan;
    plan.iq_rate = kIqRate;
    plan.center_hz = plan.channel_hz - 225'000;
    RadioFrontEndPtr f = make_radio_front_end(plan);
    if (!f || bytes.empty()) {
        state.SkipWithError("no front end or no recording");
        return;
    }
    const std::size_t pairs = kReads * kPairsPerRead;
    if (bytes.size() < 2 * pairs) {
        state.SkipWithError("short recording");
        return;
    }
    std::vector<std::complex<float>> iq(kPairsPerRead);
    std::vector<std::uint8_t> audio;
    std::size_t at = 0;
    for (auto _ : state) {
        iq_to_complex(IqFormat::kCu8, bytes.data() + 2 * at, kPairsPerRead, iq.data());
        run_front_end(*f, iq.data(), kPairsPerRead, audio);
        audio.clear();
        at = (at + kPairsPerRead) % pairs;
        benchmark::DoNotOptimize(audio.data());
    }
    // Items are IQ samples.
    const double samples = static_cast<double>(state.iterations()) * kPairsPerRead;
    state.SetItemsProcessed(static_cast<std::int64_t>(samples));
    state.counters["ns_per_iq_sample"] =
        benchmark::Counter(samples, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["realtime_x"] =
        benchmark::Counter(samples / kIqRate, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_FrontEndCu8At2400k)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace korvad
