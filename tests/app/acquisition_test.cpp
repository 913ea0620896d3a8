#include "app/acquisition.h"

#include <atomic>
#include <cstring>
#include <thread>

#include <gtest/gtest.h>

#include "app/acquisition_gate.h"
#include "app/run_control.h"
#include "config/load_groups.h"
#include "datafiles/link_archive.h"
#include "config/server_link.h"
#include "config/station_groups.h"
#include "db/connection.h"
#include "e2e/child_process.h"
#include "link/waveform_packet.h"
#include "log/event_log.h"
#include "platform/program_paths.h"
#include "support/kdx_database.h"
#include "support/recording_view.h"
#include "support/sandbox.h"

namespace tarvell
{
namespace
{

using test::ReadFile;
using test::WaitUntil;

TEST(StatusLine, PiecesAreWidenedAndEachFollowedByABlank)
{
    WaveformPacket packet;
    std::strcpy(packet.station, "STA1");
    std::strcpy(packet.channel, "BHZ");
    std::strcpy(packet.auxName, "AUX1");
    packet.beginTime = 1158300277.5;
    EXPECT_EQ(StatusLine(packet), " STA1   BHZ   2006:258-06:04:37.500  AUX1   ");
}

TEST(ShowWaitTime, AVisibleWindowShowsEachNewValueAHiddenOneNothing)
{
    test::CRecordingView view;
    for (const int seconds : {5, 61, 61, 0})
        ShowWaitTime(seconds);
    EXPECT_TRUE(view.WaitDisplays().empty());
    view.SetVisible(true);
    for (const int seconds : {5, 61, 61, 0})
        ShowWaitTime(seconds);
    EXPECT_EQ(view.WaitDisplays(), (std::vector<std::string>{"00:05", "01:01", "00:00"}));
}

TEST(AcquisitionGate, PauseWaitsForThePacketInHandAndHoldsTheNextOne)
{
    ResetRunFlagForTest();
    CAcquisitionGate gate;
    std::atomic<int> handled{0};
    std::atomic<bool> inside{false};
    ASSERT_TRUE(gate.Enter()); // a packet in hand
    std::thread pauser(
        [&]
        {
            gate.Pause();
            EXPECT_FALSE(inside.load()); // never while a packet is handled
        });
    test::SleepMs(20);
    gate.Leave();
    pauser.join();
    std::thread worker(
        [&]
        {
            while (gate.Enter())
            {
                inside = true;
                ++handled;
                inside = false;
                gate.Leave();
                if (handled.load() == 3)
                    break;
            }
        });
    test::SleepMs(50);
    EXPECT_EQ(handled.load(), 0); // paused: the next packet waits
    gate.Pause();                 // pauses are counted
    gate.Resume();
    test::SleepMs(20);
    EXPECT_EQ(handled.load(), 0);
    gate.Resume();
    worker.join();
    EXPECT_EQ(handled.load(), 3);
}

TEST(AcquisitionGate, StopReleasesAThreadWaitingAtThePause)
{
    ResetRunFlagForTest();
    CAcquisitionGate gate;
    gate.Pause();
    std::atomic<bool> entered{true};
    std::thread waiter([&] { entered = gate.Enter(); });
    RequestStop();
    gate.WakeForStop();
    waiter.join();
    EXPECT_FALSE(entered.load());
    ResetRunFlagForTest();
}

// One connection of a real acquisition thread to xfer-sim, in this process, so that what it
// shows the operator can be recorded.
class RunConnectionTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ResetRunFlagForTest();
        m_db.AddSiteChan("ABC", "BHZ", 100);
        const std::string portFile = m_box.File("port");
        m_sim = std::make_unique<test::ChildProcess>(
            XFER_SIM_BINARY,
            std::vector<std::string>{"--port", "0", "--port-file", portFile, "--end-status", "1",
                                     "--synthetic", "ABC:BHZ:100:1796648700:20", "--synthetic",
                                     "ABC:BHN:100:1796648700:20"},
            m_box.File("sim.out"));
        ASSERT_TRUE(WaitUntil([&] { return std::atoi(ReadFile(portFile).c_str()) > 0; }));
        g_iniPath = m_box.Write("tarvell.ini", "[SYSTEM]\nGROUPS=1\n[GROUP1]\nSTATION=ABC\n"
                                               "CHAN=BHZ\nSERVER=127.0.0.1\nPORT=" +
                                                   ReadFile(portFile) + "\n");
        m_config = LoadGroups(g_iniPath, g_waveRoot);
        ASSERT_EQ(m_config->links.size(), 1u);
    }
    void TearDown() override { g_silent = 0; }

    test::Sandbox m_box;
    test::KdxDatabase m_db{test::Backend::Sqlite, m_box};
    std::unique_ptr<test::ChildProcess> m_sim;
    std::shared_ptr<const CConfiguration> m_config;
};

TEST_F(RunConnectionTest, ShowsEveryPacketUnlessSilentButWritesEitherWay)
{
    for (int silent : {0, 1})
    {
        test::CRecordingView view;
        g_silent = silent;
        ChannelStates none;
        CRunningLink link(m_config, 0, none); // a link of its own, from the start of the data
        RunConnection(link);

        const std::vector<std::string> lines = view.StatusLines();
        ASSERT_GE(lines.size(), 3u);
        EXPECT_EQ(lines.front(), "Connecting...");
        EXPECT_EQ(lines[1], "Connected to server: 127.0.0.1");
        EXPECT_EQ(lines.back(), "Connection closed");
        const auto rows = view.ChannelTexts();
        std::size_t listed = 0;
        for (const auto& row : rows)
        {
            // The server also holds BHN, which is not configured and so never asked for.
            EXPECT_EQ(row.channel, "BHZ");
            listed += row.column == ChannelColumn::LastCountTime ? 1 : 0;
        }
        if (silent)
        {
            EXPECT_EQ(lines.size(), 3u);
            EXPECT_EQ(listed, 0u);
        }
        else
        {
            EXPECT_EQ(lines.size(), 3u + 20u); // one line per packet
            EXPECT_EQ(listed, 20u);
            EXPECT_NE(lines[2].find(" ABC    BHZ   2026:341-13:05:00.000"), std::string::npos)
                << lines[2];
        }
        // The data went to the buffer either way: the resume time is the end of the data.
        EXPECT_DOUBLE_EQ(link.archive.Find("ABC", "BHZ").channel->resumeTime, 1796648720.0);
    }
}

} // namespace
} // namespace tarvell
