// Runs a check as an unprivileged user: directly when the test is not root,
// else in a child process that gives up root (root ignores permissions).
#pragma once

#include <sys/wait.h>
#include <unistd.h>

// Returns whether check held.
template <typename Check>
bool asUnprivileged(Check check) {
    if (geteuid() != 0) return check();
    const pid_t child = fork();
    if (child < 0) return false;
    if (child == 0) {
        if (setgid(54321) != 0 || setuid(54321) != 0) _exit(2);
        _exit(check() ? 0 : 1);
    }
    int status = 0;
    if (waitpid(child, &status, 0) != child) return false;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}
