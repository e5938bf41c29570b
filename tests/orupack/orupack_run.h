#pragma once

// What the orupack suites share: running the built tool through the shell,
// and the helpers both use.

#include "support/file_bytes.h"
#include "support/temp_dir.h"

#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

using oru::test::CTempDir;
using oru::test::Noise;
using oru::test::Slurp;
using oru::test::Spit;
namespace fs = std::filesystem;

namespace oru::test {

// The exit status of `command` run by the shell; -1 when it did not exit.
inline int Shell(const std::string& command)
{
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The shell words that run orupack with `args`.
inline std::string OrupackCommand(const std::string& args)
{
    return std::string(ORUPACK_PATH) + " " + args;
}

struct COrupackRun {
    int m_nStatus;
    std::string m_strOut;
    std::string m_strErr;
};

// Runs orupack with `args` through the shell (so a backslash needs quotes),
// its output caught in files of `dir`. `prefix` goes before the program: a
// user to run as, a time limit.
inline COrupackRun RunOrupack(const CTempDir& dir, const std::string& args,
                              const std::string& prefix = "")
{
    const std::string out = dir.File("stdout"), err = dir.File("stderr");
    const int status = Shell(prefix + OrupackCommand(args) + " >" + out + " 2>" + err);
    return {status, Slurp(out), Slurp(err)};
}

// Named files with their content.
using CFiles = std::vector<std::pair<std::string, std::string>>;

// Files at the sizes where sector arithmetic goes wrong, for 512-byte
// sectors: empty, one byte, a sector less one, a sector, a sector and one.
inline CFiles SectorEdgeFiles()
{
    CFiles files = {{"empty.bin", ""}, {"one.bin", "x"}};
    const std::pair<const char*, size_t> noise[] = {
        {"sector-1.bin", 511}, {"sector.bin", 512}, {"sector+1.bin", 513}};
    uint32_t seed = 1;
    for (const auto& [name, size] : noise)
        files.push_back({name, Noise(size, seed++)});
    return files;
}

}  // namespace oru::test
