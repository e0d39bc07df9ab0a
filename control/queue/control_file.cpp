#include "control/queue/control_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "common/atomic_file.h"
#include "common/bytes.h"

namespace korvad {

namespace {

// Readable by every user (korvadm runs as anyone), writable by the decoder's
// user only, whatever the umask.
constexpr unsigned kControlFileMode = 0644;

// Closes a descriptor on every way out.
struct FileDescriptor {
    int fd;
    ~FileDescriptor() {
        if (fd >= 0) close(fd);
    }
};

}  // namespace

bool write_control_file(int queue_id, const char* path) {
    if (path == nullptr) return false;
    return save_atomically(
        path, [queue_id](std::FILE* stream) { return write_le32(stream, queue_id); },
        kControlFileMode);
}

std::optional<int> read_control_file(const char* path) {
    if (path == nullptr) return std::nullopt;
    // O_NOFOLLOW: the decoder never leaves a link here, so a link is someone
    // else's. O_NONBLOCK: a FIFO planted at the name must not hang korvadm.
    FileDescriptor file{open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC)};
    if (file.fd < 0) return std::nullopt;
    struct stat info {};
    if (fstat(file.fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size != kControlFileSize) {
        return std::nullopt;
    }
    // One byte more than expected proves the end (the size may have changed
    // since fstat).
    unsigned char bytes[kControlFileSize + 1];
    ssize_t got = 0;
    while (got < static_cast<ssize_t>(sizeof bytes)) {
        ssize_t n = read(file.fd, bytes + got, sizeof bytes - static_cast<size_t>(got));
        if (n < 0) return std::nullopt;
        if (n == 0) break;
        got += n;
    }
    if (got != kControlFileSize) return std::nullopt;
    return get_le32s(bytes);
}

}  // namespace korvad
