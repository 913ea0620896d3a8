// The archive's promise under the faults of the program's own dependencies: the process
// killed at each point of a chunk's commit, the database server stopped and started, the
// data root full and read-only. After each, every sample the server sent is in the archive
// exactly once, every file has its row and every row its bytes, and every loop file's header
// agrees with its rows.

#include <sys/mount.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "e2e/e2e_world.h"
#include "support/private_postgres.h"

namespace tarvell
{
namespace
{

using test::ChannelArchive;
using test::EndToEndWorld;
using test::ExpectEverySampleOnce;
using test::kStart;
using test::ReadFile;
using test::WaitUntil;

// ---- kill -9 at every point of the commit --------------------------------------------------

struct KillPoint
{
    const char* point;
    int pass;
};

void PrintTo(const KillPoint& kill, std::ostream* out)
{
    *out << kill.point << ":" << kill.pass;
}

class KillDuringTheCommit : public ::testing::TestWithParam<KillPoint>
{
protected:
    EndToEndWorld m_world;
};

TEST_P(KillDuringTheCommit, ARestartLosesNothingAndRepeatsNothing)
{
    m_world.Db().AddSiteChan("ABC", "BHZ", 100);
    m_world.Db().AddSiteChan("ABC", "BHN", 100);
    m_world.Db().AddSiteChan("LOP", "HHZ", 100);
    // Ten minutes of three channels, one of them into a loop file; the server closes the
    // connection every 300 packets, so that chunks are committed at many moments.
    const int port =
        m_world.StartSim({"--close-after", "300", "--samples", "37", "--synthetic",
                          EndToEndWorld::Synthetic("ABC", "BHZ", 100, 600), "--synthetic",
                          EndToEndWorld::Synthetic("ABC", "BHN", 100, 600), "--synthetic",
                          EndToEndWorld::Synthetic("LOP", "HHZ", 100, 600)});
    m_world.WriteIni(
        {{"ABC", "BHZ,BHN", "127.0.0.1", port}, {"LOP", "HHZ", "127.0.0.1", port, 1, "HHZ"}});

    const KillPoint kill = GetParam();
    auto first =
        m_world.StartTarvell(std::string(kill.point) + ":kill:" + std::to_string(kill.pass));
    first->Wait(30000);
    ASSERT_EQ(first->EndingSignal(), SIGKILL) << "not killed at the point\n" << m_world.Outputs();
    ASSERT_EQ(m_world.LogText().find("TARVELL stopped..."), std::string::npos);

    m_world.ForgetRequests();
    auto second = m_world.StartTarvell();
    for (const char* channel : {"BHZ", "BHN", "HHZ"})
        ASSERT_TRUE(m_world.WaitForRequestFrom(channel, kStart + 600));
    m_world.Stop(*second);

    for (auto [station, channel] : {std::pair{"ABC", "BHZ"}, {"ABC", "BHN"}, {"LOP", "HHZ"}})
        ExpectEverySampleOnce(m_world, station, channel, 100, 60000);
    m_world.ExpectArchiveConsistent();
}

// The very first chunk (its file is set aside: the channel has no row and no resume time
// yet), a chunk appended to a file (cut back to its row), the first chunks of new files after
// a rotation (removed), a commit's rows (the INI then lags behind them), the INI itself.
INSTANTIATE_TEST_SUITE_P(
    Points, KillDuringTheCommit,
    ::testing::Values(KillPoint{"chunk-bytes-written", 1}, KillPoint{"chunk-bytes-written", 17},
                      KillPoint{"chunk-bytes-written", 23}, KillPoint{"chunk-rows-written", 1},
                      KillPoint{"chunk-rows-written", 3}, KillPoint{"resume-times-written", 1}),
    [](const ::testing::TestParamInfo<KillPoint>& kill)
    {
        std::string name = kill.param.point;
        std::replace(name.begin(), name.end(), '-', '_');
        return name + "_" + std::to_string(kill.param.pass);
    });

// ---- the database server stopped and started -----------------------------------------------

TEST(DatabaseOutage, ChunksOfTheOutageAreAskedForAgainAndRegisteredWhenItIsBack)
{
    test::PrivatePostgres server;
    if (!server.Started())
        GTEST_SKIP() << "no PostgreSQL server could be started (scripts/postgres.sh)";
    EndToEndWorld world(&server.Server());
    if (::testing::Test::IsSkipped())
        return;
    world.Db().AddSiteChan("ABC", "BHZ", 1000);
    // Live data at 1000 samples per second: a chunk every 4.9 s, the first ones at once.
    const long long start = static_cast<long long>(std::time(nullptr)) - 10;
    const int port = world.StartSim(
        {"--realtime", "--synthetic", EndToEndWorld::Synthetic("ABC", "BHZ", 1000, 30, start)});
    world.WriteIni({{"ABC", "BHZ", "127.0.0.1", port}});
    auto tarvell = world.StartTarvell();
    ASSERT_TRUE(WaitUntil([&] { return world.Db().Count() > 0; }, 30000)) << world.Outputs();

    ASSERT_TRUE(server.Run("stop"));
    ASSERT_TRUE(world.WaitForLog("Database unreachable: ", 30000));
    test::SleepMs(3000);
    ASSERT_TRUE(server.Run("start"));
    ASSERT_TRUE(world.WaitForLog("Database reachable again after ", 60000));
    ASSERT_TRUE(world.WaitForRequestFrom("BHZ", start + 30, 60000));
    world.Stop(*tarvell);

    ExpectEverySampleOnce(world, "ABC", "BHZ", 1000, 30000, start);
    world.ExpectArchiveConsistent();
    const std::string log = world.LogText();
    const std::size_t unreachable = log.find("Database unreachable: ");
    EXPECT_EQ(log.find("Database unreachable: ", unreachable + 1), std::string::npos) << log;
    const std::size_t back = log.find("Database reachable again after ");
    EXPECT_EQ(log.find("Database reachable again after ", back + 1), std::string::npos) << log;
    EXPECT_EQ(log.find("; 0 chunks were requested again", back), std::string::npos) << log;
}

// ---- a full and a read-only data root ------------------------------------------------------

// The data root on a file system of its own that the test fills or makes read-only: a small
// tmpfs when the test may mount one (root), else a file-size limit on tarvell (full) and the
// permissions of the data root (read-only).
class DataRootVolume
{
public:
    explicit DataRootVolume(const std::string& root) : m_root(root)
    {
        m_mounted = ::geteuid() == 0 &&
                    ::mount("tmpfs", root.c_str(), "tmpfs", 0, "size=4m,mode=0755") == 0;
    }
    ~DataRootVolume()
    {
        if (m_mounted)
            ::umount2(m_root.c_str(), MNT_DETACH);
    }
    DataRootVolume(const DataRootVolume&) = delete;
    DataRootVolume& operator=(const DataRootVolume&) = delete;

