#pragma once

// What differs between the systems the tests run on, in the few places a
// test must touch the system itself: things one system lacks (the test then
// skips, saying why), and small helpers that each system does its own way.

#include "platform/files.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace oru::test {

enum class eTestFeature {
    FIFOS,            // named pipes in the file system
    POSIX_MODES,      // permission bits that chmod sets and stat reads
    SYMBOLIC_LINKS,   // links any user may make
    FORKED_CHILD,     // a child process that starts with the test's whole state
    FILE_SIZE_LIMIT,  // a limit on how far a process may grow a file
    ADDRESS_SPACE_LIMIT,  // a limit on how much memory a process may map
    POSIX_SHELL,      // /bin/sh, ulimit, /dev/full, signals, util-linux tools
    CASE_SENSITIVE_NAMES,  // "a" and "A" can be two files in one folder
    BACKSLASH_IN_NAMES,    // '\' is a character of a file name, not a separator
    REMOVE_OPEN_FILES,     // a removed file's name is free at once, while others hold it open
    ATOMIC_APPENDS,        // writes through several append handles of one file never overlap
};

// Why this system lacks `feature`; null when it has it.
const char* MissingFeature(eTestFeature feature);

// Sets (or, for null, removes) an environment variable of this process.
void SetEnvironmentValue(const char* name, const char* value);

// Makes a FIFO; false when it cannot (always where FIFOS is missing).
bool MakeFifo(const std::string& path);
// True when this process may read and write every file regardless of its
// permission bits (root on Linux).
bool IgnoresFileModes();

// A number that tells one file from another on its volume, read from the
// system (the inode on Linux); 0 when `path` cannot be read. A file replaced
// by a rename gets a new one.
uint64_t FileIdentity(const std::string& path);
// The file's times as FILETIME counts, read from the system, not through
// the library: creation (on Linux the birth time where the file system
// keeps one, else the status change), last access and last write. Zero when
// `path` cannot be read.
oru::platform::CFileTimes SystemFileTimes(const std::string& path);

// Sets the file's last access and last write times (FILETIME counts) to the
// full precision the system keeps, which std::filesystem does not give on
// every system; the creation time stays. False when they cannot be set.
bool SetSystemFileTimes(const std::string& path, uint64_t access, uint64_t write);

// Limits this process's address space to what it uses now and `moreBytes`
// (where ADDRESS_SPACE_LIMIT is not missing).
void LimitAddressSpace(uint64_t moreBytes);

// How many files, pipes and the like this process has open, as far as the
// system counts them; -1 when it cannot be told.
int OpenHandleCount();

// One page of fresh memory that may be read and written (and run, when
// `executable`); null on failure. UnmapPage gives it back, after which any
// access faults.
void* MapPage(bool executable = false);
void UnmapPage(void* pPage);

// The name a stack walk gives the function a program starts in, before the
// C runtime calls main: a frame without line information of its own.
const char* EntryFunctionName();

}  // namespace oru::test

// Skips the current test, giving the reason, when the system lacks `feature`.
#define ORU_TEST_REQUIRES(feature)                                                 \
    if (const char* oruMissingFeature = ::oru::test::MissingFeature(feature)) \
    GTEST_SKIP() << oruMissingFeature
