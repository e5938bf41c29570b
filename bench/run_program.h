#pragma once

// What the benchmarks that run the built orupack share: its path, running a
// program with its output thrown away, and failing a run loudly.

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

namespace oru::bench {

#ifdef ORUPACK_PATH
inline const std::string ORUPACK = ORUPACK_PATH;
#else
inline const std::string ORUPACK;
#endif

inline void Require(bool ok, const std::string& what)
{
    if (!ok)
        throw std::runtime_error(what);
}

// Runs a program with its output thrown away; its exit status.
inline int RunQuiet(const std::vector<std::string>& args)
{
    std::vector<char*> argv;
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        return -1;
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace oru::bench
