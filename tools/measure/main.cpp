// korvad-measure: the recovery table of the two demodulators over synthesized
// recordings, one row per reception condition.

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/format.h"
#include "signal/frame_repair.h"
#include "tools/measure/measure.h"
#include "tools/measure/measure_iq.h"
#include "tools/measure/repair_trial.h"

namespace {

constexpr const char* kUsage =
    "usage: korvad-measure [-n frames] [-r sample-rate] [-s seed] [-c text]\n"
    "  -n  frames per condition (default 200)\n"
    "  -r  sample rate of the recordings (default 19500)\n"
    "  -s  seed of the frames and their positions (default 1)\n"
    "  -c  run only the conditions whose name contains text\n"
    "  -w  instead, sweep the SNR (noise over the whole band) from 14 dB down to 0 dB\n"
    "  -b  instead, SNR 30, 20, 15, 12 and 10 dB, once over the whole band and once\n"
    "      with noise and signal band-limited to 300-3000 Hz\n"
    "  -f  instead, the repair's false acceptance: frames x 250 good frames per bit\n"
    "      error rate, damaged by noise with their soft decisions, checked as the\n"
    "      MSK receiver checks them\n"
    "  -z HOURS  instead, that much noise alone (Gaussian, 32 steps; white, then\n"
    "      through an airband receiver's audio) through both paths: every frame\n"
    "      shown is a wrong one\n"
    "  -i  instead, the same frames as audio at SNR 12, 8 and 6 dB and as IQ\n"
    "      recordings at 2.4 MS/s (channel 225 kHz off the centre) whose C/N gives an\n"
    "      AM receiver that SNR, through the radio front end; plain, and with -20 ppm,\n"
    "      a neighbour 10 dB stronger 25 kHz away and a DC spike\n"
    "  --ceiling  instead, what an ideal receiver (exact carrier, timing and level,\n"
    "      no band limit) recovers with the same repair, frames x 50 per condition,\n"
    "      beside the MSK receiver over the recordings\n";

bool to_number(const char* text, long min, long max, long& out) {
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < min || v > max) return false;
    out = v;
    return true;
}

std::string percent(int n, int of) {
    return korvad::format_text("%d (%.1f %%)", n, of > 0 ? 100.0 * n / of : 0.0);
}

// The -i table: audio beside IQ through the radio front end.
int compare_iq_table(long frames, long rate, long seed) {
    korvad::synth::IqOptions plain;
    plain.iq_rate = 2'400'000;
    plain.channel_hz = 131'725'000;
    plain.channel_offset_hz = 225'000;
    korvad::synth::IqOptions busy = plain;
    busy.ppm = -20;
    busy.neighbour_db = 10;
    busy.dc_spike = 0.05;
    const korvad::measure::Condition base =
        korvad::measure::standard_conditions(static_cast<int>(rate)).front();
    korvad::print_to(stdout, "| SNR | radio | audio | IQ | IQ - audio | wrong (audio/IQ) |\n");
    korvad::print_to(stdout, "|---|---|---|---|---|---|\n");
    double front_end = 0.0, iq_samples = 0.0;
    int wrong = 0;
    for (int snr : {12, 8, 6}) {
        for (const auto& [name, radio] : {std::pair{"plain", plain}, std::pair{"busy", busy}}) {
            korvad::measure::Condition c = base;
            c.options.snr_db = snr;
            c.options.seed = 400 + static_cast<std::uint64_t>(snr);
            korvad::measure::IqComparison r;
            std::string error;
            if (!korvad::measure::compare_iq(c, radio, static_cast<int>(frames),
                                             static_cast<std::uint64_t>(seed), r, error)) {
                korvad::print_to(stderr, "korvad-measure: %s\n", error.c_str());
                return 1;
            }
            const double a = 100.0 * r.audio.both.exact / r.audio.frames;
            const double q = 100.0 * r.iq.both.exact / r.iq.frames;
            korvad::print_to(stdout, "| %d dB | %s | %.1f %% | %.1f %% | %+.1f points | %d/%d |\n",
                             snr, name, a, q, q - a, r.audio.both.wrong, r.iq.both.wrong);
            std::fflush(stdout);
            front_end += r.front_end_seconds;
            iq_samples += static_cast<double>(r.iq_samples);
            wrong += r.audio.both.wrong + r.iq.both.wrong;
        }
    }
    korvad::print_to(stdout,
                     "\nradio front end: %.1f ns per IQ sample (%.1fx real time at 2.4 MS/s)\n",
                     1e9 * front_end / iq_samples, iq_samples / 2.4e6 / front_end);
    korvad::print_to(stdout, "wrong frames over all conditions: %d\n", wrong);
    return wrong == 0 ? 0 : 1;
}

