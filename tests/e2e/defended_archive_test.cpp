// The archive's promise against what lies outside the ring of the program's own faults:
// servers that send old or wrong data, settings that disagree, a database whose disk fills,
// one channel that cannot be written beside one that can, and a second power cut. After
// each, every sample the server sent is in the archive once, at its own time, every file has
// its row and every row its bytes.

#include <sys/mount.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "e2e/e2e_world.h"

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

class DefendedArchive : public ::testing::Test, public EndToEndWorld
{
protected:
    // Ten minutes of ABC BHZ and BHN at 100 Hz (and the switches), served as fast as possible.
    int StartServer(const std::vector<std::string>& switches, const char* bhnRate = "100")
    {
        Db().AddSiteChan("ABC", "BHZ", 100);
        Db().AddSiteChan("ABC", "BHN", 100);
        std::vector<std::string> all = {
            "--samples",
            "37",
            "--synthetic",
            Synthetic("ABC", "BHZ", 100, 600),
            "--synthetic",
            "ABC:BHN:" + std::string(bhnRate) + ":" + std::to_string(kStart) + ":600"};
        all.insert(all.end(), switches.begin(), switches.end());
        return StartSim(all);
    }

    // Waits until both channels are asked for past their ten minutes, and stops.
    void AwaitEverythingAndStop(test::ChildProcess& tarvell)
    {
        ASSERT_TRUE(WaitForRequestFrom("BHZ", kStart + 600));
        ASSERT_TRUE(WaitForRequestFrom("BHN", kStart + 600));
        Stop(tarvell);
    }

    void ExpectEverythingOnce()
    {
        for (const char* channel : {"BHZ", "BHN"})
            ExpectEverySampleOnce(*this, "ABC", channel, 100, 60000);
        ExpectArchiveConsistent();
    }
};

// A server that, after a reconnect, starts again from its oldest data.
TEST_F(DefendedArchive, AServerThatSendsItsOldestDataAgainAddsNothingTwice)
{
    const int port = StartServer({"--forget-after", "1500"});
    WriteIni({{"ABC", "BHZ,BHN", "127.0.0.1", port}});
    auto tarvell = StartTarvell();
    AwaitEverythingAndStop(*tarvell);
    ExpectEverythingOnce();
    EXPECT_NE(LogText().find("Station ABC channel BHZ: the server sent "), std::string::npos);
}

// A server that ends every connection with a bad packet after a few good ones is asked again
// after a pause that keeps growing (1 s, 2 s, 4 s ...), not at once after every connection
// that brought data: that would be a connection and two log lines a second, for ever.
TEST_F(DefendedArchive, AServerThatFailsAfterEveryFewPacketsIsAskedAgainEverLessOften)
{
    const int port = StartServer({"--oversize-after", "10"});
    WriteIni({{"ABC", "BHZ,BHN", "127.0.0.1", port}});
    auto tarvell = StartTarvell();
    std::this_thread::sleep_for(std::chrono::seconds(10));
    Stop(*tarvell);
    const std::string served = ReadFile(Box().File("xfer-sim.out"));
    int requests = 0;
    for (std::size_t at = served.find("BHZ@"); at != std::string::npos;
         at = served.find("BHZ@", at + 1))
        ++requests;
    EXPECT_GE(requests, 2) << served;
    EXPECT_LE(requests, 5) << served;
    ExpectArchiveConsistent();
}

// One packet dated 2038 among normal packets, then a restart.
TEST_F(DefendedArchive, APacketFromTheFutureIsNotArchivedAndMovesNoResumePoint)
{
    const int port = StartServer({"--future-after", "40"});
    WriteIni({{"ABC", "BHZ,BHN", "127.0.0.1", port}});
    auto first = StartTarvell();
    AwaitEverythingAndStop(*first);
    ForgetRequests();
    auto second = StartTarvell();
    AwaitEverythingAndStop(*second); // asked from the end of the data, not from 2038
    ExpectEverythingOnce();
    EXPECT_NE(LogText().find("a packet dated 2038:019-03:14:00.000 lies ahead of the clock"),
              std::string::npos);
}

