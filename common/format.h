#pragma once
// The one checked formatting helper for korvad's printf-style texts.
//
// Every text the system produces from a format ("Good: %ld, Upl: %ld, ...",
// "Aircraft '%s' was added to your database", ...) goes through these, so the
// compiler checks each format against its arguments. A text that came from a
// client, a store or the air is only ever passed as the value of a "%s".

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <string>

#define KORVAD_PRINTF(fmt_index, first_arg) __attribute__((format(printf, fmt_index, first_arg)))

namespace korvad {

// Formats into a new string of any length.
std::string format_text(const char* format, ...) KORVAD_PRINTF(1, 2);
std::string vformat_text(const char* format, va_list args) KORVAD_PRINTF(1, 0);

// Formats into buffer[0 .. size-1], always NUL-terminated when size > 0; a longer
// text is cut. Returns the number of bytes stored, terminator not counted.
std::size_t format_into(char* buffer, std::size_t size, const char* format, ...)
    KORVAD_PRINTF(3, 4);
std::size_t vformat_into(char* buffer, std::size_t size, const char* format, va_list args)
    KORVAD_PRINTF(3, 0);

// Writes a formatted text to a stdio stream and flushes it. Returns false on a
// write error.
bool print_to(std::FILE* stream, const char* format, ...) KORVAD_PRINTF(2, 3);

}  // namespace korvad
