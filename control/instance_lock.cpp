#include "control/instance_lock.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "common/format.h"

namespace korvad {

namespace {

struct flock whole_file(short type) {
    struct flock region {};
    region.l_type = type;
    region.l_whence = SEEK_SET;
    region.l_start = 0;
    region.l_len = 0;
    return region;
}

// The id the holder wrote, for when the kernel cannot tell (another host
// sharing the folder).
pid_t written_holder(int fd) {
    char text[32] = {};
    ssize_t n = pread(fd, text, sizeof text - 1, 0);
    if (n <= 0) return 0;
    long pid = std::strtol(text, nullptr, 10);
    return pid > 0 ? static_cast<pid_t>(pid) : 0;
}

}  // namespace

LockResult take_instance_lock(InstanceLock& lock, const std::string& folder) {
    LockResult result;
    result.path = folder.empty() ? std::string(kLockFile) : folder + "/" + kLockFile;
    // Never through a link, never hanging on a FIFO planted at the name.
    int fd =
        open(result.path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    struct stat info {};
    if (fd >= 0 && (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))) {
        close(fd);
        fd = -1;
        errno = EINVAL;
        result.reason = "not a regular file";
        return result;
    }
    if (fd < 0) {
        if (result.reason.empty()) result.reason = std::strerror(errno);
        return result;
    }
    struct flock region = whole_file(F_WRLCK);
    if (fcntl(fd, F_SETLK, &region) != 0) {
        const int error = errno;
        if (error == EACCES || error == EAGAIN) {
            struct flock probe = whole_file(F_WRLCK);
            result.outcome = LockOutcome::taken;
            result.holder = fcntl(fd, F_GETLK, &probe) == 0 && probe.l_type != F_UNLCK
                                ? probe.l_pid
                                : written_holder(fd);
        } else {
            result.reason = std::strerror(error);
        }
        close(fd);
        return result;
    }
    const std::string pid = format_text("%ld\n", static_cast<long>(getpid()));
    if (ftruncate(fd, 0) == 0) {
        ssize_t ignored = pwrite(fd, pid.data(), pid.size(), 0);
        (void)ignored;  // the lock itself is what counts
    }
    lock.fd = fd;
    result.outcome = LockOutcome::held;
    return result;
}

void release_instance_lock(InstanceLock& lock) {
    if (lock.fd < 0) return;
    close(lock.fd);
    lock.fd = -1;
}

}  // namespace korvad