// The server sends BHN at 50 Hz while SITECHAN says 100: BHN is held, with its data left on
// the server, through a restart; once SITECHAN agrees and the configuration is reloaded, BHN
// is asked again from its start. BHZ flows all the while.
TEST_F(DefendedArchive, ARateDisagreementHoldsItsChannelUntilTheRatesAgree)
{
    const int port = StartServer({}, "50");
    WriteIni({{"ABC", "BHZ,BHN", "127.0.0.1", port}});
    auto first = StartTarvell();
    ASSERT_TRUE(WaitForRequestFrom("BHZ", kStart + 600));
    Stop(*first);
    EXPECT_EQ(Db().Count("CH='BHN'"), 0);
    EXPECT_NE(LogText().find("Station ABC channel BHN is not archived for now: its server sends "
                             "a sample interval of 0.020000 s"),
              std::string::npos);

    ForgetRequests();
    auto second = StartTarvell();
    ASSERT_TRUE(WaitForRequestFrom("BHN", -1)); // its resume point stayed at its start
    // The second run holds BHN by itself before SITECHAN is mended.
    const std::string held = "Station ABC channel BHN is not archived for now";
    ASSERT_TRUE(WaitUntil(
        [&]
        {
            const std::string log = LogText();
            return log.find(held, log.find(held) + 1) != std::string::npos;
        },
        60000))
        << Outputs();
    Db().Execute("UPDATE SITECHAN SET SPS=50 WHERE CHAN='BHN'");
    ASSERT_TRUE(second->Signal(SIGHUP));
    ASSERT_TRUE(WaitForLog("Station ABC channel BHN is archived again"));
    ASSERT_TRUE(WaitForRequestFrom("BHN", kStart + 600));
    Stop(*second);
    ExpectEverySampleOnce(*this, "ABC", "BHZ", 100, 60000);
    const ChannelArchive bhn = Check("ABC", "BHN", 50, 30000);
    EXPECT_EQ(bhn.missing + bhn.duplicates + bhn.wrong, 0) << Outputs();
    ExpectArchiveConsistent();
}

// The loop file of LOP HHZ is a directory where a file should be: that channel is held and
// checked again, while ABC BHZ beside it on the same server is archived whole. Once the loop
// file is there, HHZ is asked again from its start.
TEST_F(DefendedArchive, AChannelThatCannotBeWrittenStopsNoOtherChannel)
{
    Db().AddSiteChan("ABC", "BHZ", 100);
    Db().AddSiteChan("LOP", "HHZ", 100);
    const int port = StartSim({"--samples", "37", "--synthetic", Synthetic("ABC", "BHZ", 100, 600),
                               "--synthetic", Synthetic("LOP", "HHZ", 100, 600)});
    WriteIni({{"ABC", "BHZ", "127.0.0.1", port}, {"LOP", "HHZ", "127.0.0.1", port, 1, "HHZ"}});
    const std::string loopFile = g_waveRoot + "/LOP/LOP_HHZ.DAT";
    std::filesystem::create_directories(loopFile);
    auto tarvell = StartTarvell();
    ASSERT_TRUE(WaitForRequestFrom("BHZ", kStart + 600));
    ASSERT_TRUE(WaitForLog("Station LOP channel HHZ is not archived for now"));
    EXPECT_EQ(Db().Count("STA='LOP'"), 0);

    std::filesystem::remove(loopFile);
    std::ofstream(loopFile) << std::string(1 << 20, '0');
    ASSERT_TRUE(WaitForLog("Station LOP channel HHZ is archived again"));
    ASSERT_TRUE(WaitForRequestFrom("HHZ", kStart + 600));
    Stop(*tarvell);
    ExpectEverySampleOnce(*this, "ABC", "BHZ", 100, 60000);
    ExpectEverySampleOnce(*this, "LOP", "HHZ", 100, 60000);
    ExpectArchiveConsistent();
}

