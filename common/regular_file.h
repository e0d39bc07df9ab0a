#pragma once
// Opening a file that must be a regular file (a store, a reference database,
// the control file), without ever hanging on a FIFO or a device planted at its
// name: the open does not wait (O_NONBLOCK), the descriptor is checked with
// fstat, and only then is it made blocking again for the reads.

#include <sys/stat.h>

#include <cstdio>
#include <string>

namespace korvad {

enum class FileProblem {
    none,         // opened: a regular file
    missing,      // nothing at that name (or a folder on the way is missing)
    not_regular,  // a folder, FIFO, device, socket (or a link, when links are refused)
    unreadable,   // there, but it cannot be opened for reading
};

struct OpenedFile {
    int fd = -1;  // open for reading when problem is none; the caller closes it
    FileProblem problem = FileProblem::missing;
    std::string reason;  // for the operator: "not a regular file (a folder)", strerror text
    struct stat info {};
};

// Opens path for reading. follow_links false refuses a symbolic link at the
// name itself (O_NOFOLLOW).
[[nodiscard]] OpenedFile open_regular_file(const char* path, bool follow_links);

// The same, as a stdio stream ("rb"); null with the problem filled in.
[[nodiscard]] std::FILE* open_regular_stream(const char* path, bool follow_links,
                                             OpenedFile& opened);

// "a folder", "a FIFO", "a character device", ... for a file type.
[[nodiscard]] const char* file_kind_text(mode_t mode);

}  // namespace korvad
