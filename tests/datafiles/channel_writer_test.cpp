#include "datafiles/channel_writer.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "config/loop_files.h"
#include "datafiles/channel_ini.h"
#include "datafiles/loop_segments.h"
#include "datafiles/writer_fixture.h"
#include "platform/file_system.h"

namespace tarvell
{
namespace
{

using test::FileRow;
using test::kT0;
using test::ReadFile;

long long SizeOf(const std::string& path)
{
    struct stat st = {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

// Limits the size of files this process may write, as a full disk would.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        ::getrlimit(RLIMIT_FSIZE, &m_previous);
        rlimit limit = m_previous;
        limit.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() { ::setrlimit(RLIMIT_FSIZE, &m_previous); }

private:
    rlimit m_previous{};
};

class ChannelWriterTest : public test::WriterTest
{
protected:
    // Every FILELIST row of a time-named file names a file on disk whose samples it counts
    // exactly (TQTY x SPS), and every file on disk has its row.
    void ExpectRowsAccountForEveryFile(const std::string& station)
    {
        std::vector<FileRow> rows = Rows("STA='" + station + "'");
        for (const FileRow& row : rows)
        {
            const long long size = SizeOf(Data(row.path));
            ASSERT_GE(size, 512) << row.path;
            EXPECT_NEAR(row.seconds * row.rate, static_cast<double>(size - 512) / 4, 1e-3)
                << row.path;
        }
        EXPECT_EQ(static_cast<long long>(rows.size()), CountFiles(Data(station)));
    }

    static long long CountFiles(const std::string& stationDirectory)
    {
        long long files = 0;
        for (int hour = 0; hour < 24; ++hour)
        {
            char name[8];
            std::snprintf(name, sizeof name, "/%02d", hour);
            if (DIR* dir = ::opendir((stationDirectory + name).c_str()))
            {
                while (dirent* entry = ::readdir(dir))
                    files += entry->d_name[0] != '.';
                ::closedir(dir);
            }
        }
        return files;
    }
};

TEST_P(ChannelWriterTest, EverySampleIsWrittenOnceAtItsOwnTime)
{
    m_db.AddSiteChan("ABC", "BHZ", 100);
    Configure("[SYSTEM]\nGROUPS=1\n[GROUP1]\nSTATION=ABC\nCHAN=BHZ\nSIZEMB=100\n");
    CChannelState& channel = Channel("ABC", "BHZ");

    Send("ABC", "BHZ", kT0, 0.01, 100); // the first packet after a reset starts the buffer
    EXPECT_EQ(channel.bufferCount, 100);
    EXPECT_EQ(channel.bufferStart, kT0);
    Send("ABC", "BHZ", kT0 + 1.0, 0.01, 100);   // exactly at the end
    Send("ABC", "BHZ", kT0 + 2.004, 0.01, 100); // within half an interval: jitter
    EXPECT_EQ(channel.bufferCount, 300);
    EXPECT_DOUBLE_EQ(channel.bufferDuration, 3.0);
    EXPECT_EQ(m_db.Count(), 0);
    EXPECT_EQ(channel.calib, 1.5);
    EXPECT_EQ(channel.calper, 2.0);

    Send("ABC", "BHZ", kT0 + 3.01, 0.01, 100); // one sample missing: a gap
    EXPECT_EQ(channel.bufferCount, 100);
    EXPECT_EQ(channel.bufferStart, kT0 + 3.01);
    std::vector<FileRow> rows = Rows();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].path, "ABC/13/07122026-130455-BHZ.ABC");
    EXPECT_DOUBLE_EQ(rows[0].seconds, 3.0);
    const std::vector<float> sent = Sent("ABC", "BHZ");
    EXPECT_EQ(ReadSamples(Data(rows[0].path)),
              std::vector<float>(sent.begin(), sent.begin() + 300));

