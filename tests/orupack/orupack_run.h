#pragma once

// What the orupack suites share: running the built tool through the shell,
// and the helpers both use.

#include "support/file_bytes.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <functional>
#include <map>
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


// Content that names itself: "name#version#" then noise of its own, so
// that a reader can tell any version of an entry from anything else without
// knowing which versions exist. One sector for all, so that a sector reused
// for another entry would hand a reader a chain that reads whole.
inline std::string Version(const std::string& name, int version)
{
    const uint32_t seed = static_cast<uint32_t>(std::hash<std::string>()(name) + version * 7919u);
    const std::string head = name + "#" + std::to_string(version) + "#";
    return head + Noise(400 - head.size(), seed);
}

inline bool IsSomeVersionOf(const std::string& name, const std::string& bytes)
{
    const size_t mark = bytes.find('#', name.size() + 1);
    if (bytes.compare(0, name.size() + 1, name + "#") != 0 || mark == std::string::npos)
        return false;
    return bytes == Version(name, std::atoi(bytes.c_str() + name.size() + 1));
}

// Two dozen editing sessions of orupack on the pack at `base`, which holds
// `versions` of `names` to start with: additions, replacements, removals
// and creates of new trees in turn. `versions` follows what the pack holds.
// Fails the test when a session fails.
inline void RunEditingSessions(const CTempDir& dir, const std::string& base,
                               const std::vector<std::string>& names, std::map<std::string, int>& versions)
{
    for (int session = 1; session <= 24; ++session) {
        const std::string& name = names[static_cast<size_t>(session * 5) % names.size()];
        COrupackRun run{0, "", ""};
        switch (session % 4) {
        case 0: {  // a new tree, some names kept at new versions
            std::map<std::string, int> tree;
            std::filesystem::remove_all(dir.Path() / "tree");
            for (size_t i = 0; i < names.size(); i += 1 + session % 2) {
                tree[names[i]] = session;
                Spit(dir.Path() / "tree" / names[i], Version(names[i], session));
            }
            run = RunOrupack(dir, "create " + base + " " + dir.File("tree"));
            versions = tree;
            break;
        }
        case 1:
        case 2:  // an addition or a replacement
            Spit(dir.Path() / "src" / name, Version(name, session));
            run = RunOrupack(dir, "add " + base + " " + dir.File("src/" + name) + " --as " + name);
            versions[name] = session;
            break;
        case 3:
            if (versions.erase(name) == 0)
                continue;
            run = RunOrupack(dir, "rm " + base + " " + name);
            break;
        }
        ASSERT_EQ(run.m_nStatus, 0) << "session " << session << ": " << run.m_strErr;
    }
}

}  // namespace oru::test