// The data root from the command line (DATA=), another one in the INI's [DATA] DIR: the loop
// file is made, looked for and written under the one data root.
TEST_F(DefendedArchive, LoopFilesLiveUnderTheDataRootTheSettingsChose)
{
    Db().AddSiteChan("LOP", "HHZ", 100);
    const int port = StartSim({"--synthetic", Synthetic("LOP", "HHZ", 100, 600)});
    WriteIni({{"LOP", "HHZ", "127.0.0.1", port, 1, "HHZ"}});
    const std::string ini = ReadFile(Ini());
    const std::string elsewhere = Box().File("elsewhere");
    std::ofstream(Ini()) << std::regex_replace(ini, std::regex("\\[DATA\\]\nDIR=[^\n]*"),
                                               "[DATA]\nDIR=" + elsewhere);
    auto tarvell = StartTarvell("", {},
                                {"ODBC=" + Db().Dsn(), "USER=" + Db().User(),
                                 "PASSWORD=" + Db().Password(), "DATA=" + g_waveRoot});
    ASSERT_TRUE(WaitForRequestFrom("HHZ", kStart + 600));
    Stop(*tarvell);
    EXPECT_TRUE(std::filesystem::exists(g_waveRoot + "/LOP/LOP_HHZ.DAT"));
    EXPECT_FALSE(std::filesystem::exists(elsewhere + "/LOP"));
    ExpectEverySampleOnce(*this, "LOP", "HHZ", 100, 60000);
    ExpectArchiveConsistent();
    EXPECT_NE(LogText().find("is not the data root '" + g_waveRoot + "'"), std::string::npos);
}

// ---- a second power cut ------------------------------------------------------------------

// Undoes what a power cut undoes: every cut, removal and rename of the program's journal
// that no later sync made durable (see platform/power_cut_journal.h).
void SimulatePowerCut(const std::string& journal)
{
    struct Change
    {
        char kind;
        std::vector<std::string> fields;
        bool durable = false;
    };
    std::vector<Change> changes;
    std::istringstream lines(ReadFile(journal));
    for (std::string line; std::getline(lines, line);)
    {
        if (line.size() < 3)
            continue;
        std::vector<std::string> fields;
        std::istringstream split(line.substr(2));
        for (std::string field; std::getline(split, field, '\t');)
            fields.push_back(field);
        const char kind = line[0];
        const std::string& path = fields[0];
        for (Change& earlier : changes)
        {
            const bool sameFile = earlier.kind == 'T' && kind == 'S' && earlier.fields[0] == path;
            const std::string& changed =
                earlier.kind == 'M' ? earlier.fields[1] : earlier.fields[0];
            const bool sameDirectory = (earlier.kind == 'R' || earlier.kind == 'M') &&
                                       kind == 'D' &&
                                       std::filesystem::path(changed).parent_path() == path;
            earlier.durable = earlier.durable || sameFile || sameDirectory;
        }
        if (kind == 'T' || kind == 'R' || kind == 'M')
            changes.push_back({kind, fields});
    }
    for (auto change = changes.rbegin(); change != changes.rend(); ++change)
    {
        if (change->durable)
            continue;
        const std::vector<std::string>& f = change->fields;
        if (change->kind == 'T')
        {
            std::fstream file(f[0], std::ios::in | std::ios::out | std::ios::binary);
            file.seekp(std::stoll(f[2]));
            file << ReadFile(f[3]);
        }
        else
        {
            std::filesystem::rename(f[1], f[0]); // the removed file's copy, or the new name
        }
    }
}

