// The RTL-SDR dongle through librtlsdr.

#include "signal/rtlsdr_dongle.h"

#include <rtl-sdr.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <vector>

#include "common/format.h"

namespace korvad {

struct Dongle {
    rtlsdr_dev_t* device = nullptr;
    std::int64_t center_hz = 0;
    ~Dongle() {
        if (device != nullptr) rtlsdr_close(device);
    }
};

void DongleDeleter::operator()(Dongle* dongle) const {
    delete dongle;
}

namespace {

// The index that id names among count dongles; -1 with error set.
int find_dongle(const std::string& id, std::uint32_t count, std::string& error) {
    if (count == 0) {
        error = "no RTL-SDR dongle found";
        return -1;
    }
    if (id.empty()) return 0;
    char* end = nullptr;
    errno = 0;
    const unsigned long index = std::strtoul(id.c_str(), &end, 10);
    const bool number = id.find_first_not_of("0123456789") == std::string::npos;
    if (number && errno == 0 && *end == '\0' && index < count) return static_cast<int>(index);
    const int by_serial = rtlsdr_get_index_by_serial(id.c_str());
    if (by_serial >= 0) return by_serial;
    error = format_text("no RTL-SDR dongle with index or serial '%s' (%u found)", id.c_str(),
                        static_cast<unsigned>(count));
    return -1;
}

// The gain the tuner has nearest to the one asked, tenths of a dB.
int nearest_gain(rtlsdr_dev_t* device, int wanted) {
    const int n = rtlsdr_get_tuner_gains(device, nullptr);
    if (n <= 0) return wanted;
    std::vector<int> gains(static_cast<std::size_t>(n));
    rtlsdr_get_tuner_gains(device, gains.data());
    int best = gains[0];
    for (int g : gains) {
        if (std::abs(g - wanted) < std::abs(best - wanted)) best = g;
    }
    return best;
}

}  // namespace

std::string check_dongle_rate(int rate) {
    if ((rate >= 225001 && rate <= 300000) || (rate >= 900001 && rate <= 3200000)) return {};
    return format_text(
        "an RTL-SDR dongle takes 225001 to 300000 or 900001 to 3200000 samples/s, not %d", rate);
}

DonglePtr open_dongle(const DongleSetup& setup, std::string& error) {
    error = check_dongle_rate(setup.rate);
    if (!error.empty()) return nullptr;
    if (setup.center_hz <= 0 || setup.center_hz > UINT32_MAX) {
        error = format_text("an RTL-SDR dongle cannot tune to %.4f MHz", setup.center_hz / 1e6);
        return nullptr;
    }
    const int index = find_dongle(setup.id, rtlsdr_get_device_count(), error);
    if (index < 0) return nullptr;
    DonglePtr d(new Dongle);
    if (rtlsdr_open(&d->device, static_cast<std::uint32_t>(index)) != 0 || d->device == nullptr) {
        d->device = nullptr;
        error = format_text("cannot open RTL-SDR dongle %d (in use by another program?)", index);
        return nullptr;
    }
    if (setup.ppm != 0 && rtlsdr_set_freq_correction(d->device, setup.ppm) != 0) {
        error = format_text("RTL-SDR dongle %d refuses a correction of %d ppm", index, setup.ppm);
        return nullptr;
    }
    if (rtlsdr_set_sample_rate(d->device, static_cast<std::uint32_t>(setup.rate)) != 0) {
        error = format_text("RTL-SDR dongle %d refuses %d samples/s", index, setup.rate);
        return nullptr;
    }
    if (rtlsdr_set_center_freq(d->device, static_cast<std::uint32_t>(setup.center_hz)) != 0) {
        error =
            format_text("RTL-SDR dongle %d cannot tune to %.4f MHz", index, setup.center_hz / 1e6);
        return nullptr;
    }
    bool gain_set;
    if (setup.gain_tenths_db) {
        gain_set =
            rtlsdr_set_tuner_gain_mode(d->device, 1) == 0 &&
            rtlsdr_set_tuner_gain(d->device, nearest_gain(d->device, *setup.gain_tenths_db)) == 0;
    } else {
        gain_set = rtlsdr_set_tuner_gain_mode(d->device, 0) == 0;
    }
    if (!gain_set) {
        error = format_text("RTL-SDR dongle %d refuses the gain setting", index);
        return nullptr;
    }
    if (rtlsdr_reset_buffer(d->device) != 0) {
        error = format_text("RTL-SDR dongle %d does not start its transfers", index);
        return nullptr;
    }
    const std::uint32_t tuned = rtlsdr_get_center_freq(d->device);
    d->center_hz = tuned != 0 ? tuned : setup.center_hz;
    return d;
}

std::int64_t dongle_center_hz(const Dongle& dongle) {
    return dongle.center_hz;
}

int read_dongle(Dongle& dongle, std::uint8_t* out, int bytes) {
    int got = 0;
    if (rtlsdr_read_sync(dongle.device, out, bytes, &got) != 0) return -1;
    return got;
}

}  // namespace korvad
