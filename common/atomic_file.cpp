#include "common/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/regular_file.h"

namespace korvad {

namespace {

constexpr int kMaxLinks = 16;

void set_reason(std::string* reason, const std::string& text) {
    if (reason != nullptr) *reason = text;
}

std::string folder_of(const std::string& path) {
    std::string::size_type slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

}  // namespace

std::string save_target(const std::string& path, bool keep_existing) {
    std::string target = path;
    if (!keep_existing) return target;
    for (int i = 0; i < kMaxLinks; ++i) {
        struct stat info {};
        if (lstat(target.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return target;
        std::vector<char> link(static_cast<std::size_t>(info.st_size > 0 ? info.st_size : 255) + 2);
        ssize_t n = readlink(target.c_str(), link.data(), link.size() - 1);
        if (n <= 0) return target;
        std::string next(link.data(), static_cast<std::size_t>(n));
        target = next.front() == '/' ? next : folder_of(target) + next;
    }
    return target;
}

bool save_atomically(const std::string& path, const std::function<bool(std::FILE*)>& write,
                     const SaveOptions& options, std::string* reason) {
    const std::string target = save_target(path, options.keep_existing);
    struct stat existing {};
    const bool exists = lstat(target.c_str(), &existing) == 0;
    if (options.keep_existing && exists && !S_ISREG(existing.st_mode)) {
        // A folder or FIFO in the way is never replaced by a file.
        set_reason(reason,
                   std::string("not a regular file (") + file_kind_text(existing.st_mode) + ")");
        return false;
    }

    std::string pattern = target + kTemporarySuffix + std::string(kTemporaryRandomLength, 'X');
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    int fd = mkstemp(name.data());  // O_CREAT | O_EXCL: never an existing file or link
    if (fd < 0) {
        set_reason(reason, std::strerror(errno));
        return false;
    }

    mode_t mode = 0;
    if (options.keep_existing && exists) {
        mode = existing.st_mode & 07777;
        // Only root may give a file away; anyone else keeps their own.
        if (geteuid() == 0) (void)fchown(fd, existing.st_uid, existing.st_gid);
    } else {
        mode_t mask = umask(0);
        umask(mask);
        mode = static_cast<mode_t>(options.mode) & ~mask;
    }
    int error = fchmod(fd, mode) == 0 ? 0 : errno;

    std::FILE* stream = error == 0 ? fdopen(fd, "wb") : nullptr;
    if (stream == nullptr) {
        if (error == 0) error = errno;
        close(fd);
        unlink(name.data());
        set_reason(reason, std::strerror(error));
        return false;
    }
    bool ok = write(stream);
    if (!ok || std::ferror(stream)) error = errno;
    if (std::fflush(stream) != 0 && error == 0) error = errno;
    ok = ok && error == 0 && !std::ferror(stream);
    if (ok && fsync(fileno(stream)) != 0) {
        error = errno;
        ok = false;
    }
    if (std::fclose(stream) != 0 && ok) {
        error = errno;
        ok = false;
    }
    if (ok && std::rename(name.data(), target.c_str()) == 0) return true;
    if (ok) error = errno;
    unlink(name.data());
    set_reason(reason, error != 0 ? std::strerror(error) : "the contents could not be written");
    return false;
}

}  // namespace korvad