    // Overlaps the buffer by 0.41 s: the 41 samples held already are not taken again, the
    // rest continues the buffer.
    Send("ABC", "BHZ", kT0 + 3.6, 0.01, 100);
    EXPECT_EQ(channel.bufferStart, kT0 + 3.01);
    EXPECT_EQ(channel.bufferCount, 159);
    EXPECT_EQ(LogCount("Station ABC channel BHZ: the server sent"), 0); // the run goes on
    Send("ABC", "BHZ", kT0 + 4.6, 0.01, 100);
    EXPECT_EQ(LogCount("Station ABC channel BHZ: the server sent 41 samples again"), 1);
    // A server that starts again from its oldest data: nothing of it is taken.
    Send("ABC", "BHZ", kT0, 0.01, 100);
    EXPECT_EQ(channel.bufferCount, 259);
    Flush(0, 0);
    rows = Rows();
    ASSERT_EQ(rows.size(), 2u); // the chunk after the gap is a file of its own
    EXPECT_EQ(rows[1].path, "ABC/13/07122026-130458-BHZ.ABC");
    EXPECT_DOUBLE_EQ(rows[1].begin, kT0 + 3.01);
    EXPECT_NEAR(rows[1].seconds, 2.59, 1e-9);
    std::vector<float> expected(259);
    for (std::size_t i = 0; i < expected.size(); ++i)
        expected[i] = static_cast<float>(301 + i); // a sample's value is its time
    EXPECT_EQ(ReadSamples(Data(rows[1].path)), expected);
    EXPECT_NEAR(channel.resumeTime, kT0 + 5.6, 1e-6);
    EXPECT_EQ(ChannelFileText("ABC", "BHZ"), "ABC/13/07122026-130458-BHZ.ABC");
}

TEST_P(ChannelWriterTest, ABufferTakesUpTo4900SamplesAndSlowChannelsWriteEveryPacket)
{
    m_db.AddSiteChan("ABC", "BHZ", 100);
    m_db.AddSiteChan("ABC", "BHN", 100);
    m_db.AddSiteChan("ABC", "LHZ", 1.0);
    Configure("[SYSTEM]\nGROUPS=1\n[GROUP1]\nSTATION=ABC\nCHAN=BHZ,BHN,LHZ\nSIZEMB=100\n");
    for (int p = 0; p < 48; ++p)
    {
        Send("ABC", "BHZ", kT0 + p, 0.01, 100);
        Send("ABC", "BHN", kT0 + p, 0.01, 100);
    }
    Send("ABC", "BHZ", kT0 + 48, 0.01, 100); // 4800 + 100: still one chunk
    Send("ABC", "BHN", kT0 + 48, 0.01, 101); // 4800 + 101: the 4800 are written
    EXPECT_EQ(Channel("ABC", "BHZ").bufferCount, 4900);
    EXPECT_EQ(Channel("ABC", "BHN").bufferCount, 101);
    std::vector<FileRow> rows = Rows();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].channel, "BHN");
    EXPECT_DOUBLE_EQ(rows[0].seconds, 48.0);

    // 1 sample per second: every packet is a chunk, written when the next one arrives; the
    // chunks still follow on in one file.
    Send("ABC", "LHZ", kT0, 1.0, 10);
    EXPECT_EQ(Rows("CH='LHZ'").size(), 0u);
    Send("ABC", "LHZ", kT0 + 10, 1.0, 10);
    Send("ABC", "LHZ", kT0 + 20, 1.0, 10);
    rows = Rows("CH='LHZ'");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_DOUBLE_EQ(rows[0].seconds, 20.0);
    EXPECT_EQ(Channel("ABC", "LHZ").bufferCount, 10);
    EXPECT_EQ(ReadSamples(Data(rows[0].path)).size(), 20u);
}

TEST_P(ChannelWriterTest, AFileIsRotatedOnceItHoldsMoreThanItsLengthLessOneSecond)
{
    m_db.AddSiteChan("ABC", "BHZ", 100);
    Configure("[SYSTEM]\nGROUPS=1\n[GROUP1]\nSTATION=ABC\nCHAN=BHZ\nSIZEMB=100\n"
              "FILELENGTH(MIN)=60\n");
    // Packets of 4900 samples: each one is a chunk of 49 seconds.
    for (int p = 0; p < 76; ++p)
        Send("ABC", "BHZ", kT0 + 49.0 * p, 0.01, 4900);
    std::vector<FileRow> rows = Rows();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_NEAR(rows[0].seconds, 74 * 49.0, 1e-6); // 3626 s: more than 3599 after 74 chunks
    EXPECT_NEAR(rows[1].begin, kT0 + 3626, 1e-6);
    EXPECT_NEAR(rows[1].seconds, 49.0, 1e-6);
    EXPECT_EQ(SizeOf(Data(rows[0].path)), 512 + 74 * 4900 * 4);
    ExpectRowsAccountForEveryFile("ABC");
}

TEST_P(ChannelWriterTest, FileNamesPadShortNamesWithBlanksAndHeadersMatchTheExample)
{
    m_db.AddSiteChan("AB", "BZ", 20);
    m_db.AddSiteChan("ABC", "BHZ", 100);
    Configure("[SYSTEM]\nGROUPS=2\n[GROUP1]\nSTATION=AB\nCHAN=BZ\n"
              "[GROUP2]\nSTATION=ABC\nCHAN=BHZ\nSIZEMB=100\n");
    Send("AB", "BZ", kT0 + 0.7, 0.05, 10);
    Send("AB", "BZ", kT0 + 100, 0.05, 10);
    std::vector<FileRow> rows = Rows("STA='AB'");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].path, "AB/13/07122026-130455- BZ. AB");
    EXPECT_TRUE(PathExists(Data("AB/13/07122026-130455- BZ. AB")));

    Send("ABC", "BHZ", kT0 + 0.7, 0.01, 4900);
    Flush(1, 0);
    const std::string file = ReadFile(Data("ABC/13/07122026-130455-BHZ.ABC"));
    ASSERT_EQ(file.size(), 512u + 4900 * 4);
    EXPECT_EQ(file.substr(0, 512),
              ReadFile(TARVELL_TEST_DATA_DIR "/header_time_named_ABC_BHZ.bin"));
    EXPECT_EQ(Channel("ABC", "BHZ").bufferCount, 0);
}

