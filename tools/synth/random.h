#pragma once
// The synthesizer's own random numbers: splitmix64 seeding xoshiro256**, with
// Box-Muller for Gaussian values. Written out here (not <random>'s
// distributions) so that a seed gives the same recording with every standard
// library, on every host.

#include <cmath>
#include <cstdint>
#include <numbers>

namespace korvad::synth {

inline std::uint64_t splitmix64(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

class Random {
  public:
    // stream tells apart the independent sequences drawn from one seed (noise,
    // placement, frame generation), so one does not shift when another changes.
    explicit Random(std::uint64_t seed, std::uint64_t stream = 0) {
        std::uint64_t s = seed ^ (stream * 0xD1B54A32D192ED03ULL);
        for (auto& word : state_) word = splitmix64(s);
    }

    std::uint64_t next() {
        const std::uint64_t result = rotl(state_[1] * 5, 7) * 9;
        const std::uint64_t t = state_[1] << 17;
        state_[2] ^= state_[0];
        state_[3] ^= state_[1];
        state_[1] ^= state_[2];
        state_[0] ^= state_[3];
        state_[2] ^= t;
        state_[3] = rotl(state_[3], 45);
        return result;
    }

    // Uniform in [0, 1), 53 bits.
    double uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }

    // Uniform integer in [0, n), n > 0, without modulo bias.
    std::uint64_t below(std::uint64_t n) {
        const std::uint64_t limit = UINT64_MAX - UINT64_MAX % n;
        std::uint64_t x;
        do {
            x = next();
        } while (x >= limit);
        return x % n;
    }

    // Uniform integer in [lo, hi].
    int between(int lo, int hi) {
        return lo + static_cast<int>(below(static_cast<std::uint64_t>(hi - lo) + 1));
    }

    bool chance(double p) { return uniform() < p; }

    // Standard normal (mean 0, variance 1), Box-Muller; the second value of
    // each pair is kept for the next call.
    double gaussian() {
        if (has_spare_) {
            has_spare_ = false;
            return spare_;
        }
        double u1;
        do {
            u1 = uniform();
        } while (u1 <= 0.0);
        const double u2 = uniform();
        const double r = std::sqrt(-2.0 * std::log(u1));
        const double a = 2.0 * std::numbers::pi * u2;
        spare_ = r * std::sin(a);
        has_spare_ = true;
        return r * std::cos(a);
    }

  private:
    static std::uint64_t rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

    std::uint64_t state_[4];
    double spare_ = 0.0;
    bool has_spare_ = false;
};

}  // namespace korvad::synth