// The -z run: noise alone, hours of it.
int noise_run(long hours, long rate, long seed) {
    const korvad::measure::NoiseResult r =
        korvad::measure::run_noise(3600.0 * static_cast<double>(hours), static_cast<int>(rate),
                                   32.0, static_cast<std::uint64_t>(seed));
    const double seconds = static_cast<double>(r.samples) / static_cast<double>(rate);
    korvad::print_to(stdout,
                     "%.1f hours of noise (%lld samples): frames shown by the pass loop %d, by the "
                     "MSK receiver %d\nMSK receiver: %llu pre-key candidates, %llu bit syncs, "
                     "%llu block checks spent on candidates\nprocessor time %.0f s (%.0fx real "
                     "time, both paths)\n",
                     seconds / 3600.0, static_cast<long long>(r.samples), r.pass_loop, r.msk,
                     static_cast<unsigned long long>(r.counters.candidates),
                     static_cast<unsigned long long>(r.counters.syncs),
                     static_cast<unsigned long long>(r.counters.crc_trials), r.seconds,
                     seconds / r.seconds);
    return r.pass_loop + r.msk == 0 ? 0 : 1;
}

// The -f table: what the repair makes of frames damaged by noise.
int repair_table(long frames, long seed) {
    const int per_level = static_cast<int>(frames * 250);
    korvad::print_to(stdout,
                     "| bit error rate | frames | damaged | repaired | beyond repair | wrong | "
                     "wrong per damaged frame | block checks per repaired frame |\n");
    korvad::print_to(stdout, "|---|---|---|---|---|---|---|---|\n");
    long damaged = 0, wrong = 0, repaired = 0, repaired_trials = 0;
    int level = 0;
    for (double ber : {0.002, 0.005, 0.01, 0.02, 0.04, 0.08}) {
        const korvad::measure::RepairTrialTally t = korvad::measure::run_repair_trials(
            per_level, {.sigma = korvad::measure::sigma_for_bit_error_rate(ber)},
            static_cast<std::uint64_t>(seed) * 100 + static_cast<std::uint64_t>(++level));
        korvad::print_to(
            stdout, "| %.1f %% | %d | %d | %d | %d | %d | %.2g | %.2f |\n", 100 * ber, t.frames,
            t.damaged, t.repaired, t.damaged - t.repaired, t.wrong,
            t.damaged > 0 ? static_cast<double>(t.wrong) / t.damaged : 0.0,
            t.repaired > 0 ? static_cast<double>(t.repaired_trials) / t.repaired : 0.0);
        std::fflush(stdout);
        damaged += t.damaged;
        wrong += t.wrong;
        repaired += t.repaired;
        repaired_trials += t.repaired_trials;
    }
    korvad::print_to(stdout,
                     "\nover all: %ld damaged frames, %ld repaired (%.2f block checks each), %ld "
                     "wrong: %.2g per damaged frame (bound %d / 65536 = %.2g)\n",
                     damaged, repaired,
                     repaired > 0 ? static_cast<double>(repaired_trials) / repaired : 0.0, wrong,
                     damaged > 0 ? static_cast<double>(wrong) / damaged : 0.0,
                     korvad::kMaxCrcTrials, korvad::kMaxCrcTrials / 65536.0);
    return wrong * 10000 < damaged ? 0 : 1;
}

// Synthesizes the condition's recording and runs both paths over it; false
// (the reason printed) when it cannot be made. seconds: the recording's length.
bool measure_condition(const korvad::measure::Condition& c, long frames, long rate, long seed,
                       korvad::measure::Result& r, double& seconds) {
    korvad::synth::Recording rec;
    std::string error;
    if (!korvad::measure::make_recording(c, static_cast<int>(frames),
                                         static_cast<std::uint64_t>(seed), rec, error)) {
        korvad::print_to(stderr, "korvad-measure: %s: %s\n", c.name.c_str(), error.c_str());
        return false;
    }
    r = korvad::measure::run_recording(rec, static_cast<int>(rate));
    seconds = static_cast<double>(rec.samples.size()) / static_cast<double>(rate);
    return true;
}