TEST_P(ChannelWriterTest, ALoopFileWrapsPastItsRingAndKeepsEverySegmentItDoesNotOverwrite)
{
    m_db.AddSiteChan("ABC", "BHZ", 20);
    Configure("[SYSTEM]\nGROUPS=1\n[GROUP1]\nSTATION=ABC\nCHAN=BHZ\nSIZEMB=1\n"
              "FILE_BHZ=ABC_BHZ.DAT\n");
    PrepareLoopFiles(*m_config);
    const std::string path = Data("ABC/ABC_BHZ.DAT");
    ASSERT_EQ(SizeOf(path), 1048576);
    ASSERT_TRUE(AddLoopSegment("ABC", "BHZ", path, kT0 - 5000, 10, 20, 1, 1, 1312));
    ASSERT_TRUE(AddLoopSegment("ABC", "BHZ", path, kT0 - 4000, 10, 20, 1, 1, 200000));
    ASSERT_TRUE(AddLoopSegment("ABC", "BHZ", path, kT0 - 100, 10, 20, 1, 1, 1048000));

    // 1048000 + 10 s x 20 samples x 4 bytes = 1048800 > 1048576: the chunk goes to 512 and
    // overwrites bytes 512 .. 1312; the segment at 1312 and the one at 200000 are intact.
    Send("ABC", "BHZ", kT0, 0.05, 200);
    Flush(0, 0);
    std::vector<FileRow> rows = Rows();
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(rows[3].offset, 512);
    EXPECT_EQ(rows[3].path, path);
    EXPECT_DOUBLE_EQ(rows[3].begin, kT0);
    EXPECT_DOUBLE_EQ(rows[3].seconds, 10);
    EXPECT_EQ(ReadSamples(path, 512, 200), Sent("ABC", "BHZ"));
    EXPECT_EQ(SizeOf(path), 1048576);
    // The header describes the rows after the chunk: from the oldest segment to the newest.
    const std::string header = ReadFile(path).substr(0, 512);
    EXPECT_NE(header.find("Data offset=1312\r\n"), std::string::npos) << header;
    EXPECT_NE(header.find("Time duration=01 01:23:30\r\n"), std::string::npos) << header;
    EXPECT_EQ(ChannelFileText("ABC", "BHZ"), "ABC_BHZ.DAT (DL)");
    EXPECT_EQ(Ini("GROUP1", "BHZ"), "1796648705");

    // The next chunk follows on: it lengthens the segment at 512 by 4 s and overwrites the
    // first 4 s of the one at 1312, which keeps its last 6 s, moved past the new bytes.
    Send("ABC", "BHZ", kT0 + 10, 0.05, 80);
    Flush(0, 0);
    rows = Rows("FOFF=512");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_DOUBLE_EQ(rows[0].seconds, 14);
    EXPECT_EQ(ReadSamples(path, 512, 280), Sent("ABC", "BHZ"));
    rows = Rows("TBEGIN<" + std::to_string(kT0 - 4500));
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].offset, 1632);
    EXPECT_NEAR(rows[0].begin, kT0 - 5000 + 4, 1e-4);
    EXPECT_NEAR(rows[0].seconds, 6, 1e-6);
    EXPECT_EQ(Ini("GROUP1", "BHZ"), "1796648709");
}

TEST_P(ChannelWriterTest, ALoopFileWithoutARingWritesEveryChunkAt512)
{
    m_db.AddSiteChan("ABC", "BHZ", 20);
    Configure("[SYSTEM]\nGROUPS=1\n[GROUP1]\nSTATION=ABC\nCHAN=BHZ\nSIZEMB=0\n"
              "FILE_BHZ=ABC_BHZ.DAT\n");
    PrepareLoopFiles(*m_config);
    for (int chunk = 0; chunk < 3; ++chunk)
    {
        Send("ABC", "BHZ", kT0 + 10 * chunk, 0.05, 200);
        Flush(0, 0);
    }
    std::vector<FileRow> rows = Rows();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].offset, 512);
    EXPECT_DOUBLE_EQ(rows[0].begin, kT0 + 20);
    const std::vector<float> sent = Sent("ABC", "BHZ");
    EXPECT_EQ(ReadSamples(Data("ABC/ABC_BHZ.DAT"), 512, 200),
              std::vector<float>(sent.begin() + 400, sent.end()));
}

