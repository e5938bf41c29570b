// Every test runs with a fresh temporary folder of its own as the working
// directory, removed when the test ends. What a test (or the library under
// it) writes relative to the working directory, ./oru_log above all, thus
// never lands in the source tree, whoever runs the test program and from
// wherever, nor in another test's way.

#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

class CTemporaryWorkingFolders : public ::testing::EmptyTestEventListener {
public:
    void OnTestStart(const ::testing::TestInfo&) override
    {
        // The child of a death test re-runs its test in the folder that the
        // parent's test already has; the child never gets to remove one.
        // (A child that StartChild made by running the test again gets a
        // folder inside its parent's: see CTempDir.)
        if (!GTEST_FLAG_GET(internal_run_death_test).empty())
            return;
        m_pDir = std::make_unique<oru::test::CTempDir>();
        m_pWorking = std::make_unique<oru::test::CWorkingDirectory>(m_pDir->Path());
    }

    void OnTestEnd(const ::testing::TestInfo&) override
    {
        m_pWorking.reset();
        m_pDir.reset();
    }

private:
    std::unique_ptr<oru::test::CTempDir> m_pDir;
    std::unique_ptr<oru::test::CWorkingDirectory> m_pWorking;
};

const bool s_bInstalled = [] {
    ::testing::UnitTest::GetInstance()->listeners().Append(new CTemporaryWorkingFolders);
    return true;
}();

}  // namespace
