#pragma once
// An RTL-SDR dongle through librtlsdr: the only code that talks to one.
//
// The dongle is opened by index or by the serial number in its USB strings,
// set to a sample rate it takes (225001-300000 or 900001-3200000 samples/s),
// tuned, given its crystal correction (librtlsdr corrects the oscillator and
// the sample clock itself) and its gain (automatic, or the nearest it has),
// and read synchronously in whole USB transfers of cu8 pairs.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace korvad {

struct DongleSetup {
    std::string id;  // what follows "rtlsdr:": an index, or a serial number
    int rate = 2'400'000;
    std::int64_t center_hz = 0;
    int ppm = 0;
    std::optional<int> gain_tenths_db;  // none: automatic
};

// Empty when a dongle takes rate, else the reason.
[[nodiscard]] std::string check_dongle_rate(int rate);

struct Dongle;
struct DongleDeleter {
    void operator()(Dongle* dongle) const;
};
using DonglePtr = std::unique_ptr<Dongle, DongleDeleter>;

// Null with the reason in error: no dongle, no such index or serial, in use
// by another program, a rate or frequency it refuses.
[[nodiscard]] DonglePtr open_dongle(const DongleSetup& setup, std::string& error);

// The centre frequency the dongle is tuned to, Hz.
[[nodiscard]] std::int64_t dongle_center_hz(const Dongle& dongle);

// Reads bytes (a multiple of 512) of cu8 pairs. Returns the count read, or -1
// when the dongle fails (for example, unplugged).
[[nodiscard]] int read_dongle(Dongle& dongle, std::uint8_t* out, int bytes);

}  // namespace korvad