TEST_P(ChannelWriterTest, ResumeTimesAndLoopEntriesUseTheSectionTheGroupWasReadFrom)
{
    m_db.AddSiteChan("ABC", "BHZ", 20);
    Configure("[SYSTEM]\nGROUPS=2\n[GROUP1]\nCHAN=BHZ\nFILE_BHZ=wrong.dat\nBHZ=123\n"
              "[GROUP2]\nSTATION=ABC\nCHAN=BHZ\nSIZEMB=1\nFILE_BHZ=ABC_BHZ.DAT\n");
    PrepareLoopFiles(*m_config);
    EXPECT_FALSE(PathExists(Data("ABC/wrong.dat")));
    Send("ABC", "BHZ", kT0, 0.05, 200);
    Flush(0, 0);
    std::vector<FileRow> rows = Rows();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].path, Data("ABC/ABC_BHZ.DAT"));
    EXPECT_EQ(Ini("GROUP2", "BHZ"), "1796648705");
    EXPECT_EQ(Ini("GROUP1", "BHZ"), "123");
    EXPECT_EQ(LoadResumeTime(g_iniPath, m_config->groups[0], "BHZ"), 1796648705);
}

TEST_P(ChannelWriterTest, ALowerCaseStationStillWritesItsLoopFile)
{
    m_db.AddSiteChan("ABC", "BHZ", 20);
    Configure("[SYSTEM]\nGROUPS=1\n[GROUP1]\nSTATION=abc\nCHAN=bhz\nSIZEMB=1\n"
              "FILE_BHZ=ABC_BHZ.DAT\n");
    PrepareLoopFiles(*m_config);
    ASSERT_TRUE(PathExists(Data("ABC/ABC_BHZ.DAT")));
    Send("ABC", "BHZ", kT0, 0.05, 200);
    Flush(0, 0);
    std::vector<FileRow> rows = Rows();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].offset, 512);
    EXPECT_EQ(LogCount("not written"), 0);
}

TEST_P(ChannelWriterTest, ANewFileNeverReplacesAFileOfTheSameName)
{
    m_db.AddSiteChan("ABC", "BHZ", 100);
    Configure("[SYSTEM]\nGROUPS=1\n[GROUP1]\nSTATION=ABC\nCHAN=BHZ\nSIZEMB=100\n");
    // A file of an earlier run, with its row, under the name the next chunk would take.
    MakeDirectory(Data("ABC"));
    MakeDirectory(Data("ABC/13"));
    m_box.Write("data/ABC/13/07122026-130455-BHZ.ABC", "earlier run");
    m_db.Execute("INSERT INTO FILELIST (STA, TBEGIN, TQTY, SPS, CPATH, CH, CREATER, FOFF) VALUES "
                 "('ABC', 1.0, 2.0, 100, 'ABC/13/07122026-130455-BHZ.ABC', 'BHZ', "
                 "'DUVODIZEREVE', 512)");

    Send("ABC", "BHZ", kT0 + 0.1, 0.01, 10);
    Send("ABC", "BHZ", kT0 + 0.5, 0.01, 10); // a gap: the first chunk is written
    EXPECT_EQ(ReadFile(Data("ABC/13/07122026-130455-BHZ.ABC")), "earlier run");
    EXPECT_EQ(Rows("TBEGIN=1.0").size(), 1u);
    std::vector<FileRow> rows = Rows("TBEGIN>1.0");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].path, "ABC/13/07122026-130455-BHZ_1.ABC");

    // The next chunk starts in the same second as the channel's own file, after a gap: a
    // file of its own, never the samples after a gap appended at earlier times.
    Send("ABC", "BHZ", kT0 + 0.9, 0.01, 10);
    rows = Rows("TBEGIN>1.0");
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[1].path, "ABC/13/07122026-130455-BHZ_2.ABC");
    EXPECT_DOUBLE_EQ(rows[1].begin, kT0 + 0.5);
    EXPECT_EQ(ReadFile(Data("ABC/13/07122026-130455-BHZ.ABC")), "earlier run");
}

