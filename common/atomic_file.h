#pragma once
// Whole-file saves that never destroy the last good copy.
//
// The new contents go to a temporary file created exclusively (never through a
// link or a file planted by someone else) in the same folder as the target;
// only when every byte was written, flushed and synced is it renamed over the
// target. A crash, a kill or a full disk leaves either the old or the new file.

#include <cstdio>
#include <functional>
#include <string>

namespace korvad {

// Calls write(stream) on the temporary file; the save happens only when it
// returns true and the stream reports no error. Returns true when the target
// now holds the new contents. mode is the permission of a newly made file
// before the umask.
[[nodiscard]] bool save_atomically(const std::string& path,
                                   const std::function<bool(std::FILE*)>& write,
                                   unsigned mode = 0666);

}  // namespace korvad
