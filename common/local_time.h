#pragma once
// Times as the operator reads them: local time through a strftime pattern.

#include <ctime>
#include <string>

namespace korvad {

// The local time of t written with pattern (strftime); empty when t has no
// local time or the text would exceed 127 bytes.
std::string local_time_text(std::time_t t, const char* pattern)
    __attribute__((format(strftime, 2, 0)));

}  // namespace korvad