TEST_P(ChannelWriterTest, AChunkThatCannotBeWrittenLeavesNothingAndIsAskedForAgain)
{
    m_db.AddSiteChan("ABC", "BHZ", 100);
    Configure("[SYSTEM]\nGROUPS=1\n[GROUP1]\nSTATION=ABC\nCHAN=BHZ\nSIZEMB=100\n");
    CChannelState& channel = Channel("ABC", "BHZ");
    // Packets of 1000 samples: every fifth one has the four before it written as a chunk.
    auto sendFrom = [&](int first, int last)
    {
        for (int p = first; p <= last && m_last; ++p)
            Send("ABC", "BHZ", kT0 + 10 * p, 0.01, 1000);
    };
    struct Fault
    {
        const char* name;
        std::function<void()> begin;
        std::function<void()> end;
        std::string logged;
    };
    const std::string root = g_waveRoot;
    const std::string file = Data("ABC/13/07122026-130455-BHZ.ABC");
    std::unique_ptr<FileSizeLimit> limit;
    const std::vector<Fault> faults = {
        {"missing data root",
         [&] { ASSERT_EQ(::rename(root.c_str(), (root + ".away").c_str()), 0); },
         [&] { ASSERT_EQ(::rename((root + ".away").c_str(), root.c_str()), 0); },
         "Data root '" + root + "' does not exist"},
        // The limit leaves the event log room for its lines (it binds every file).
        {"full disk",
         [&] { limit = std::make_unique<FileSizeLimit>(static_cast<rlim_t>(Log().size() + 2048)); },
         [&] { limit.reset(); }, "File write error '" + file + "'"},
        {"full disk on an append",
         [&] { limit = std::make_unique<FileSizeLimit>(SizeOf(file) + 100); },
         [&] { limit.reset(); }, "File write error '" + file + "'"},
    };
    int asked = 0; // the packet from which the server is asked again
    for (const Fault& fault : faults)
    {
        SCOPED_TRACE(fault.name);
        const std::size_t rowsBefore = Rows().size();
        const long long sizeBefore = SizeOf(file);
        const int loggedBefore = LogCount(fault.logged);
        fault.begin();
        sendFrom(asked == 0 ? 0 : asked + 1, asked + 4); // packet `asked` is buffered already
        fault.end();
        EXPECT_FALSE(m_last); // the chunk failed: the packet in hand was not taken
        EXPECT_EQ(Rows().size(), rowsBefore);
        EXPECT_EQ(SizeOf(file), sizeBefore); // nothing half-written stays
        EXPECT_EQ(LogCount(fault.logged), loggedBefore + 1);
        // The server is asked again from the end of what is written.
        EXPECT_NEAR(channel.resumeTime, kT0 + 10 * asked, 1e-6);
        m_last = true;
        sendFrom(asked, asked + 4);
        ASSERT_TRUE(m_last);
        asked += 4;
    }
    Flush(0, 0);
    std::vector<FileRow> rows = Rows();
    ASSERT_EQ(rows.size(), 1u); // nothing was lost, so the file never had a gap
    EXPECT_DOUBLE_EQ(rows[0].seconds, 130);
    const std::vector<float> samples = ReadSamples(file);
    ASSERT_EQ(samples.size(), 13000u);
    for (std::size_t i = 0; i < samples.size(); ++i)
        ASSERT_EQ(samples[i], static_cast<float>(i)) << i; // each sample once, in order
    EXPECT_EQ(LogCount("is there again"), 1);
    EXPECT_EQ(LogCount("Data written again '" + file + "'"), 2);
}

TEST_P(ChannelWriterTest, ADeletedOrShortenedLoopFileIsLoggedOnceAndNeverCrashes)
{
    m_db.AddSiteChan("ABC", "BHZ", 20);
    m_db.AddSiteChan("ABC", "BHN", 20);
    Configure("[SYSTEM]\nGROUPS=1\n[GROUP1]\nSTATION=ABC\nCHAN=BHZ,BHN\nSIZEMB=1\n"
              "FILE_BHZ=ABC_BHZ.DAT\nFILE_BHN=ABC_BHN.DAT\n");
    PrepareLoopFiles(*m_config);
    for (int chunk = 0; chunk < 2; ++chunk)
    {
        Send("ABC", "BHZ", kT0 + 10 * chunk, 0.05, 200);
        Send("ABC", "BHN", kT0 + 10 * chunk, 0.05, 200);
        Flush(0, 0);
        Flush(0, 1);
    }

    // BHZ's loop file is deleted: the channel goes on in time-named files.
    ASSERT_EQ(::unlink(Data("ABC/ABC_BHZ.DAT").c_str()), 0);
    for (int chunk = 2; chunk < 4; ++chunk)
    {
        Send("ABC", "BHZ", kT0 + 10 * chunk, 0.05, 200);
        Flush(0, 0);
    }
    EXPECT_EQ(LogCount("Loop file of station ABC channel BHZ not found"), 1);
    EXPECT_EQ(Rows("CH='BHZ' AND FOFF=512 AND CPATH LIKE 'ABC/%'").size(), 1u);
    EXPECT_EQ(ChannelFileText("ABC", "BHZ"), "ABC/13/07122026-130515-BHZ.ABC");

    // BHN's loop file is cut short: the chunk still lands where it belongs.
    ASSERT_EQ(::truncate(Data("ABC/ABC_BHN.DAT").c_str(), 1000), 0);
    Send("ABC", "BHN", kT0 + 20, 0.05, 200);
    Flush(0, 1);
    EXPECT_EQ(LogCount("Loop file '" + Data("ABC/ABC_BHN.DAT") + "' is shorter"), 1);
    EXPECT_EQ(SizeOf(Data("ABC/ABC_BHN.DAT")), 512 + 3 * 800);
    const std::vector<float> sent = Sent("ABC", "BHN");
    EXPECT_EQ(ReadSamples(Data("ABC/ABC_BHN.DAT"), 512 + 1600),
              std::vector<float>(sent.begin() + 400, sent.end()));
    std::vector<FileRow> rows = Rows("CH='BHN'");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_DOUBLE_EQ(rows[0].seconds, 30);
}

