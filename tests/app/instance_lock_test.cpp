#include "app/instance_lock.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/sandbox.h"

namespace tarvell
{
namespace
{

TEST(InstanceLock, SecondHolderOfTheSameIniIsRefusedUntilTheFirstEnds)
{
    test::Sandbox box;
    const std::string ini = box.Write("tarvell.ini", "[SYSTEM]\n");
    std::string error;
    {
        CInstanceLock first;
        ASSERT_TRUE(first.Acquire(ini, &error)) << error;
        EXPECT_EQ(test::ReadFile(ini + ".lock"), std::to_string(::getpid()) + "\n");

        CInstanceLock second;
        EXPECT_FALSE(second.Acquire(ini, &error));
        EXPECT_EQ(error, "another TARVELL (process " + std::to_string(::getpid()) +
                             ") is already running with " + ini);

        // Another process is refused as well.
        pid_t child = ::fork();
        if (child == 0)
        {
            CInstanceLock other;
            std::string ignored;
            ::_exit(other.Acquire(ini, &ignored) ? 1 : 0);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    CInstanceLock again;
    EXPECT_TRUE(again.Acquire(ini, &error)) << error;
}

TEST(InstanceLock, LockFileThatCannotBeMadeIsReported)
{
    test::Sandbox box;
    std::string error;
    CInstanceLock lock;
    EXPECT_FALSE(lock.Acquire(box.File("no/such/dir/tarvell.ini"), &error));
    EXPECT_NE(error.find("cannot create the lock file"), std::string::npos);
}

} // namespace
} // namespace tarvell
