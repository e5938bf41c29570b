#pragma once

// What the orupack suites share: running the built tool, and the helpers
// they all use.

#include "support/file_bytes.h"
#include "support/process.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <cstdint>
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

struct COrupackRun {
    int m_nStatus;  // the exit code; -1 when it did not exit
    std::string m_strOut;
    std::string m_strErr;
};

// The words of `args`, split at spaces; a part in single quotes keeps its
// spaces and backslashes, as in the shell.
inline std::vector<std::string> Words(const std::string& args)
{
    std::vector<std::string> words;
    std::string word;
    bool bInWord = false, bQuoted = false;
    for (const char c : args) {
        if (c == '\'' ) {
            bQuoted = !bQuoted;
            bInWord = true;
        } else if (c == ' ' && !bQuoted) {
            if (bInWord)
                words.push_back(word);
            word.clear();
            bInWord = false;
        } else {
            word += c;
            bInWord = true;
        }
    }
    if (bInWord)
        words.push_back(word);
    return words;
}

// Runs orupack with the words of `args`, its output caught. `before` are
// words that come before the program: another program that runs it (a user
// to run as, a time limit, a shell that sets a limit; see POSIX_SHELL).
inline COrupackRun RunOrupack(const std::string& args, const EnvChanges& env = {},
                              const std::vector<std::string>& before = {})
{
    std::vector<std::string> words = before;
    words.push_back(ORUPACK_PATH);
    for (std::string& word : Words(args))
        words.push_back(std::move(word));
    const CProgramRun run = RunProgram(words, env);
    return {run.ExitCode(), run.m_strOut, run.m_strErr};
}

// The words that run a program through the shell with its standard output
// on /dev/full, where every write fails, and its errors dropped.
inline std::vector<std::string> FullOutputWords()
{
    return {"/bin/sh", "-c", "exec \"$0\" \"$@\" >/dev/full 2>/dev/null"};
}

// The words that run a program through the shell with files that may not
// grow past `blocks` of 512 bytes: a write past it fails (EFBIG), or, with
// `killAtLimit`, ends the program by SIGXFSZ.
inline std::vector<std::string> FileSizeLimitWords(int blocks, bool killAtLimit = false)
{
    return {"/bin/sh", "-c",
            std::string(killAtLimit ? "" : "trap '' XFSZ; ") + "ulimit -f " + std::to_string(blocks) +
                "; exec \"$0\" \"$@\""};
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
            run = RunOrupack("create " + base + " " + dir.File("tree"));
            versions = tree;
            break;
        }
        case 1:
        case 2:  // an addition or a replacement
            Spit(dir.Path() / "src" / name, Version(name, session));
            run = RunOrupack("add " + base + " " + dir.File("src/" + name) + " --as " + name);
            versions[name] = session;
            break;
        case 3:
            if (versions.erase(name) == 0)
                continue;
            run = RunOrupack("rm " + base + " " + name);
            break;
        }
        ASSERT_EQ(run.m_nStatus, 0) << "session " << session << ": " << run.m_strErr;
    }
}

}  // namespace oru::test