TEST_P(ChannelWriterTest, AnIniEditedWhileRunningNeverGetsResumeTimesOfAnotherStation)
{
    m_db.AddSiteChan("ABC", "BHZ", 100);
    Configure("[SYSTEM]\nGROUPS=1\n[GROUP1]\nSTATION=ABC\nCHAN=BHZ\nSIZEMB=100\n");
    Send("ABC", "BHZ", kT0, 0.01, 100);
    // The operator inserts a station in front of ABC.
    WriteIni("[DATA]\nDIR=" + g_waveRoot +
             "\n[SYSTEM]\nGROUPS=2\n[GROUP1]\nSTATION=XYZ\n"
             "CHAN=BHZ\nBHZ=42\n[GROUP2]\nSTATION=ABC\nCHAN=BHZ\n");
    Send("ABC", "BHZ", kT0 + 10, 0.01, 100);
    Send("ABC", "BHZ", kT0 + 20, 0.01, 100);
    EXPECT_EQ(Ini("GROUP1", "BHZ"), "42");
    EXPECT_EQ(Ini("GROUP2", "BHZ"), "1796648706");
    EXPECT_EQ(LogCount("Station ABC was moved from GROUP1 to GROUP2"), 1);

    // The station is removed: nothing is stored for it, the data are still written.
    WriteIni("[DATA]\nDIR=" + g_waveRoot +
             "\n[SYSTEM]\nGROUPS=1\n[GROUP1]\nSTATION=XYZ\n"
             "CHAN=BHZ\nBHZ=42\n");
    Send("ABC", "BHZ", kT0 + 30, 0.01, 100);
    Send("ABC", "BHZ", kT0 + 40, 0.01, 100);
    EXPECT_EQ(Ini("GROUP1", "BHZ"), "42");
    EXPECT_EQ(LogCount("Station ABC is no longer in the program INI"), 1);
    EXPECT_EQ(m_db.Count(), 4);
}

TEST_P(ChannelWriterTest, APacketOfMoreThan4900SamplesIsTakenInPieces)
{
    m_db.AddSiteChan("ABC", "BHZ", 100);
    Configure("[SYSTEM]\nGROUPS=1\n[GROUP1]\nSTATION=ABC\nCHAN=BHZ\nSIZEMB=100\n");
    Send("ABC", "BHZ", kT0, 0.01, 12000);
    EXPECT_EQ(Channel("ABC", "BHZ").bufferCount, 2200);
    EXPECT_NEAR(Channel("ABC", "BHZ").bufferStart, kT0 + 98, 1e-6);
    EXPECT_NEAR(Channel("ABC", "BHZ").resumeTime, kT0 + 120, 1e-6);
    Flush(0, 0);
    std::vector<FileRow> rows = Rows();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_NEAR(rows[0].seconds, 120, 1e-6);
    EXPECT_EQ(ReadSamples(Data(rows[0].path)), Sent("ABC", "BHZ"));
    EXPECT_EQ(LogCount("Packet of 12000 samples of station ABC channel BHZ taken in pieces"), 1);
}

TEST_P(ChannelWriterTest, PacketsOfChannelsNotConfiguredOrWithoutAnIntervalAreDropped)
{
    m_db.AddSiteChan("ABC", "BHZ", 100);
    Configure("[SYSTEM]\nGROUPS=1\n[GROUP1]\nSTATION=ABC\nCHAN=BHZ\nSIZEMB=100\n");
    Send("ABC", "BHN", kT0, 0.01, 100);
    Send("XYZ", "BHZ", kT0, 0.01, 100);
    Send("abc", "bhz", kT0, 0, 100);
    Send("abc", "bhz", kT0, 0, 100);
    EXPECT_EQ(Channel("ABC", "BHZ").bufferCount, 0);
    EXPECT_EQ(LogCount("Packets of station ABC channel BHZ dropped"), 1);
    Send("abc", "bhz", kT0, 0.01, 100); // names are compared without regard to case
    EXPECT_EQ(Channel("ABC", "BHZ").bufferCount, 100);
}

TEST_P(ChannelWriterTest, WhenThePurgeTakesTheCurrentFileTheNextChunkStartsANewOne)
{
    m_db.AddSiteChan("ABC", "BHZ", 100);
    Configure("[SYSTEM]\nGROUPS=1\n[GROUP1]\nSTATION=ABC\nCHAN=BHZ\nSIZEMB=1\n");
    // 1 MiB holds 53 chunks of 4900 samples; the file is purged while it is still current.
    for (int p = 0; p < 60; ++p)
        Send("ABC", "BHZ", kT0 + 49.0 * p, 0.01, 4900);
    EXPECT_GE(LogCount("Deleted file"), 1);
    EXPECT_GE(LogCount("File open error"), 1);
    std::vector<FileRow> rows = Rows();
    ASSERT_FALSE(rows.empty());
    // No chunk was dropped: what is left runs without a gap up to the last chunk written.
    for (std::size_t i = 1; i < rows.size(); ++i)
        EXPECT_NEAR(rows[i - 1].begin + rows[i - 1].seconds, rows[i].begin, 1e-6);
    EXPECT_NEAR(rows.back().begin + rows.back().seconds, kT0 + 59 * 49.0, 1e-6);
    ExpectRowsAccountForEveryFile("ABC");
}

