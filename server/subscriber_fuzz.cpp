// Fuzz target for loading a subscriber file ("korvad-reports.db").
#include "server/subscriber.h"
#include "store/record_list_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    korvad::fuzz_list_load(&korvad::make_subscriber_list, data, size);
    return 0;
}