    bool Mounted() const { return m_mounted; }

    // Fills the volume but for room bytes (mounted), or gives what tarvell is started with to
    // be unable to write more than a header (prlimit).
    std::vector<std::string> Fill(std::uintmax_t room = 8192)
    {
        if (!m_mounted)
            return {"prlimit", "--fsize=600:unlimited"};
        std::ofstream filler(m_root + "/filler", std::ios::binary);
        const std::string block(4096, 'x');
        while (filler.write(block.data(), static_cast<std::streamsize>(block.size())))
        {
        }
        filler.close();
        const auto size = std::filesystem::file_size(m_root + "/filler");
        (void)::truncate((m_root + "/filler").c_str(), static_cast<off_t>(size - room));
        return {};
    }
    void Free(pid_t tarvell)
    {
        if (m_mounted)
        {
            std::filesystem::remove(m_root + "/filler");
            return;
        }
        const std::string command =
            "prlimit --pid " + std::to_string(tarvell) + " --fsize=unlimited:unlimited";
        EXPECT_EQ(std::system(command.c_str()), 0);
    }

    bool MakeReadOnly(bool readOnly)
    {
        if (m_mounted)
            return ::mount(nullptr, m_root.c_str(), nullptr,
                           MS_REMOUNT | (readOnly ? MS_RDONLY : 0), "size=4m") == 0;
        if (::geteuid() == 0)
            return false; // permissions do not hold root back
        const std::string command =
            std::string("chmod -R ") + (readOnly ? "a-w " : "u+w ") + m_root;
        return std::system(command.c_str()) == 0;
    }

private:
    std::string m_root;
    bool m_mounted = false;
};

class DataRootFault : public ::testing::Test
{
protected:
    // Ten minutes of two channels served as fast as possible.
    int StartServer()
    {
        m_world.Db().AddSiteChan("ABC", "BHZ", 100);
        m_world.Db().AddSiteChan("ABC", "BHN", 100);
        const int port =
            m_world.StartSim({"--synthetic", EndToEndWorld::Synthetic("ABC", "BHZ", 100, 600),
                              "--synthetic", EndToEndWorld::Synthetic("ABC", "BHN", 100, 600)});
        m_world.WriteIni({{"ABC", "BHZ,BHN", "127.0.0.1", port, 2}});
        return port;
    }

