#pragma once
// The control file through which korvadm finds the running decoder's queue.
//
// Layout: exactly 4 bytes, the queue id as a 32-bit signed integer,
// little-endian, written and read byte by byte. Any other size is not a
// control file.
//
// The decoder may run as root and the file lies in a world-writable folder, so
// it is never written in place: a new file is made exclusively beside it and
// renamed over the name. A link or a file someone planted there is replaced,
// never written through.

#include <optional>
#include <string>

namespace korvad {

inline constexpr char kControlFilePath[] = "/tmp/.korvad";
inline constexpr unsigned kControlFileSize = 4;  // bytes

// Publishes queue_id. Returns false when the file could not be replaced (the
// decoder goes on; korvadm then reports it or finds an older id).
// reason (when given) receives the system's error text.
[[nodiscard]] bool write_control_file(int queue_id, const char* path = kControlFilePath,
                                      std::string* reason = nullptr);

// The queue id, or nothing when path is missing, unreadable, a link, not a
// regular file or not exactly 4 bytes long.
[[nodiscard]] std::optional<int> read_control_file(const char* path = kControlFilePath);

enum class ControlFileProblem { none, missing, not_regular, wrong_size, unreadable };

struct ControlFile {
    ControlFileProblem problem = ControlFileProblem::missing;
    int queue_id = -1;
    unsigned owner = 0;  // user id of the file: the korvad that wrote it
    long long size = 0;  // wrong_size: the bytes it has
    std::string reason;  // unreadable: the system's error text
};

// The same read, saying what is wrong with the file.
[[nodiscard]] ControlFile inspect_control_file(const char* path = kControlFilePath);

}  // namespace korvad
