// korvad: the ACARS decoder.

#include <cstdio>

#include "common/format.h"
#include "control/settings.h"
#include "control/version.h"

int main(int argc, char** argv) {
    using namespace korvad;
    print_to(stdout, kBannerFormat, kProgramName, kVersion, kNotice, kSecondLine);
    Settings settings;
    if (parse_options(argc, argv, settings) == OptionsResult::kHelpShown) return 0;
    return 0;
}
