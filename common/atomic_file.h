#pragma once
// Whole-file saves that never destroy the last good copy.
//
// The new contents go to a temporary file created exclusively (never through a
// link or a file planted by someone else) in the same folder as the target;
// only when every byte was written, flushed and synced is it renamed over the
// target. A crash, a kill or a full disk leaves either the old or the new file
// (and at worst a temporary "<target>.tmpXXXXXX" that the next start of the
// owner removes).

#include <cstdio>
#include <functional>
#include <string>

namespace korvad {

// Suffix of the temporary files: the target's name, ".tmp" and six characters.
inline constexpr char kTemporarySuffix[] = ".tmp";
inline constexpr std::size_t kTemporaryRandomLength = 6;

struct SaveOptions {
    // Permission of a newly made file, before the umask.
    unsigned mode = 0666;
    // A store of the working folder: a symbolic link at the name is followed
    // and its target replaced; an existing file keeps its mode (and its owner
    // and group, when the process may give them). Without it a link at the
    // name is replaced by the new file.
    bool keep_existing = false;
};

// Calls write(stream) on the temporary file; the save happens only when it
// returns true and the stream reports no error. Returns true when the target
// now holds the new contents; otherwise the target is untouched and reason
// (when given) says why: the system's error text, or "not a regular file
// (a folder)" when something else stands at the name.
[[nodiscard]] bool save_atomically(const std::string& path,
                                   const std::function<bool(std::FILE*)>& write,
                                   const SaveOptions& options, std::string* reason = nullptr);

[[nodiscard]] inline bool save_atomically(const std::string& path,
                                          const std::function<bool(std::FILE*)>& write,
                                          unsigned mode = 0666) {
    return save_atomically(path, write, SaveOptions{mode, false}, nullptr);
}

// The file a save of path replaces: path itself, or, with keep_existing, the
// end of the chain of symbolic links at path (up to 16 links).
[[nodiscard]] std::string save_target(const std::string& path, bool keep_existing);

}  // namespace korvad