// A first crash leaves bytes beyond a row; the next start cuts them back and archives the
// rest. A power cut then brings back whatever was not synced, and takes the rows of the last
// commits (SQLite's write-ahead log at SyncPragma=NORMAL) while the INI, synced, keeps their
// times: here all rows of the channel whose file was not cut. The third start still ends
// with everything once.
TEST_F(DefendedArchive, ASecondPowerCutBringsNothingBackAndLosesNothing)
{
    // Every connection ends before a chunk is full, so every chunk but the last is committed
    // when the first run is killed: its last chunk was appended to a file with a row.
    const int port = StartServer({"--close-after", "100"});
    WriteIni({{"ABC", "BHZ,BHN", "127.0.0.1", port}});
    auto crashed = StartTarvell("chunk-bytes-written:kill:17");
    crashed->Wait(30000);
    ASSERT_EQ(crashed->EndingSignal(), SIGKILL) << Outputs();

    const std::string journal = Box().File("power-cut.journal");
    auto repaired = StartTarvell("", {}, {}, {{"TARVELL_POWER_CUT_JOURNAL", journal}});
    AwaitEverythingAndStop(*repaired);
    const std::string log = LogText();
    const std::size_t cut = log.find("beyond its row: cut back to it");
    ASSERT_NE(cut, std::string::npos) << Outputs();
    // The channel whose file was cut keeps its rows, so that the cut file is not its latest
    // (no later start looks at it again); the other loses them all.
    const std::string cutChannel = log.substr(log.rfind('-', cut) + 1, 3);
    SimulatePowerCut(journal);
    Db().Execute("DELETE FROM FILELIST WHERE CH<>'" + cutChannel + "'");

    ForgetRequests();
    auto last = StartTarvell();
    AwaitEverythingAndStop(*last);
    ExpectEverythingOnce();
}

// ---- the database on a full disk -----------------------------------------------------------

// The SQLite database on a small file system of its own, filled while data flow, then freed
// again: no row may outlive its chunk's take-back, and the program archives again by itself.
class FullDatabaseDisk : public ::testing::Test
{
protected:
    FullDatabaseDisk()
    {
        char pattern[] = "/tmp/tarvell-dbdisk-XXXXXX";
        if (::mkdtemp(pattern) != nullptr)
            m_volume = pattern;
        m_mounted = ::geteuid() == 0 &&
                    ::mount("tmpfs", m_volume.c_str(), "tmpfs", 0, "size=2m,mode=0755") == 0;
    }
    ~FullDatabaseDisk() override
    {
        m_world.reset();
        if (m_mounted)
            ::umount2(m_volume.c_str(), MNT_DETACH);
        std::filesystem::remove_all(m_volume);
    }

    void Fill()
    {
        std::ofstream filler(m_volume + "/filler", std::ios::binary);
        const std::string block(4096, 'x');
        while (filler.write(block.data(), static_cast<std::streamsize>(block.size())))
        {
        }
    }
    void Free() { std::filesystem::remove(m_volume + "/filler"); }

    std::string m_volume;
    bool m_mounted = false;
    std::unique_ptr<EndToEndWorld> m_world;
};

TEST_F(FullDatabaseDisk, NoRowOutlivesItsChunkAndArchivingResumesOnceThereIsRoom)
{
    if (!m_mounted)
        GTEST_SKIP() << "a file system of the test's own needs root (tmpfs)";
    m_world = std::make_unique<EndToEndWorld>(m_volume);
    EndToEndWorld& world = *m_world;
    world.Db().AddSiteChan("ABC", "BHZ", 100);
    world.Db().AddSiteChan("ABC", "BHN", 100);
    // The server turns the first two requests away, so that the disk fills after the server's
    // lease is taken and before its data come; a lease of ten minutes is not renewed in the
    // test, so it is the group commit's transaction that meets the full disk.
    const int port =
        world.StartSim({"--retry-first", "2", "--samples", "37", "--synthetic",
                        EndToEndWorld::Synthetic("ABC", "BHZ", 100, 600), "--synthetic",
                        EndToEndWorld::Synthetic("ABC", "BHN", 100, 600)});
    world.WriteIni({{"ABC", "BHZ,BHN", "127.0.0.1", port}}, "", "\n[CLUSTER]\nLEASE_SECONDS=600\n");
    auto tarvell = world.StartTarvell();
    ASSERT_TRUE(world.WaitForLog(" held here (fence "));
    Fill();
    ASSERT_TRUE(world.WaitForLog("Rows not written ("));
    Free();
    ASSERT_TRUE(world.WaitForRequestFrom("BHZ", kStart + 600));
    ASSERT_TRUE(world.WaitForRequestFrom("BHN", kStart + 600));
    world.Stop(*tarvell);
    for (const char* channel : {"BHZ", "BHN"})
        ExpectEverySampleOnce(world, "ABC", channel, 100, 60000);
    world.ExpectArchiveConsistent();
}

} // namespace
} // namespace tarvell
