// Process titles over the argument area, and detaching from the terminal.

#include "control/process_title.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/version.h"

extern char** environ;

namespace korvad {

ProcessTitle measure_title_area(int argc, char** argv, char* const* envp) {
    ProcessTitle title;
    if (argc < 1 || argv == nullptr || argv[0] == nullptr) return title;
    char* end = nullptr;
    for (int i = 0; i < argc && argv[i] != nullptr; ++i) {
        if (i == 0 || argv[i] == end + 1) end = argv[i] + std::strlen(argv[i]);
    }
    for (int i = 0; envp != nullptr && envp[i] != nullptr; ++i) {
        if (envp[i] == end + 1) end = envp[i] + std::strlen(envp[i]);
    }
    title.argv = argv;
    title.start = argv[0];
    title.end = end;
    return title;
}

void process_title_init(ProcessTitle& title, int argc, char** argv, char** envp) {
    // Move the environment to copies of its own, so that the strings handed
    // over at start become part of the title area.
    std::size_t count = 0;
    while (environ != nullptr && environ[count] != nullptr) ++count;
    char** copy = static_cast<char**>(std::calloc(count + 1, sizeof(char*)));
    bool copied = copy != nullptr;
    for (std::size_t i = 0; copied && i < count; ++i) {
        copy[i] = strdup(environ[i]);
        if (copy[i] == nullptr) copied = false;
    }
    if (copied) {
        environ = copy;
        title = measure_title_area(argc, argv, envp);
    } else {
        // The environment still lives in the original strings: only the
        // argument strings may be written over.
        for (std::size_t i = 0; copy != nullptr && i < count; ++i) std::free(copy[i]);
        std::free(copy);
        title = measure_title_area(argc, argv, nullptr);
    }
    if (char* name = strdup(kProgramName)) program_invocation_short_name = name;
    if (title.start != nullptr) {
        if (char* name = strdup(title.start)) program_invocation_name = name;
    }
}

void process_title_set(ProcessTitle& title, const char* format, ...) {
    if (title.start == nullptr || title.end == nullptr || format == nullptr) return;
    const std::ptrdiff_t usable = title.end - title.start - 2;  // bytes, NUL included
    if (usable < 1) return;
    char text[8192] = {};
    va_list args;
    va_start(args, format);
    std::size_t length = vformat_into(text, sizeof text, format, args);
    va_end(args);
    length = std::min(length, static_cast<std::size_t>(usable - 1));
    std::memcpy(title.start, text, length);
    // Zero the rest of the area, its final NUL included, and nothing beyond.
    std::memset(title.start + length, 0,
                static_cast<std::size_t>(title.end - title.start) + 1 - length);
    if (title.argv != nullptr) title.argv[1] = nullptr;
}

void detach_terminal() {
    if (std::freopen("/dev/null", "r", stdin) == nullptr) {
        // Nothing to fall back to: input simply stays closed.
    }
    if (std::freopen("/dev/null", "a+", stdout) == nullptr) {
    }
    if (std::freopen("/dev/null", "a+", stderr) == nullptr) {
    }
    int tty = open("/dev/tty", O_RDWR | O_NOCTTY);
    if (tty >= 0) {
        // A session leader that gives up its terminal makes the kernel send
        // SIGHUP to the terminal's foreground process group, itself
        // included: let that one pass unseen instead of ending the process
        // or reloading the databases.
        struct sigaction ignore {};
        struct sigaction previous {};
        ignore.sa_handler = SIG_IGN;
        sigemptyset(&ignore.sa_mask);
        sigaction(SIGHUP, &ignore, &previous);
        ioctl(tty, TIOCNOTTY, 0);
        close(tty);
        sigaction(SIGHUP, &previous, nullptr);
    }
}

}  // namespace korvad