// A file removed, or replaced by another under its name, after a chunk was written into it
// takes none of the later chunks, and its row never grows to claim the bytes that went with
// it: whether that chunk was committed (the file is kept open for the next one) or not (held
// open until its commit).
TEST_P(ChannelWriterTest, AFileRemovedOrReplacedBetweenTwoChunksIsNotClaimedOrContinued)
{
    struct Case
    {
        const char* channel;
        bool committed; // the chunk before the change
        bool replaced;  // else removed
    };
    const Case cases[] = {
        {"BHZ", false, false}, {"BHN", false, true}, {"BHE", true, false}, {"HHZ", true, true}};
    for (const Case& c : cases)
        m_db.AddSiteChan("ABC", c.channel, 100);
    Configure("[SYSTEM]\nGROUPS=1\n[GROUP1]\nSTATION=ABC\nCHAN=BHZ,BHN,BHE,HHZ\nSIZEMB=100\n");
    for (const Case& c : cases)
    {
        const std::string first = std::string("ABC/13/07122026-130455-") + c.channel + ".ABC";
        // A full buffer is written when the next packet comes.
        Send("ABC", c.channel, kT0, 0.01, 4900);
        Send("ABC", c.channel, kT0 + 49.0, 0.01, 4900); // committed: file and row
        Send("ABC", c.channel, kT0 + 98.0, 0.01, 4900, c.committed);
        if (c.replaced)
        {
            m_box.Write("data/ABC/13/other", "another program's file");
            ASSERT_EQ(::rename(Data("ABC/13/other").c_str(), Data(first).c_str()), 0);
        }
        else
        {
            ASSERT_EQ(::unlink(Data(first).c_str()), 0);
        }
        Send("ABC", c.channel, kT0 + 147.0, 0.01, 4900); // a new file; then the commit
        const std::vector<FileRow> rows = Rows(std::string("CH='") + c.channel + "'");
        ASSERT_EQ(rows.size(), 2u) << c.channel;
        EXPECT_EQ(rows[0].path, first);
        EXPECT_DOUBLE_EQ(rows[0].seconds, c.committed ? 98.0 : 49.0) << c.channel;
        EXPECT_EQ(rows[1].path, std::string("ABC/13/07122026-130633-") + c.channel + ".ABC");
        EXPECT_DOUBLE_EQ(rows[1].seconds, 49.0) << c.channel;
        EXPECT_EQ(SizeOf(Data(rows[1].path)), 512 + 4900 * 4) << c.channel;
    }
    // Held open for its commit, a file is gone; kept open since the last commit, it is looked
    // for by its path again: a replaced one is changed.
    EXPECT_EQ(LogCount("File open error"), 3);
    EXPECT_EQ(LogCount("was changed by another program"), 1);
    EXPECT_EQ(ReadFile(Data("ABC/13/07122026-130455-HHZ.ABC")), "another program's file");
}

// Under a latency bound a buffer that is not full is written and committed once it is older
// than the bound: each chunk continues the channel's file exactly where the last one ended,
// and after each commit the row describes every byte of the file.
TEST_P(ChannelWriterTest, UnderALatencyBoundChunksAreCommittedEarlyAndContinueTheirFile)
{
    m_db.AddSiteChan("ABC", "BHZ", 100);
    Configure("[SYSTEM]\nGROUPS=1\nMAX_LATENCY=1\n[GROUP1]\nSTATION=ABC\nCHAN=BHZ\nSIZEMB=100\n");
    CLinkArchive& archive = ArchiveOf("ABC", "BHZ");
    const double start = static_cast<double>(std::time(nullptr)) - 2; // live data
    for (int packet = 0; packet < 3; ++packet)
    {
        // A packet of 0.5 s, its data as old as that: late once they are older than the bound.
        Send("ABC", "BHZ", start + 0.5 * packet, 0.01, 50, false);
        ASSERT_TRUE(archive.WriteIfLate(archive.Find("ABC", "BHZ")));
        EXPECT_EQ(Channel("ABC", "BHZ").bufferCount, 50) << "not late yet";
        std::this_thread::sleep_for(std::chrono::milliseconds(700));
        ASSERT_TRUE(archive.WriteLateBuffers());
        archive.Journal().CommitIfDue();
        const std::vector<FileRow> rows = Rows();
        ASSERT_EQ(rows.size(), 1u) << packet;
        EXPECT_NEAR(rows[0].seconds, 0.5 * (packet + 1), 1e-6);
        EXPECT_EQ(ReadSamples(Data(rows[0].path)), Sent("ABC", "BHZ"));
    }
    ExpectRowsAccountForEveryFile("ABC");
}

