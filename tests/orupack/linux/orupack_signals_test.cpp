// The tool stopped and interrupted by signals while it holds a shared pack.

#include "orupack/orupack_shared.h"

#include <gtest/gtest.h>

#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <string>

using oru::test::OrupackShared;
using oru::test::Slurp;
using oru::test::Spit;
using CRun = oru::test::COrupackRun;

// create holds the editing lock from its start to its end: an add that
// comes while it runs is refused. Interrupted, it keeps the old pack and
// leaves nothing beside it.
TEST_F(OrupackShared, ACreateHoldsTheEditingLockAndAnInterruptionKeepsThePack)
{
    const std::map<std::string, int> small = {{"keep.bin", 1}};
    ASSERT_EQ(Run("create " + Base() + " " + Tree("old", small)).m_nStatus, 0);
    std::map<std::string, int> many;
    for (int i = 0; i < 3000; ++i)
        many["f" + std::to_string(i) + ".bin"] = i;
    const std::string manyDir = Tree("many", many);

    for (const int signal : {SIGSTOP, SIGINT}) {
        const std::string index = Slurp(Base() + ".odx");
        const uint64_t dataBytes = fs::file_size(Base() + ".opk");
        const pid_t pid = fork();
        if (pid == 0) {
            const std::string command = std::string(ORUPACK_PATH) + " create " + Base() + " " + manyDir + " >/dev/null 2>&1";
            execl("/bin/sh", "sh", "-c", ("exec " + command).c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        bool locked = false;
        for (int i = 0; i < 5000 && !locked; ++i) {
            locked = oru::detail::PackEditedElsewhere(Base());
            if (!locked)
                usleep(200);
        }
        ASSERT_TRUE(locked);
        kill(pid, signal);
        int status = 0;
        if (signal == SIGSTOP) {
            Spit(m_dir.Path() / "x", "x");
            const CRun add = Run("add " + Base() + " " + m_dir.File("x") + " --as x");
            EXPECT_EQ(add.m_nStatus, 1);
            EXPECT_NE(add.m_strErr.find("being edited elsewhere"), std::string::npos) << add.m_strErr;
            kill(pid, SIGCONT);
            waitpid(pid, &status, 0);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
            EXPECT_EQ(Contents(), Expected(many));
            ASSERT_EQ(Run("create " + Base() + " " + Tree("old", small)).m_nStatus, 0);
        } else {
            waitpid(pid, &status, 0);
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << status;
            EXPECT_EQ(Slurp(Base() + ".odx"), index);
            EXPECT_EQ(fs::file_size(Base() + ".opk"), dataBytes);
            EXPECT_EQ(Contents(), Expected(small));
        }
    }
    EXPECT_EQ(Problems(), 0u);
    for (const auto& entry : fs::directory_iterator(m_dir.Path())) {
        const std::string name = entry.path().filename().string();
        EXPECT_TRUE(name.rfind("pack.", 0) != 0 || name == "pack.odx" || name == "pack.opk") << name;
    }
}
