#pragma once
// What the synthesizer's tests share: a small downlink with its bytes on the
// air spelled out by hand, and the instruments that measure a recording.

#include <gtest/gtest.h>

#include <complex>  // before liquid.h, which then takes std::complex<float>

#include <liquid/liquid.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tools/synth/synth.h"

namespace korvad::synth {

using Bytes = std::vector<std::uint8_t>;

inline Frame small_downlink() {
    Frame f;
    f.kind = FrameKind::downlink;
    f.mode = '2';
    f.registration = ".N123AB";
    f.ack = 0x15;
    f.label = "H1";
    f.block_id = '4';
    f.sequence = "M01A";
    f.flight = "BA0123";
    f.text = "OK\r\n";
    return f;
}

// Hand count of the ones in each 7-bit code; bit 7 is set when the count is
// even (odd parity). BCS: CRC-16/0x8408, register after each covered byte
// (from the mode on): 32:1291 AE:C966 CE:298B 31:1AF8 32:694C B3:0F11 C1:D682
// C2:42D2 15:B2F1 C8:ACF0 31:D729 34:CBB3 02:A4C9 CD:4680 B0:31C5 31:B19A
// C1:ECE7 C2:7643 C1:A76C B0:1C46 31:0724 32:75B0 B3:32EE 4F:B4B1 CB:DC69
// 0D:25FE 8A:3586 83:5798, so BCS 0x5798, sent 98 57.
inline const Bytes kSmallDownlinkBytes = {
    0x2A,                                      // '*'  3 ones
    0x16, 0x16,                                // SYN  3 ones
    0x01,                                      // SOH  1
    0x32,                                      // '2'  3
    0xAE, 0xCE, 0x31, 0x32, 0xB3, 0xC1, 0xC2,  // ".N123AB": 4 4 3 3 4 2 2
    0x15,                                      // NAK  3
    0xC8, 0x31,                                // "H1": 2 3
    0x34,                                      // '4'  3
    0x02,                                      // STX  1
    0xCD, 0xB0, 0x31, 0xC1,                    // "M01A": 4 2 3 2
    0xC2, 0xC1, 0xB0, 0x31, 0x32, 0xB3,        // "BA0123": 2 2 2 3 3 4
    0x4F, 0xCB, 0x0D, 0x8A,                    // "OK" CR LF: 5 4 3 2
    0x83,                                      // ETX  2
    0x98, 0x57,                                // BCS, low byte first
    0x7F,                                      // DEL  7
};

inline Recording render_one(const Frame& f, const SynthOptions& o, Placement p,
                            std::int64_t total = 0) {
    Recording r;
    std::string error;
    EXPECT_TRUE(synthesize({f}, {p}, total, o, r, error)) << error;
    return r;
}

// Zero crossings (in samples, interpolated) of the samples around 128: between
// two non-zero samples of opposite sign with only zero-level samples between.
inline std::vector<double> zero_crossings(const Bytes& s) {
    std::vector<double> out;
    std::size_t last = s.size();
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == 128) continue;
        if (last < s.size() && (s[last] > 128) != (s[i] > 128)) {
            const double a = s[last] - 128.0, b = s[i] - 128.0;
            out.push_back(last + (i - last) * a / (a - b));
        }
        last = i;
    }
    return out;
}

// Share of the power of x that lies between lo and hi Hz, from an averaged
// periodogram.
inline double band_share(const std::vector<double>& x, double rate, double lo, double hi) {
    constexpr unsigned n = 4096;
    std::vector<std::complex<float>> in(n), out(n);
    fftplan plan = fft_create_plan(n, in.data(), out.data(), LIQUID_FFT_FORWARD, 0);
    double in_band = 0, total = 0;
    for (std::size_t start = 0; start + n <= x.size(); start += n) {
        for (unsigned i = 0; i < n; ++i) in[i] = static_cast<float>(x[start + i]);
        fft_execute(plan);
        for (unsigned k = 0; k < n; ++k) {
            const double f = (k <= n / 2 ? k : n - k) * rate / n;
            const double p = std::norm(std::complex<double>(out[k]));
            total += p;
            if (f >= lo && f <= hi) in_band += p;
        }
    }
    fft_destroy_plan(plan);
    return in_band / total;
}

inline double mean_square(const std::vector<double>& x) {
    double s = 0;
    for (double v : x) s += v * v;
    return s / static_cast<double>(x.size());
}

}  // namespace korvad::synth
