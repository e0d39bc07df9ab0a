// The MSK receiver: its construction, and the loop that takes each block of
// input through the filters, the search and the frame trackers.

#include "signal/msk_receiver.h"

#include <algorithm>

#include "signal/msk_chain.h"

namespace korvad {

void MskChainDeleter::operator()(MskChain* chain) const {
    delete chain;
}

std::unique_ptr<MskReceiver> make_msk_receiver(int sample_rate) {
    if (sample_rate < kMskMinSampleRate || sample_rate > kMskMaxSampleRate) return nullptr;
    auto r = std::make_unique<MskReceiver>();
    r->sample_rate = sample_rate;
    r->chain.reset(new MskChain);
    MskChain& c = *r->chain;
    std::vector<float> matched_taps;
    if (!msk::make_filters(c, sample_rate, matched_taps)) return nullptr;
    msk::prepare_search(c, matched_taps);
    msk::prepare_trackers(c);
    c.frame.reserve(kFrameBufferSize + 1);
    return r;
}

void msk_receive(MskReceiver& r, const std::uint8_t* samples, int count, const PassSink& sink) {
    if (samples == nullptr || count <= 0 || !r.chain) return;
    MskChain& c = *r.chain;
    int done = 0;
    while (done < count) {
        const int take = std::min(msk::kBlockInputs - c.decimation, count - done);
        const int produced = msk::filter_block(c, samples + done, take);
        done += take;
        r.samples_taken += take;
        for (int i = 0; i < produced; ++i) msk::search_sample(r, c.filtered[i]);
        for (msk::Tracker& t : c.trackers) {
            if (t.active) msk::run_tracker(r, t, sink);
        }
    }
}

}  // namespace korvad
