#include "platform/sync_ahead.h"

#include <cerrno>
#include <string>

#include <gtest/gtest.h>

#include "support/sandbox.h"

namespace tarvell
{
namespace
{

// The commit must learn of every failure the worker met, exactly once; a file that is gone
// or was never asked for, or whose sync had not begun, is left to the commit's own sync.
TEST(SyncAhead, HandsEachFailureToTheCommitOnce)
{
    test::Sandbox sandbox;
    const std::string file = sandbox.Write("full.dat", "samples");
    struct Case
    {
        std::string path;
        int expected;
    };
    const Case cases[] = {
        {file, 0},
        {sandbox.File("gone.dat"), 0},
        {file + "/not-a-directory", ENOTDIR},
    };
    for (const Case& c : cases)
    {
        SyncAhead(c.path);
        SyncAhead(c.path);
        WaitForSyncAheadForTest();
        EXPECT_EQ(FinishSyncAhead(c.path), c.expected) << c.path;
        EXPECT_EQ(FinishSyncAhead(c.path), 0) << c.path << " reported twice";
    }
    EXPECT_EQ(FinishSyncAhead(sandbox.File("never-asked.dat")), 0);
    // Taken off the queue, whatever the worker got to: no failure is made up, and none is
    // left behind for a later commit.
    SyncAhead(file + "/not-a-directory");
    const int first = FinishSyncAhead(file + "/not-a-directory");
    EXPECT_TRUE(first == 0 || first == ENOTDIR) << first;
    WaitForSyncAheadForTest();
    EXPECT_EQ(FinishSyncAhead(file + "/not-a-directory"), 0);
}

} // namespace
} // namespace tarvell
