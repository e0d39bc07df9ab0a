#pragma once
// The page's files (web/index.html, korvadweb.css, korvadweb.js, favicon.svg), compiled
// into the program at build time, so korvadweb serves them without a file
// system and works offline.

#include <cstddef>
#include <string_view>

namespace korvad::web {

struct PageFile {
    const char* path;          // as requested: "/", "/korvadweb.js"
    const char* content_type;  // with its charset
    std::string_view bytes;
};

extern const PageFile kPageFiles[];
extern const std::size_t kPageFileCount;

}  // namespace korvad::web
