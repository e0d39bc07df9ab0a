#pragma once
// One korvad per working folder: the main process holds a write lock on the
// lock file "korvad.lock" there for as long as it runs, with its process id
// written inside for the operator. The lock is a POSIX record lock: the
// kernel drops it when the process ends in any way (kill -9 too), and the
// children forked from the main process do not hold it.

#include <sys/types.h>

#include <string>

namespace korvad {

inline constexpr const char* kLockFile = "korvad.lock";

struct InstanceLock {
    int fd = -1;  // open while the lock is held
};

enum class LockOutcome {
    held,         // this process holds the lock
    taken,        // another process holds it: holder says which
    unavailable,  // no lock file can be had (a read-only folder): reason says why
};

struct LockResult {
    LockOutcome outcome = LockOutcome::unavailable;
    pid_t holder = 0;
    std::string path;    // the lock file
    std::string reason;  // unavailable: the system's error text
};

// Takes the lock in folder ("" is the working folder).
[[nodiscard]] LockResult take_instance_lock(InstanceLock& lock, const std::string& folder);

// Gives the lock up (also done by the end of the process).
void release_instance_lock(InstanceLock& lock);

}  // namespace korvad
