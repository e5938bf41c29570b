#pragma once

// A full disk, simulated: a child process whose files may not grow past a
// limit. A write past it fails (EFBIG) as on a full disk, instead of the
// child being killed by SIGXFSZ.

#include <functional>

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace oru::test {

// Runs `body` in a child process whose files may not grow past `limit`
// bytes; true when it returned true.
inline bool InChildWithFileSizeLimit(rlim_t limit, const std::function<bool()>& body)
{
    const pid_t pid = fork();
    if (pid == 0) {
        signal(SIGXFSZ, SIG_IGN);
        const rlimit rl{limit, limit};
        setrlimit(RLIMIT_FSIZE, &rl);
        _exit(body() ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace oru::test
