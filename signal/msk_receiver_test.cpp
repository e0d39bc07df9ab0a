// The MSK receiver over synthesized audio: exact frames at every rate korvad
// may run at, the same result however the audio is cut into reads, frames
// longer than many reads, and nothing at all from audio without a frame.

#include "signal/msk_receiver.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <numbers>
#include <span>
#include <string>
#include <vector>

#include "signal/frame.h"
#include "tools/synth/random.h"
#include "tools/synth/synth.h"

namespace korvad {
namespace {

struct Received {
    std::vector<FrameRecord> records;
    std::vector<std::int64_t> ends;  // frame_end_position of each
    // The bytes the signs of each frame's soft decisions spell, '*' to BCS.
    std::vector<std::vector<std::uint8_t>> soft_bytes;
    MskReceiver* receiver = nullptr;
};

std::vector<std::uint8_t> bytes_of_signs(std::span<const float> soft) {
    std::vector<std::uint8_t> bytes(soft.size() / 8, 0);
    for (std::size_t i = 0; i < bytes.size() * 8; ++i) {
        if (soft[i] > 0.0f) bytes[i / 8] |= static_cast<std::uint8_t>(1u << (i % 8));
    }
    return bytes;
}

void keep(void* context, FrameTable& table) {
    auto* out = static_cast<Received*>(context);
    ASSERT_EQ(table.count, 1);
    out->records.push_back(table.records[0]);
    out->ends.push_back(out->receiver->frame_end_position);
    const std::span<const float> soft = out->receiver->frame_soft_bits;
    EXPECT_EQ(soft.size(), 8 * static_cast<std::size_t>(table.records[0].end_index + 3));
    out->soft_bytes.push_back(bytes_of_signs(soft));
}

// Hands the samples to a fresh receiver in pieces of the given sizes (cycled),
// then a little silence so the last frame completes.
Received receive(const std::vector<std::uint8_t>& samples, int rate,
                 std::vector<int> pieces = {40000}) {
    Received out;
    std::unique_ptr<MskReceiver> r = make_msk_receiver(rate);
    EXPECT_TRUE(r);
    if (!r) return out;
    out.receiver = r.get();
    const PassSink sink{keep, &out};
    std::size_t at = 0, piece = 0;
    while (at < samples.size()) {
        const std::size_t n = std::min<std::size_t>(
            static_cast<std::size_t>(pieces[piece % pieces.size()]), samples.size() - at);
        msk_receive(*r, samples.data() + at, static_cast<int>(n), sink);
        at += n;
        ++piece;
    }
    const std::vector<std::uint8_t> silence(static_cast<std::size_t>(rate / 10), 128);
    msk_receive(*r, silence.data(), static_cast<int>(silence.size()), sink);
    EXPECT_EQ(r->samples_taken, static_cast<std::int64_t>(samples.size() + silence.size()));
    EXPECT_EQ(r->counters.frames, out.records.size());
    return out;
}

// The record decode_frame makes of the bytes as sent (with the DEL after the BCS).
FrameRecord record_of(std::vector<std::uint8_t> bytes) {
    auto table = std::make_unique<FrameTable>();
    table->clear();
    decode_frame(*table, bytes.data(), static_cast<int>(bytes.size()));
    EXPECT_EQ(table->count, 1);
    return table->records[0];
}

bool same_record(const FrameRecord& a, const FrameRecord& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

synth::Recording sequential(const std::vector<synth::Frame>& frames, const synth::SynthOptions& o) {
    synth::SequentialLayout layout;
    layout.first_sample = o.sample_rate / 5;
    layout.gap_samples = o.sample_rate / 4;
    std::vector<synth::Placement> at;
    std::string error;
    synth::Recording rec;
    EXPECT_TRUE(synth::layout_sequential(frames, o, layout, at, error)) << error;
    EXPECT_TRUE(synth::synthesize(frames, at, 0, o, rec, error)) << error;
    rec.samples.resize(rec.samples.size() + static_cast<std::size_t>(o.sample_rate / 5), 128);
    return rec;
}

// Every sent frame came out once, as the record decode_frame makes of the
// sent bytes, and where it ended on the air.
void expect_all_exactly(const synth::Recording& rec, const Received& got,
                        const synth::SynthOptions& o) {
    ASSERT_EQ(got.records.size(), rec.frames.size());
    const double samples_per_bit = o.sample_rate * (1.0 + o.clock_ppm * 1e-6) / 2400.0;
    for (std::size_t i = 0; i < rec.frames.size(); ++i) {
        const FrameRecord expected = record_of(rec.frames[i].bytes);
        EXPECT_TRUE(same_record(got.records[i], expected)) << "frame " << i;
        EXPECT_EQ(got.records[i].crc, 0);
        EXPECT_EQ(got.records[i].terminated, 1);
        EXPECT_EQ(got.records[i].error_count, 0);
        // The BCS ends where the DEL begins, 8 bits before the block's end.
        const double bcs_end = static_cast<double>(rec.frames[i].end_sample) - 8 * samples_per_bit;
        EXPECT_NEAR(static_cast<double>(got.ends[i]), bcs_end, 2.0) << "frame " << i;
        // Clean audio needs no repair: the soft decisions' signs are the bytes
        // sent, all but the closing DEL.
        const std::vector<std::uint8_t>& sent = rec.frames[i].bytes;
        EXPECT_EQ(got.soft_bytes[i], std::vector<std::uint8_t>(sent.begin(), sent.end() - 1))
            << "frame " << i;
    }
}

TEST(MskReceiver, OnlyUsableRatesGetAReceiver) {
    EXPECT_FALSE(make_msk_receiver(0));
    EXPECT_FALSE(make_msk_receiver(kMskMinSampleRate - 1));
    EXPECT_FALSE(make_msk_receiver(kMskMaxSampleRate + 1));
    EXPECT_TRUE(make_msk_receiver(kMskMinSampleRate));
    EXPECT_TRUE(make_msk_receiver(kMskMaxSampleRate));
}

TEST(MskReceiver, DecodesEveryFrameExactlyAtTheRatesKorvadRunsAt) {
    const std::vector<synth::Frame> frames = synth::generate_frames(31, 12);
    std::vector<synth::SynthOptions> variants;
    for (int rate : {19500, 22050, 48000}) {
        for (double snr : {0.0, 10.0}) {
            synth::SynthOptions o;
            o.sample_rate = rate;
            o.seed = static_cast<std::uint64_t>(rate);
            if (snr > 0) o.snr_db = snr;
            variants.push_back(o);
        }
    }
    // A sound card 0.5 % off, and a weak signal with hum and DC.
    for (double ppm : {-5000.0, 5000.0}) {
        synth::SynthOptions o;
        o.clock_ppm = ppm;
        o.snr_db = 15;
        variants.push_back(o);
    }
    synth::SynthOptions weak;
    weak.level = 0.05;
    weak.dc_offset = -0.4;
    weak.hum = 0.1;
    variants.push_back(weak);
    for (const synth::SynthOptions& o : variants) {
        SCOPED_TRACE(testing::Message()
                     << o.sample_rate << " samples/s, SNR " << o.snr_db.value_or(0) << ", "
                     << o.clock_ppm << " ppm, level " << o.level);
        const synth::Recording rec = sequential(frames, o);
        expect_all_exactly(rec, receive(rec.samples, o.sample_rate), o);
    }
}

TEST(MskReceiver, HowTheAudioIsCutIntoReadsDoesNotMatter) {
    synth::SynthOptions o;
    o.snr_db = 9;
    const synth::Recording rec = sequential(synth::generate_frames(33, 12), o);
    const Received whole =
        receive(rec.samples, o.sample_rate, {static_cast<int>(rec.samples.size())});
    ASSERT_GE(whole.records.size(), 10u);
    for (const std::vector<int>& pieces :
         std::vector<std::vector<int>>{{40000}, {1}, {7, 1, 4093, 333}}) {
        const Received cut = receive(rec.samples, o.sample_rate, pieces);
        ASSERT_EQ(cut.records.size(), whole.records.size());
        for (std::size_t i = 0; i < cut.records.size(); ++i) {
            EXPECT_TRUE(same_record(cut.records[i], whole.records[i]));
            EXPECT_EQ(cut.ends[i], whole.ends[i]);
        }
    }
}

TEST(MskReceiver, AFrameLongerThanManyReadsIsDecoded) {
    // 3800 text characters: about 250000 samples, six reads and more.
    synth::Frame f = synth::generate_frames(34, 1).front();
    f.text.clear();
    for (int i = 0; i < 3800; ++i) f.text.push_back(static_cast<char>(' ' + i % 90));
    synth::SynthOptions o;
    o.snr_db = 12;
    const synth::Recording rec = sequential({f, synth::generate_frames(35, 1).front()}, o);
    ASSERT_GT(rec.frames[0].end_sample - rec.frames[0].start_sample, 6 * 40000);
    expect_all_exactly(rec, receive(rec.samples, o.sample_rate), o);
}

TEST(MskReceiver, AudioWithoutAFrameGivesNothing) {
    const int rate = 19500;
    const std::int64_t length = 60LL * rate;
    std::vector<std::vector<std::uint8_t>> inputs;
    inputs.emplace_back(static_cast<std::size_t>(length), 128);  // silence
    synth::Random random(36);
    std::vector<std::uint8_t> uniform(static_cast<std::size_t>(length));
    for (auto& s : uniform) s = static_cast<std::uint8_t>(random.next());
    inputs.push_back(uniform);
    for (double snr : {0.0, 10.0}) {
        // White noise as loud as a frame at this SNR would bring, no frame.
        synth::SynthOptions o;
        o.snr_db = snr;
        synth::Recording rec;
        std::string error;
        ASSERT_TRUE(synth::synthesize({}, {}, length, o, rec, error)) << error;
        inputs.push_back(rec.samples);
    }
    // A pre-key that never ends in a bit sync: a steady 2400 Hz tone.
    std::vector<std::uint8_t> tone(static_cast<std::size_t>(length));
    for (std::size_t i = 0; i < tone.size(); ++i) {
        tone[i] = static_cast<std::uint8_t>(
            128 + std::lround(
                      60 * std::sin(2 * std::numbers::pi * 2400 * static_cast<double>(i) / rate)));
    }
    inputs.push_back(tone);
    for (std::size_t k = 0; k < inputs.size(); ++k) {
        const Received got = receive(inputs[k], rate);
        EXPECT_TRUE(got.records.empty()) << "input " << k;
    }
}

TEST(MskReceiver, KeepsDecodingAfterHoursOfAudio) {
    // The search's running sums are rebased every 2^22 baseband samples (2^23
    // input samples at 19500/s); frames around that point decode as any other.
    synth::SynthOptions o;
    o.snr_db = 12;
    const synth::Recording rec = sequential(synth::generate_frames(40, 6), o);
    std::unique_ptr<MskReceiver> r = make_msk_receiver(o.sample_rate);
    Received got;
    got.receiver = r.get();
    const std::vector<std::uint8_t> silence(40000, 128);
    const std::int64_t lead = (std::int64_t{1} << 23) - 3 * 19500;
    while (r->samples_taken < lead) {
        const auto n = static_cast<int>(std::min<std::int64_t>(40000, lead - r->samples_taken));
        msk_receive(*r, silence.data(), n, PassSink{keep, &got});
    }
    msk_receive(*r, rec.samples.data(), static_cast<int>(rec.samples.size()), PassSink{keep, &got});
    ASSERT_EQ(got.records.size(), rec.frames.size());
    for (std::size_t i = 0; i < got.records.size(); ++i) {
        EXPECT_TRUE(same_record(got.records[i], record_of(rec.frames[i].bytes)));
        const double bcs_end =
            static_cast<double>(lead + rec.frames[i].end_sample) - 8 * 19500 / 2400.0;
        EXPECT_NEAR(static_cast<double>(got.ends[i]), bcs_end, 2.0);
    }
}

// Bits on the air to 8-bit audio, as a transmitter keys them: a bit equal to
// its predecessor is one cycle of 2400 Hz, a changed bit half a cycle of 1200
// Hz, phase continuous.
std::vector<std::uint8_t> key(const std::vector<std::uint8_t>& bits, int rate) {
    std::vector<std::uint8_t> out(static_cast<std::size_t>(rate / 5), 128);
    const double samples_per_bit = rate / 2400.0;
    int previous = 1, sign = 1;
    for (std::size_t i = 0; i < bits.size(); ++i) {
        const bool same = bits[i] == previous;
        const auto first =
            static_cast<std::int64_t>(std::ceil(static_cast<double>(i) * samples_per_bit));
        const auto last =
            static_cast<std::int64_t>(std::ceil(static_cast<double>(i + 1) * samples_per_bit));
        for (std::int64_t n = first; n < last; ++n) {
            const double tau =
                (static_cast<double>(n) - static_cast<double>(i) * samples_per_bit) / rate;
            const double hz = same ? 2400.0 : 1200.0;
            out.push_back(static_cast<std::uint8_t>(
                128 + std::lround(60.0 * sign * std::sin(2 * std::numbers::pi * hz * tau))));
        }
        if (!same) sign = -sign;
        previous = bits[i];
    }
    out.resize(out.size() + static_cast<std::size_t>(rate / 5), 128);
    return out;
}

std::vector<std::uint8_t> block_bits(const std::vector<std::uint8_t>& bytes) {
    std::vector<std::uint8_t> bits(128, 1);  // pre-key
    auto put = [&bits](std::uint8_t b) {
        for (int i = 0; i < 8; ++i) bits.push_back((b >> i) & 1);
    };
    put(0xAB);  // '+' with its parity bit
    for (std::uint8_t b : bytes) put(b);
    return bits;
}

TEST(MskReceiver, ABlockWithFourSynIsTakenInTheTwoSynLayout) {
    std::vector<std::uint8_t> bytes = synth::frame_air_bytes(synth::generate_frames(37, 1).front());
    const FrameRecord expected = record_of(bytes);
    const std::vector<std::uint8_t> sent = bytes;
    bytes.insert(bytes.begin() + 3, {kSyn, kSyn});
    const Received got = receive(key(block_bits(bytes), 19500), 19500);
    ASSERT_EQ(got.records.size(), 1u);
    EXPECT_TRUE(same_record(got.records[0], expected));
    EXPECT_EQ(got.soft_bytes[0], std::vector<std::uint8_t>(sent.begin(), sent.end() - 1));
}

TEST(MskReceiver, ABlockSentWithAWrongBitIsNotShown) {
    // The block check and parity point at the bit, but it came in as sure as
    // any other: the transmitter sent it so, and noise did not turn it.
    const std::vector<std::uint8_t> sent =
        synth::frame_air_bytes(synth::generate_frames(38, 1).front());
    std::vector<std::uint8_t> bytes = sent;
    bytes[20] ^= 0x04;
    std::unique_ptr<MskReceiver> r = make_msk_receiver(19500);
    int frames = 0;
    const PassSink sink{[](void* c, FrameTable&) { ++*static_cast<int*>(c); }, &frames};
    const std::vector<std::uint8_t> audio = key(block_bits(bytes), 19500);
    msk_receive(*r, audio.data(), static_cast<int>(audio.size()), sink);
    EXPECT_EQ(frames, 0);
    EXPECT_EQ(r->counters.syncs, 1u);
    EXPECT_EQ(r->counters.lost, 1u);
    // The same block as sent comes through.
    const std::vector<std::uint8_t> good = key(block_bits(sent), 19500);
    msk_receive(*r, good.data(), static_cast<int>(good.size()), sink);
    EXPECT_EQ(frames, 1);
}

}  // namespace
}  // namespace korvad