    // Waits for tarvell to have asked past the end of the data, stops it (the last chunks
    // are written at the stop), and checks the archive.
    void ExpectEverythingOnceAfterTheStop(test::ChildProcess& tarvell)
    {
        ASSERT_TRUE(m_world.WaitForRequestFrom("BHZ", kStart + 600));
        ASSERT_TRUE(m_world.WaitForRequestFrom("BHN", kStart + 600));
        m_world.Stop(tarvell);
        for (const char* channel : {"BHZ", "BHN"})
            ExpectEverySampleOnce(m_world, "ABC", channel, 100, 60000);
        m_world.ExpectArchiveConsistent();
    }

    EndToEndWorld m_world;
    DataRootVolume m_volume{g_waveRoot};
};

TEST_F(DataRootFault, AFullDiskLosesNothingOnceItHasRoomAgain)
{
    StartServer();
    const std::vector<std::string> prefix = m_volume.Fill();
    auto tarvell = m_world.StartTarvell("", prefix);
    ASSERT_TRUE(m_world.WaitForLog("No space left on device; the chunk is requested again", 30000));
    EXPECT_EQ(m_world.Db().Count(), 0) << "a row for samples that are not on disk";
    m_volume.Free(tarvell->Pid());
    ExpectEverythingOnceAfterTheStop(*tarvell);
    EXPECT_NE(m_world.LogText().find("Data written again"), std::string::npos);
}

// Room for a few chunks: the chunks that follow the first into a file within a commit are
// kept back and written together, and the disk fills while they are written.
TEST_F(DataRootFault, ADiskThatFillsDuringTheRunLosesNothingOnceItHasRoomAgain)
{
    if (!m_volume.Mounted())
        GTEST_SKIP() << "the data root cannot be given a volume of its own here";
    StartServer();
    m_volume.Fill(100000);
    auto tarvell = m_world.StartTarvell();
    ASSERT_TRUE(m_world.WaitForLog("No space left on device", 30000)) << m_world.Outputs();
    m_volume.Free(tarvell->Pid());
    ExpectEverythingOnceAfterTheStop(*tarvell);
}

TEST_F(DataRootFault, AReadOnlyDataRootLosesNothingOnceItIsWritableAgain)
{
    StartServer();
    if (!m_volume.MakeReadOnly(true))
        GTEST_SKIP() << "the data root cannot be made read-only here";
    auto tarvell = m_world.StartTarvell();
    const bool failed = m_world.WaitForLog("; the chunk is requested again", 30000);
    ASSERT_TRUE(m_volume.MakeReadOnly(false));
    ASSERT_TRUE(failed) << m_world.Outputs();
    EXPECT_EQ(m_world.Db().Count(), 0);
    ExpectEverythingOnceAfterTheStop(*tarvell);
}

} // namespace
} // namespace tarvell
