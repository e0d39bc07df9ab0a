#include "common/regular_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace korvad {

const char* file_kind_text(mode_t mode) {
    if (S_ISDIR(mode)) return "a folder";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISSOCK(mode)) return "a socket";
    if (S_ISLNK(mode)) return "a symbolic link";
    if (S_ISREG(mode)) return "a regular file";
    return "not a file";
}

OpenedFile open_regular_file(const char* path, bool follow_links) {
    OpenedFile opened;
    int flags = O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;
    if (!follow_links) flags |= O_NOFOLLOW;
    int fd = open(path, flags);
    if (fd < 0) {
        const int error = errno;
        if (error == ENOENT || error == ENOTDIR) {
            opened.problem = FileProblem::missing;
        } else if (error == ELOOP && !follow_links) {
            opened.problem = FileProblem::not_regular;
            opened.reason = "not a regular file (a symbolic link)";
            return opened;
        } else {
            opened.problem = FileProblem::unreadable;
        }
        opened.reason = std::strerror(error);
        return opened;
    }
    if (fstat(fd, &opened.info) != 0) {
        opened.problem = FileProblem::unreadable;
        opened.reason = std::strerror(errno);
        close(fd);
        return opened;
    }
    if (!S_ISREG(opened.info.st_mode)) {
        opened.problem = FileProblem::not_regular;
        opened.reason =
            std::string("not a regular file (") + file_kind_text(opened.info.st_mode) + ")";
        close(fd);
        return opened;
    }
    // Reads of a regular file never wait; blocking again all the same, so a
    // stdio stream over it sees no EAGAIN.
    int status = fcntl(fd, F_GETFL);
    if (status >= 0) (void)fcntl(fd, F_SETFL, status & ~O_NONBLOCK);
    opened.fd = fd;
    opened.problem = FileProblem::none;
    return opened;
}

std::FILE* open_regular_stream(const char* path, bool follow_links, OpenedFile& opened) {
    opened = open_regular_file(path, follow_links);
    if (opened.problem != FileProblem::none) return nullptr;
    std::FILE* stream = fdopen(opened.fd, "rb");
    if (stream == nullptr) {
        opened.problem = FileProblem::unreadable;
        opened.reason = std::strerror(errno);
        close(opened.fd);
        opened.fd = -1;
    }
    return stream;
}

}  // namespace korvad
