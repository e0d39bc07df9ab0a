// Fuzz target for loading a list file; KORVAD_FUZZ_KIND picks the item codec:
// 1 string, 2 reference, 3 contact.
#include "store/record_list_fuzz.h"
#include "store/record_list_contact.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
#if KORVAD_FUZZ_KIND == 1
    korvad::fuzz_list_load(&korvad::make_string_list, data, size);
#elif KORVAD_FUZZ_KIND == 2
    korvad::fuzz_list_load(&korvad::make_reference_list, data, size);
#elif KORVAD_FUZZ_KIND == 3
    korvad::fuzz_list_load(&korvad::make_contact_list, data, size);
#else
#error "KORVAD_FUZZ_KIND must be 1, 2 or 3"
#endif
    return 0;
}
