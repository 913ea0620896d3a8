#include "app/run_control.h"

#include <thread>

#include <gtest/gtest.h>

namespace tarvell
{
namespace
{

using std::chrono::milliseconds;

TEST(RetryPause, ImmediateAfterAWorkingConnectionThenGrowingToThirtySeconds)
{
    CRetryPause pause;
    EXPECT_EQ(pause.Current(), milliseconds(0));
    const long expected[] = {1000, 2000, 4000, 8000, 16000, 30000, 30000};
    for (long ms : expected)
        EXPECT_EQ(pause.AttemptFailed(), milliseconds(ms));
    pause.ConnectionWorked();
    EXPECT_EQ(pause.Current(), milliseconds(0));
    EXPECT_EQ(pause.AttemptFailed(), milliseconds(1000));
}

TEST(RunControl, StopWakesAWaitingThreadAtOnce)
{
    ResetRunFlagForTest();
    EXPECT_FALSE(WaitUnlessStopped(milliseconds(1)));
    bool stopped = false;
    auto start = std::chrono::steady_clock::now();
    std::thread waiter([&stopped] { stopped = WaitUnlessStopped(milliseconds(60000)); });
    RequestStop();
    waiter.join();
    EXPECT_TRUE(stopped);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
    EXPECT_EQ(g_runFlag.load(), 0);
    ResetRunFlagForTest();
}

} // namespace
} // namespace tarvell
