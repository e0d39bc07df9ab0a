// korvad-pace: copies standard input to standard output at a fixed number of
// bytes per second, so a recording reaches korvad as a receiver would deliver
// it.   korvad-pace RATE < recording.raw > /path/to/fifo

#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "common/format.h"

int main(int argc, char** argv) {
    long rate = argc == 2 ? std::strtol(argv[1], nullptr, 10) : 0;
    if (rate < 100 || rate > 10000000) {
        korvad::print_to(stderr, "%s", "Usage: korvad-pace BYTES_PER_SECOND < IN > OUT\n");
        return 2;
    }
    // Ten pieces per second.
    std::vector<char> piece(static_cast<std::size_t>(rate / 10));
    timespec next;
    clock_gettime(CLOCK_MONOTONIC, &next);
    for (;;) {
        std::size_t got = 0;
        while (got < piece.size()) {
            ssize_t n = read(STDIN_FILENO, piece.data() + got, piece.size() - got);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            got += static_cast<std::size_t>(n);
        }
        for (std::size_t done = 0; done < got;) {
            ssize_t n = write(STDOUT_FILENO, piece.data() + done, got - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return 1;
            done += static_cast<std::size_t>(n);
        }
        if (got < piece.size()) return 0;
        next.tv_nsec += 100000000;
        if (next.tv_nsec >= 1000000000) {
            next.tv_nsec -= 1000000000;
            ++next.tv_sec;
        }
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr) == EINTR) {
        }
    }
}
