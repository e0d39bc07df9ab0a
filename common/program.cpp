#include "common/program.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

extern char** environ;

namespace korvad {

std::optional<Program> start_program(const std::string& path, const std::vector<std::string>& args,
                                     ProgramPipe pipe) {
    int ends[2] = {-1, -1};
    if (pipe != ProgramPipe::kNone && pipe2(ends, O_CLOEXEC) != 0) return std::nullopt;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    if (pipe == ProgramPipe::kInput) posix_spawn_file_actions_adddup2(&actions, ends[0], 0);
    if (pipe == ProgramPipe::kOutput) posix_spawn_file_actions_adddup2(&actions, ends[1], 1);
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    // The program gets default signal handling, whatever this process set.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t all;
    sigfillset(&all);
    posix_spawnattr_setsigdefault(&attributes, &all);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    pid_t pid = -1;
    const int failed = posix_spawn(&pid, path.c_str(), &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    Program program;
    if (pipe == ProgramPipe::kInput) {
        close(ends[0]);
        program.fd = ends[1];
    } else if (pipe == ProgramPipe::kOutput) {
        close(ends[1]);
        program.fd = ends[0];
    }
    if (failed != 0) {
        if (program.fd >= 0) close(program.fd);
        return std::nullopt;
    }
    program.pid = pid;
    return program;
}

int finish_program(Program& program) {
    if (program.fd >= 0) close(program.fd);
    program.fd = -1;
    int status = 0;
    pid_t done;
    do {
        done = waitpid(program.pid, &status, 0);
    } while (done < 0 && errno == EINTR);
    program.pid = -1;
    return done > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string read_all_output(Program& program) {
    std::string text;
    char buffer[4096];
    for (;;) {
        ssize_t n = read(program.fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        text.append(buffer, static_cast<std::size_t>(n));
    }
    (void)finish_program(program);
    return text;
}

bool write_all_input(const Program& program, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(program.fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace korvad