TEST_P(ChannelWriterTest, AnHourOfA100HzChannelReadsBackSampleForSample)
{
    m_db.AddSiteChan("ABC", "HHZ", 100);
    Configure("[SYSTEM]\nGROUPS=1\n[GROUP1]\nSTATION=ABC\nCHAN=HHZ\nSIZEMB=100\n"
              "FILELENGTH(MIN)=10\n");
    for (int second = 0; second < 3600; ++second)
    {
        if (second == 1800 || second == 1801)
            continue; // two seconds the server never sent
        Send("ABC", "HHZ", kT0 + second, 0.01, 100);
    }
    Flush(0, 0);

    std::vector<FileRow> rows = Rows();
    // 637 s, 637 s, 526 s up to the gap, then 637 s, 637 s and the last 524 s.
    ASSERT_EQ(rows.size(), 6u);
    std::vector<float> readBack;
    for (const FileRow& row : rows)
    {
        EXPECT_EQ(row.rate, 100);
        EXPECT_EQ(row.offset, 512);
        const std::vector<float> samples = ReadSamples(Data(row.path));
        EXPECT_NEAR(row.seconds * row.rate, static_cast<double>(samples.size()), 1e-3);
        EXPECT_LE(row.seconds, 10 * 60 + 49.0);
        // The first sample of every file is the sample sent at the file's start time.
        ASSERT_FALSE(samples.empty());
        const double expected = std::round((row.begin - kT0) * 100);
        EXPECT_EQ(samples.front(), static_cast<float>(expected)) << row.path;
        readBack.insert(readBack.end(), samples.begin(), samples.end());
    }
    EXPECT_EQ(readBack, Sent("ABC", "HHZ"));
    ExpectRowsAccountForEveryFile("ABC");
    EXPECT_EQ(Ini("GROUP1", "HHZ"), "1796652295"); // kT0 + 3600
}

// An hour directory replaced by a link to elsewhere is refused for its channel alone: the
// channel is held, nothing is written through the link, and the other station goes on.
TEST_P(ChannelWriterTest, ALinkedHourDirectoryHoldsItsChannelAndWritesNothingOutside)
{
    m_db.AddSiteChan("ABC", "BHZ", 100);
    m_db.AddSiteChan("DEF", "BHZ", 100);
    Configure("[SYSTEM]\nGROUPS=2\n[GROUP1]\nSTATION=ABC\nCHAN=BHZ\nSIZEMB=100\n"
              "[GROUP2]\nSTATION=DEF\nCHAN=BHZ\nSIZEMB=100\n");
    const std::string outside = m_box.File("outside");
    MakeDirectory(outside);
    MakeDirectory(Data("ABC"));
    ASSERT_EQ(::symlink(outside.c_str(), Data("ABC/13").c_str()), 0);
    for (const char* station : {"ABC", "DEF"})
    {
        Send(station, "BHZ", kT0, 0.01, 100);
        Send(station, "BHZ", kT0 + 5, 0.01, 100); // a gap: the first chunk is written
        EXPECT_TRUE(m_last) << station;
    }
    EXPECT_EQ(Channel("ABC", "BHZ").hold.reason, HoldReason::WriteFault);
    EXPECT_EQ(LogCount("Station ABC channel BHZ is not archived for now: File create error"), 1);
    EXPECT_EQ(Rows("STA='ABC'").size(), 0u);
    EXPECT_EQ(Rows("STA='DEF'").size(), 1u);
    EXPECT_EQ(::rmdir(outside.c_str()), 0) << "something was written outside the data root";
}

TEST_P(ChannelWriterTest, TwoServersWriteTheirStationsAtTheSameTime)
{
    m_db.AddSiteChan("ABC", "BHZ", 100);
    m_db.AddSiteChan("DEF", "BHZ", 100);
    Configure("[SYSTEM]\nGROUPS=2\n[GROUP1]\nSTATION=ABC\nCHAN=BHZ\nSIZEMB=100\nSERVER=a\n"
              "[GROUP2]\nSTATION=DEF\nCHAN=BHZ\nSIZEMB=100\nSERVER=b\n");
    // Two links, two archives: each thread writes and commits the chunks of its own link.
    auto run = [this](const std::string& station)
    {
        for (int p = 0; p < 20; ++p)
            Send(station, "BHZ", kT0 + 10.0 * p, 0.01, 1000);
    };
    std::thread first(run, "ABC");
    std::thread second(run, "DEF");
    first.join();
    second.join();
    EXPECT_EQ(Rows("STA='ABC'").size(), 1u);
    EXPECT_EQ(Rows("STA='DEF'").size(), 1u);
    // Chunks of 4000 samples were written; the last 4000 are still in the buffer.
    EXPECT_EQ(Ini("GROUP1", "BHZ"), "1796648855");
    EXPECT_EQ(Ini("GROUP2", "BHZ"), "1796648855");
    ExpectRowsAccountForEveryFile("ABC");
    ExpectRowsAccountForEveryFile("DEF");
}

INSTANTIATE_TEST_SUITE_P(Backends, ChannelWriterTest, ::testing::ValuesIn(test::AllBackends()),
                         test::BackendParamName());

} // namespace
} // namespace tarvell
