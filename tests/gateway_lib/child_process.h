// Running test code in child processes: the library is used by many processes at once, so the
// tests do the same.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <thread>

namespace gwlib_test {

// Forks; the child runs body and exits with its result (0 = success). Returns the child's pid.
inline pid_t spawn(const std::function<int()> &body) {
    const pid_t pid = fork();
    if (pid == 0) _exit(body());
    return pid;
}

// Waits at most timeout for pid: its exit status, 128 + signal when a signal ended it, or -1
// when it hung and was killed.
inline int wait_for(pid_t pid, std::chrono::seconds timeout = std::chrono::seconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    for (;;) {
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) break;
        if (done < 0) return -2;
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

inline int run_in_child(const std::function<int()> &body) { return wait_for(spawn(body)); }

}  // namespace gwlib_test
