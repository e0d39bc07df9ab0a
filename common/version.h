#pragma once
// Name, version and notice texts shared by korvad and korvadm (header only, so
// korvadm links nothing of the decoder).

namespace korvad {

inline constexpr const char kProgramName[] = "korvad";
inline constexpr const char kVersion[] = "1.oo";
inline constexpr const char kNotice[] = "(C) 2026 the korvad developers";
inline constexpr const char kSecondLine[] =
    "VHF ACARS receiving station, 2400 bit/s MSK from a scanner's audio";

// "\n%s LiNUX ACARS decoder v %s - %s\n", then the second line and an empty line.
inline constexpr const char kBannerFormat[] = "\n%s LiNUX ACARS decoder v %s - %s\n%s\n\n";

}  // namespace korvad
