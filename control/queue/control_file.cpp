#include "control/queue/control_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

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

bool write_control_file(int queue_id, const char* path, std::string* reason) {
    if (path == nullptr) return false;
    return save_atomically(
        path, [queue_id](std::FILE* stream) { return write_le32(stream, queue_id); },
        SaveOptions{kControlFileMode, false}, reason);
}

std::optional<int> read_control_file(const char* path) {
    ControlFile file = inspect_control_file(path);
    if (file.problem != ControlFileProblem::none) return std::nullopt;
    return file.queue_id;
}

ControlFile inspect_control_file(const char* path) {
    ControlFile result;
    if (path == nullptr) return result;
    // O_NOFOLLOW: the decoder never leaves a link here, so a link is someone
    // else's. O_NONBLOCK: a FIFO planted at the name must not hang korvadm.
    FileDescriptor file{open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC)};
    if (file.fd < 0) {
        const int error = errno;
        if (error == ENOENT) {
            result.problem = ControlFileProblem::missing;
        } else if (error == ELOOP) {
            result.problem = ControlFileProblem::not_regular;
        } else {
            result.problem = ControlFileProblem::unreadable;
            result.reason = std::strerror(error);
        }
        return result;
    }
    struct stat info {};
    if (fstat(file.fd, &info) != 0) {
        result.problem = ControlFileProblem::unreadable;
        result.reason = std::strerror(errno);
        return result;
    }
    result.owner = info.st_uid;
    if (!S_ISREG(info.st_mode)) {
        result.problem = ControlFileProblem::not_regular;
        return result;
    }
    result.size = static_cast<long long>(info.st_size);
    if (info.st_size != kControlFileSize) {
        result.problem = ControlFileProblem::wrong_size;
        return result;
    }
    // One byte more than expected proves the end (the size may have changed
    // since fstat).
    unsigned char bytes[kControlFileSize + 1];
    ssize_t got = 0;
    while (got < static_cast<ssize_t>(sizeof bytes)) {
        ssize_t n = read(file.fd, bytes + got, sizeof bytes - static_cast<size_t>(got));
        if (n < 0) {
            result.problem = ControlFileProblem::unreadable;
            result.reason = std::strerror(errno);
            return result;
        }
        if (n == 0) break;
        got += n;
    }
    if (got != kControlFileSize) {
        result.problem = ControlFileProblem::wrong_size;
        result.size = got;
        return result;
    }
    result.queue_id = get_le32s(bytes);
    result.problem = ControlFileProblem::none;
    return result;
}

}  // namespace korvad
