#pragma once

// A fresh folder for one test, removed with everything in it at the end.
// Tests that write files relative to the working directory (logs under
// ./oru_log, for example) can make it the working directory for their scope.

#include "platform/files.h"
#include "support/process.h"

#include <filesystem>
#include <string>

namespace oru::test {

class CTempDir {
public:
    // A child that runs its test again makes its folders inside its
    // parent's, which removes them: the child may end before its own
    // destructors run.
    CTempDir()
    {
        const char* pChildOf = TestChildFolder();
        const std::filesystem::path root =
            pChildOf ? std::filesystem::path(pChildOf) : std::filesystem::temp_directory_path();
        std::string pattern = (root / "oru_test_XXXXXX").string();
        if (oru::platform::MakeUniqueFolder(pattern))
            m_path = pattern;
    }
    ~CTempDir()
    {
        if (!m_path.empty())
            oru::platform::RemoveTree(m_path.string());
    }
    CTempDir(const CTempDir&) = delete;
    CTempDir& operator=(const CTempDir&) = delete;

    const std::filesystem::path& Path() const { return m_path; }
    std::string File(const std::string& name) const { return (m_path / name).string(); }

private:
    std::filesystem::path m_path;
};

// Makes `dir` the working directory until the end of the scope.
class CWorkingDirectory {
public:
    explicit CWorkingDirectory(const std::filesystem::path& dir)
        : m_previous(std::filesystem::current_path())
    {
        std::filesystem::current_path(dir);
    }
    ~CWorkingDirectory()
    {
        std::error_code ec;
        std::filesystem::current_path(m_previous, ec);
    }
    CWorkingDirectory(const CWorkingDirectory&) = delete;
    CWorkingDirectory& operator=(const CWorkingDirectory&) = delete;

private:
    std::filesystem::path m_previous;
};

}  // namespace oru::test
