#pragma once
// Test helpers for code that talks over real message queues.

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

#include "control/queue/queue.h"

namespace korvad::testing {

// Owns a queue made for one test and removes it however the test ends.
class QueueGuard {
  public:
    QueueGuard() : id_(queue_create()) {}
    ~QueueGuard() {
        if (id_ >= 0) queue_remove(id_);
    }
    QueueGuard(const QueueGuard&) = delete;
    QueueGuard& operator=(const QueueGuard&) = delete;

    int id() const { return id_; }
    // The test removed the queue itself; the id may be handed out again.
    void forget() { id_ = -1; }

  private:
    int id_;
};

// Runs body in a child process and returns its result (0..255), or -1 when the
// child did not end normally (a crash, or the 30-second watchdog fired because
// something blocked that must not block).
inline int run_in_child(const std::function<int()>& body) {
    pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        alarm(30);
        _exit(body());
    }
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace korvad::testing
