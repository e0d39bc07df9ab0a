// The receiver between the air and the sound card: fading, AGC, audio stages.

#include "tools/synth/channel.h"

#include <liquid/liquid.h>

#include <algorithm>
#include <cmath>
#include <numbers>

namespace korvad::synth {

struct ChannelFilters {
    iirfilt_rrrf_s* scanner_high = nullptr;  // --bandpass: 300 Hz high-pass
    iirfilt_rrrf_s* scanner_low = nullptr;   // --bandpass: 3000 Hz low-pass
    iirfilt_rrrf_s* airband_high = nullptr;
    iirfilt_rrrf_s* airband_low = nullptr;
    double deemphasis_gain = 0.0;  // one-pole low-pass: y += g * (x - y)
    double deemphasis_makeup = 1.0;
    double deemphasis_state = 0.0;
    bool airband = false;

    ~ChannelFilters() {
        for (iirfilt_rrrf_s* f : {scanner_high, scanner_low, airband_high, airband_low}) {
            if (f != nullptr) iirfilt_rrrf_destroy(f);
        }
    }
};

void ChannelFiltersDeleter::operator()(ChannelFilters* f) const {
    delete f;
}

namespace {

iirfilt_rrrf_s* design(liquid_iirdes_filtertype type, liquid_iirdes_bandtype band, int order,
                       double hz, double fs, float ripple_db, float stop_db) {
    return iirfilt_rrrf_create_prototype(type, band, LIQUID_IIRDES_SOS,
                                         static_cast<unsigned>(order), static_cast<float>(hz / fs),
                                         0.0f, ripple_db, stop_db);
}

float run(iirfilt_rrrf_s* f, float x) {
    float y = x;
    iirfilt_rrrf_execute(f, x, &y);
    return y;
}

}  // namespace

bool ReceiverChannel::start(const SynthOptions& o, std::string& error) {
    rate_ = o.sample_rate * (1.0 + o.clock_ppm * 1e-6);
    fading_ = o;
    agc_pump_ = o.agc_pump;
    filters_.reset(new ChannelFilters);
    ChannelFilters& f = *filters_;
    // The filters work on the card's nominal rate: their corners are the
    // receiver's, which the card's clock error does not move far.
    const double fs = o.sample_rate;
    if (o.band_pass) {
        f.scanner_high = design(LIQUID_IIRDES_BUTTER, LIQUID_IIRDES_HIGHPASS, 2, 300.0, fs, 1, 60);
        f.scanner_low = design(LIQUID_IIRDES_BUTTER, LIQUID_IIRDES_LOWPASS, 4, 3000.0, fs, 1, 60);
        if (f.scanner_high == nullptr || f.scanner_low == nullptr) {
            error = "cannot design the band-pass filter";
            return false;
        }
    }
    if (o.airband) {
        f.airband = true;
        f.airband_high =
            design(LIQUID_IIRDES_BUTTER, LIQUID_IIRDES_HIGHPASS, 2, kAirbandHighPassHz, fs, 1, 60);
        f.airband_low =
            design(LIQUID_IIRDES_ELLIP, LIQUID_IIRDES_LOWPASS, 4, kAirbandLowPassHz, fs, 1, 40);
        f.deemphasis_gain = 1.0 - std::exp(-1.0 / (kDeemphasisSeconds * fs));
        // The receiver's audio gain keeps the 1200 Hz tone at its level.
        const double w = 2.0 * std::numbers::pi * 1200.0 * kDeemphasisSeconds;
        f.deemphasis_makeup = std::sqrt(1.0 + w * w);
        if (f.airband_high == nullptr || f.airband_low == nullptr) {
            error = "cannot design the airband receiver's filters";
            return false;
        }
    }
    return true;
}

double ReceiverChannel::fade(std::int64_t sample) const {
    return fade_factor(fading_, static_cast<double>(sample) / rate_);
}

void ReceiverChannel::set_key_ups(std::vector<std::int64_t> starts) {
    std::sort(starts.begin(), starts.end());
    key_ups_ = std::move(starts);
    next_key_up_ = 0;
    last_key_up_ = -1;
}

double ReceiverChannel::agc_gain(std::int64_t sample) {
    if (agc_pump_ <= 0.0) return 1.0;
    while (next_key_up_ < key_ups_.size() && key_ups_[next_key_up_] <= sample) {
        last_key_up_ = key_ups_[next_key_up_++];
    }
    if (last_key_up_ < 0) return 1.0;
    const double since = static_cast<double>(sample - last_key_up_) / rate_;
    return 1.0 + agc_pump_ * std::exp(-since / kAgcSettleSeconds);
}

double ReceiverChannel::audio(double x) {
    ChannelFilters& f = *filters_;
    auto y = static_cast<float>(x);
    if (f.scanner_high != nullptr) y = run(f.scanner_low, run(f.scanner_high, y));
    if (f.airband) {
        y = run(f.airband_high, y);
        f.deemphasis_state += f.deemphasis_gain * (y - f.deemphasis_state);
        // The de-emphasis takes the 2400 Hz tone down by 2.4 dB against 1200 Hz.
        y = run(f.airband_low, static_cast<float>(f.deemphasis_state * f.deemphasis_makeup));
    }
    return y;
}

}  // namespace korvad::synth
