#include "common/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace korvad {

bool save_atomically(const std::string& path, const std::function<bool(std::FILE*)>& write,
                     unsigned mode) {
    std::string pattern = path + ".tmpXXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    int fd = mkstemp(name.data());  // O_CREAT | O_EXCL: never an existing file or link
    if (fd < 0) return false;

    mode_t mask = umask(0);
    umask(mask);
    bool ok = fchmod(fd, static_cast<mode_t>(mode) & ~mask) == 0;

    std::FILE* stream = ok ? fdopen(fd, "wb") : nullptr;
    if (stream == nullptr) {
        close(fd);
        unlink(name.data());
        return false;
    }
    ok = write(stream);
    ok = std::fflush(stream) == 0 && ok && !std::ferror(stream);
    ok = ok && fsync(fileno(stream)) == 0;
    ok = std::fclose(stream) == 0 && ok;
    if (ok && std::rename(name.data(), path.c_str()) == 0) return true;
    unlink(name.data());
    return false;
}

}  // namespace korvad