// The --ceiling table: what an ideal receiver (exact carrier, timing and
// level, no band limit) would give with the same repair, beside what the MSK
// receiver gives over the recordings of the same conditions.
int ceiling_table(long frames, long rate, long seed) {
    const char* const rows[] = {
        "SNR 6 dB, whole band",
        "SNR 4 dB, whole band",
        "SNR 3 dB, whole band",
        "SNR 18 dB, fading 15-100 % at 0.7 Hz",
        "all at once: 300-3000 Hz, SNR 8 dB, -2000 ppm, DC, hum, fading 50-100 % at 0.5 Hz",
        "SNR 18 dB average, fading 15-100 % at 0.7 Hz",
        "all at once: 300-3000 Hz, SNR 8 dB average, -2000 ppm, DC, hum, fading 50-100 % at "
        "0.5 Hz",
    };
    const std::vector<korvad::measure::Condition> conditions =
        korvad::measure::standard_conditions(static_cast<int>(rate));
    const int trials = static_cast<int>(frames * 50);
    korvad::print_to(stdout,
                     "| condition | ideal receiver, %d frames | MSK receiver, %ld frames |\n",
                     trials, frames);
    korvad::print_to(stdout, "|---|---|---|\n");
    int level = 0;
    for (const char* row : rows) {
        for (const korvad::measure::Condition& c : conditions) {
            if (c.name != row) continue;
            const korvad::measure::RepairTrialTally t = korvad::measure::run_repair_trials(
                trials, korvad::measure::ideal_channel(c.options),
                static_cast<std::uint64_t>(seed) * 100 + 50 + static_cast<std::uint64_t>(++level));
            korvad::measure::Result r;
            double seconds = 0.0;
            if (!measure_condition(c, frames, rate, seed, r, seconds)) return 1;
            korvad::print_to(stdout, "| %s | %s | %s |\n", c.name.c_str(),
                             percent(t.repaired + t.intact, t.frames).c_str(),
                             percent(r.msk.exact, r.frames).c_str());
            std::fflush(stdout);
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    long frames = 200, rate = 19500, seed = 1;
    const char* only = nullptr;
    bool sweep = false;
    bool bands = false;
    bool iq = false;
    bool repair = false;
    bool ceiling = false;
    long noise_hours = 0;
    for (int i = 1; i < argc; ++i) {
        const bool has_value = i + 1 < argc;
        if (std::strcmp(argv[i], "-n") == 0 && has_value &&
            to_number(argv[i + 1], 1, 5000, frames)) {
            ++i;
        } else if (std::strcmp(argv[i], "-r") == 0 && has_value &&
                   to_number(argv[i + 1], korvad::kMskMinSampleRate, korvad::kMskMaxSampleRate,
                             rate)) {
            ++i;
        } else if (std::strcmp(argv[i], "-s") == 0 && has_value &&
                   to_number(argv[i + 1], 0, 1L << 30, seed)) {
            ++i;
        } else if (std::strcmp(argv[i], "-w") == 0) {
            sweep = true;
        } else if (std::strcmp(argv[i], "-z") == 0 && has_value &&
                   to_number(argv[i + 1], 1, 1000, noise_hours)) {
            ++i;
        } else if (std::strcmp(argv[i], "-f") == 0) {
            repair = true;
        } else if (std::strcmp(argv[i], "--ceiling") == 0) {
            ceiling = true;
        } else if (std::strcmp(argv[i], "-i") == 0) {
            iq = true;
        } else if (std::strcmp(argv[i], "-b") == 0) {
            bands = true;
        } else if (std::strcmp(argv[i], "-c") == 0 && has_value) {
            only = argv[++i];
        } else {
            std::fputs(kUsage, stderr);
            return 2;
        }
    }

    korvad::print_to(stdout, "%ld frames per condition at %ld samples/s, seed %ld\n\n", frames,
                     rate, seed);
    if (iq) return compare_iq_table(frames, rate, seed);
    if (repair) return repair_table(frames, seed);
    if (ceiling) return ceiling_table(frames, rate, seed);
    if (noise_hours > 0) return noise_run(noise_hours, rate, seed);
    std::vector<korvad::measure::Condition> conditions =
        korvad::measure::standard_conditions(static_cast<int>(rate));
    if (sweep) {
        korvad::measure::Condition base = conditions.front();
        conditions.clear();
        for (int snr = 14; snr >= 0; snr -= 2) {
            korvad::measure::Condition c = base;
            c.name = korvad::format_text("SNR %d dB, whole band", snr);
            c.options.snr_db = snr;
            c.options.seed = 200 + static_cast<std::uint64_t>(snr);
            conditions.push_back(c);
        }
    } else if (bands) {
        korvad::measure::Condition base = conditions.front();
        conditions.clear();
        for (bool band_pass : {false, true}) {
            for (int snr : {30, 20, 15, 12, 10}) {
                korvad::measure::Condition c = base;
                c.name = korvad::format_text("SNR %d dB, %s", snr,
                                             band_pass ? "300-3000 Hz" : "whole band");
                c.options.snr_db = snr;
                c.options.band_pass = band_pass;
                c.options.seed = 300 + static_cast<std::uint64_t>(snr) + (band_pass ? 100 : 0);
                conditions.push_back(c);
            }
        }
    }
    korvad::print_to(stdout,
                     "| condition | pass loop | MSK receiver | both | wrong (pass/MSK/both) | "
                     "shown twice | MSK syncs/repaired 1/2/3+/lost |\n");
    korvad::print_to(stdout, "|---|---|---|---|---|---|---|\n");
    double pass_seconds = 0.0, msk_seconds = 0.0, audio_seconds = 0.0;
    int total_wrong = 0;
    std::uint64_t repaired = 0, repaired_trials = 0;
    for (const korvad::measure::Condition& c : conditions) {
        if (only != nullptr && c.name.find(only) == std::string::npos) continue;
        korvad::measure::Result r;
        double seconds = 0.0;
        if (!measure_condition(c, frames, rate, seed, r, seconds)) return 1;
        korvad::print_to(
            stdout, "| %s | %s | %s | %s | %d/%d/%d | %d | %llu/%llu/%llu/%llu/%llu |\n",
            c.name.c_str(), percent(r.pass_loop.exact, r.frames).c_str(),
            percent(r.msk.exact, r.frames).c_str(), percent(r.both.exact, r.frames).c_str(),
            r.pass_loop.wrong, r.msk.wrong, r.both.wrong, r.shown_twice,
            static_cast<unsigned long long>(r.counters.syncs),
            static_cast<unsigned long long>(r.counters.repaired_one),
            static_cast<unsigned long long>(r.counters.repaired_two),
            static_cast<unsigned long long>(r.counters.repaired_more),
            static_cast<unsigned long long>(r.counters.lost));
        std::fflush(stdout);
        pass_seconds += r.pass_loop.seconds;
        msk_seconds += r.msk.seconds;
        audio_seconds += seconds;
        total_wrong += r.both.wrong + r.pass_loop.wrong + r.msk.wrong;
        repaired += r.counters.repaired_one + r.counters.repaired_two + r.counters.repaired_more;
        repaired_trials += r.counters.repaired_trials;
    }
    if (audio_seconds > 0.0) {
        const double samples = audio_seconds * static_cast<double>(rate);
        korvad::print_to(stdout,
                         "\nprocessor time: pass loop %.1f ns/sample (%.0fx real time), "
                         "MSK receiver %.1f ns/sample (%.0fx real time)\n",
                         1e9 * pass_seconds / samples, audio_seconds / pass_seconds,
                         1e9 * msk_seconds / samples, audio_seconds / msk_seconds);
    }
    if (repaired > 0) {
        korvad::print_to(stdout, "frames repaired: %llu, %.2f block checks each\n",
                         static_cast<unsigned long long>(repaired),
                         static_cast<double>(repaired_trials) / static_cast<double>(repaired));
    }
    korvad::print_to(stdout, "wrong frames over all conditions: %d\n", total_wrong);
    return total_wrong == 0 ? 0 : 1;
}
