#include "db/disk_loop.h"

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "db/connection.h"
#include "db/db_access.h"
#include "platform/text_format.h"
#include "db/file_registry.h"
#include "db_test_base.h"

namespace tarvell
{
namespace
{

using test::DbTest;

constexpr std::uint64_t kFileBytes = 1 * 20 * 4 + 512; // one second at 20 samples per second

class DiskLoopTest : public DbTest
{
protected:
    // A time-named file of seconds at 20 Hz on disk (as long as its row says) and in FILELIST.
    void AddFile(const std::string& relativePath, const char* channel, double begin,
                 double seconds = 1, const char* station = "ABC")
    {
        std::filesystem::path path = std::filesystem::path(g_waveRoot) / relativePath;
        std::filesystem::create_directories(path.parent_path());
        m_box.Write(std::filesystem::relative(path, m_box.Path()).string(),
                    std::string(512 + static_cast<std::size_t>(seconds * 20 * 4), 'd'));
        ASSERT_TRUE(RegisterFile(relativePath, station, begin, seconds, 20, 1, 3, channel, 1, 1));
    }

    // A row of this program's creator as another writer made it (no file, any path).
    void AddRow(const std::string& cpath, double begin, double seconds, int foff = 512,
                const char* station = "ABC")
    {
        m_db.Execute(FormatText("INSERT INTO FILELIST (STA, TBEGIN, TQTY, SPS, CPATH, CH, "
                                "CREATER, FOFF) VALUES ('%s', %f, %f, 20, '%s', 'BHZ', "
                                "'DUVODIZEREVE', %d)",
                                station, begin, seconds, SqlText(cpath).c_str(), foff));
    }

    bool OnDisk(const std::string& relativePath) const
    {
        return std::filesystem::exists(std::filesystem::path(g_waveRoot) / relativePath);
    }
    long long Rows(const std::string& cpath) const
    {
        return m_db.Count("CPATH='" + SqlText(cpath) + "'");
    }
};

TEST_P(DiskLoopTest, SizeCountsTheStationsTimeNamedFilesOnly)
{
    EXPECT_EQ(DiskLoopSize("ABC"), 0u); // SUM over no rows is null
    AddFile("ABC/13/a.ABC", "BHZ", 100);
    AddFile("ABC/13/b.ABC", "BHN", 101, 2);
    AddFile("XYZ/13/c.XYZ", "BHZ", 100, 1, "XYZ");
    AddRow("ABC/13/empty.ABC", 99, 0);     // no samples: not counted
    AddRow("ABC/13/negative.ABC", 98, -5); // nor a damaged length
    m_db.Execute("UPDATE FILELIST SET CREATER='SOMEONE' WHERE CPATH='ABC/13/b.ABC'");
    AddFile("ABC/13/d.ABC", "BHN", 102, 2);
    AddRow(g_waveRoot + "/ABC/ABC_BHZ.DAT", 50, 3600, 512); // loop-file segments
    AddRow("D:/Data/ABC/ABC_BHN.DAT", 51, 3600, 288512);
    EXPECT_EQ(DiskLoopSize("ABC"), kFileBytes + (2 * 20 * 4 + 512));
    EXPECT_EQ(DiskLoopSize("O'B"), 0u);
}

TEST_P(DiskLoopTest, LoopsOfFourGibibytesAndMoreAreCountedInFull)
{
    // 20 Hz for 700 days: 4.8 GB in one file's row.
    AddRow("ABC/13/huge.ABC", 100, 700 * 86400.0);
    std::uint64_t huge = 700ull * 86400 * 20 * 4 + 512;
    EXPECT_EQ(DiskLoopSize("ABC"), huge);
    PurgeDiskLoop("ABC", huge + 1); // below the limit: kept
    EXPECT_EQ(Rows("ABC/13/huge.ABC"), 1);
    PurgeDiskLoop("ABC", 4ull << 30); // 4 GiB, under the size: purged
    EXPECT_EQ(Rows("ABC/13/huge.ABC"), 0);
}

TEST_P(DiskLoopTest, BelowTheLimitNothingHappens)
{
    AddFile("ABC/13/a.ABC", "BHZ", 100);
    PurgeDiskLoop("ABC", kFileBytes + 1);
    EXPECT_TRUE(OnDisk("ABC/13/a.ABC"));
    EXPECT_EQ(m_db.Count(), 1);

    // An empty station deletes nothing even with limit 0.
    PurgeDiskLoop("XYZ", 0);
    EXPECT_EQ(m_db.Count(), 1);
}

TEST_P(DiskLoopTest, BetweenSizeQueriesThePurgeCountsWhatWasRegisteredAndTheDatabaseJudges)
{
    for (int n = 0; n < 3; ++n)
        AddFile("ABC/13/" + std::to_string(n) + ".ABC", "BHZ", 100 + n);
    const std::uint64_t limit = 5 * kFileBytes;
    EXPECT_EQ(PurgeDiskLoop("ABC", limit).size, 3 * kFileBytes); // asked at the first purge

    // Three more rows the program did not register: not seen while what it knows is below
    // the limit, so a purge that deletes nothing costs no query...
    for (int n = 3; n < 6; ++n)
        AddFile("ABC/13/" + std::to_string(n) + ".ABC", "BHZ", 100 + n);
    EXPECT_EQ(PurgeDiskLoop("ABC", limit).size, 3 * kFileBytes);
    EXPECT_EQ(m_db.Count(), 6);

    // ...until what it registered itself brings it to the limit: then the database says 6,
    // and the oldest files go until the loop is below it.
    DiskLoopGrew("ABC", 2 * kFileBytes);
    const PurgeOutcome purge = PurgeDiskLoop("ABC", limit);
    EXPECT_EQ(purge.filesPurged, 2);
    EXPECT_EQ(purge.size, 4 * kFileBytes);
    EXPECT_FALSE(OnDisk("ABC/13/0.ABC"));
    EXPECT_FALSE(OnDisk("ABC/13/1.ABC"));
    EXPECT_TRUE(OnDisk("ABC/13/2.ABC"));
    EXPECT_EQ(m_db.Count(), 4);
}

// A row written by a program that took a server's interval of 4294 s for the channel's rate
// claims millions of samples for a file of one second: it is shortened to its file before
// the purge counts it, and no real file is deleted for room it only claims.
TEST_P(DiskLoopTest, ARowThatClaimsMoreThanItsFileHoldsIsShortenedBeforeAnythingIsPurged)
{
    for (int n = 0; n < 3; ++n)
        AddFile("ABC/13/" + std::to_string(n) + ".ABC", "BHZ", 100 + n);
    AddFile("ABC/13/claims.ABC", "BHN", 200); // the newest: the real files would go first
    m_db.Execute("UPDATE FILELIST SET TQTY=429496.7295 WHERE CPATH='ABC/13/claims.ABC'");
    const PurgeOutcome purge = PurgeDiskLoop("ABC", 5 * kFileBytes);
    EXPECT_EQ(purge.filesPurged, 0);
    EXPECT_EQ(purge.size, 4 * kFileBytes);
    EXPECT_EQ(m_db.Count(), 4);
    EXPECT_NE(EventLog().find("Station ABC: 1 rows claimed more samples than their files hold"),
              std::string::npos);
}

TEST_P(DiskLoopTest, OldestFilesGoFirstAcrossChannelsUntilBelowTheLimit)
{
    AddFile("ABC/13/3.ABC", "BHZ", 300);
    AddFile("ABC/13/1.ABC", "BHN", 100);
    AddFile("ABC/13/4.ABC", "BHN", 400);
    AddFile("ABC/13/2.ABC", "BHE", 200);
    AddFile("XYZ/13/0.XYZ", "BHZ", 1, 1, "XYZ"); // another station: never touched

    // The size equals the limit: the purge runs, and stops as soon as the size is below.
    PurgeDiskLoop("ABC", 4 * kFileBytes);
    EXPECT_FALSE(OnDisk("ABC/13/1.ABC"));
    EXPECT_EQ(Rows("ABC/13/1.ABC"), 0);
    for (const char* kept : {"ABC/13/2.ABC", "ABC/13/3.ABC", "ABC/13/4.ABC", "XYZ/13/0.XYZ"})
    {
        EXPECT_TRUE(OnDisk(kept)) << kept;
        EXPECT_EQ(Rows(kept), 1) << kept;
    }
    EXPECT_NE(EventLog().find("Deleted file '" + g_waveRoot + "/ABC/13/1.ABC'"), std::string::npos);

    PurgeDiskLoop("ABC", 2 * kFileBytes - 1); // two must go: the two oldest left
    EXPECT_FALSE(OnDisk("ABC/13/2.ABC"));
    EXPECT_FALSE(OnDisk("ABC/13/3.ABC"));
    EXPECT_TRUE(OnDisk("ABC/13/4.ABC"));
    EXPECT_EQ(m_db.Count("STA='ABC'"), 1);
}

TEST_P(DiskLoopTest, LimitZeroDeletesEveryFileAndRowOfTheStation)
{
    AddFile("ABC/13/a.ABC", "BHZ", 100);
    AddFile("ABC/14/b.ABC", "BHN", 200);
    AddRow("ABC/13/empty.ABC", 300, 0); // reached by the purge: deleted, 512 bytes counted
    PurgeDiskLoop("ABC", 0);
    EXPECT_EQ(m_db.Count(), 0);
    EXPECT_FALSE(OnDisk("ABC/13/a.ABC"));
    EXPECT_FALSE(OnDisk("ABC/14/b.ABC"));
}

TEST_P(DiskLoopTest, RowsWithoutFilesAreDeletedAndCountedWithoutALogLine)
{
    AddRow("ABC/13/gone.ABC", 100, 1);
    AddFile("ABC/13/here.ABC", "BHZ", 200);
    PurgeDiskLoop("ABC", 2 * kFileBytes - 1);
    EXPECT_EQ(Rows("ABC/13/gone.ABC"), 0);
    EXPECT_EQ(Rows("ABC/13/here.ABC"), 1); // the missing file's size was counted as freed
    EXPECT_TRUE(OnDisk("ABC/13/here.ABC"));
    EXPECT_EQ(EventLog().find("Deleted file"), std::string::npos);
}

TEST_P(DiskLoopTest, AFileThatCannotBeDeletedKeepsItsRowAndCountsAsFreed)
{
    // A non-empty directory where the oldest file should be: unlink fails even for root.
    std::filesystem::create_directories(std::filesystem::path(g_waveRoot) / "ABC/13/stuck.ABC/x");
    AddRow("ABC/13/stuck.ABC", 100, 1);
    AddFile("ABC/13/next.ABC", "BHZ", 200);
    PurgeDiskLoop("ABC", 2 * kFileBytes - 1);
    EXPECT_TRUE(OnDisk("ABC/13/stuck.ABC"));
    EXPECT_EQ(Rows("ABC/13/stuck.ABC"), 1);
    EXPECT_TRUE(OnDisk("ABC/13/next.ABC")); // the stuck file's size counted: the purge ended
    std::string log = EventLog();
    std::string line = "Cannot delete file '" + g_waveRoot + "/ABC/13/stuck.ABC'";
    EXPECT_NE(log.find(line), std::string::npos);

    // The next purge tries the same file first again, without logging it again.
    PurgeDiskLoop("ABC", 2 * kFileBytes - 1);
    log = EventLog();
    EXPECT_EQ(log.find(line), log.rfind(line));
    EXPECT_TRUE(OnDisk("ABC/13/next.ABC"));
}

TEST_P(DiskLoopTest, LoopFileSegmentsAndTheirFilesAreLeftAlone)
{
    std::string loopFile = g_waveRoot + "/ABC/ABC_BHZ.DAT";
    std::filesystem::create_directories(g_waveRoot + "/ABC");
    m_box.Write(std::filesystem::relative(loopFile, m_box.Path()).string(), "loop");
    AddRow(loopFile, 50, 3600, 512);
    AddRow(loopFile, 4000, 3600, 288512);
    AddRow("D:/Data/ABC/ABC_BHN.DAT", 60, 3600, 512); // written by a Windows installation
    AddFile("ABC/13/a.ABC", "BHZ", 100);
    PurgeDiskLoop("ABC", 0);
    EXPECT_EQ(Rows("ABC/13/a.ABC"), 0);
    EXPECT_EQ(Rows(loopFile), 2);
    EXPECT_EQ(Rows("D:/Data/ABC/ABC_BHN.DAT"), 1);
    EXPECT_TRUE(std::filesystem::exists(loopFile));
}

TEST_P(DiskLoopTest, APathLeadingOutOfTheDataRootIsNeverDeletedFromDisk)
{
    std::string outside = m_box.Write("precious.txt", "keep me");
    AddRow("../precious.txt", 100, 1);
    AddRow("ABC/../../precious.txt", 101, 1);
    PurgeDiskLoop("ABC", 0);
    EXPECT_TRUE(std::filesystem::exists(outside));
    EXPECT_EQ(m_db.Count(), 0); // the damaged rows themselves go
    std::string log = EventLog();
    EXPECT_NE(log.find("'../precious.txt' lies outside the data catalog"), std::string::npos);
    EXPECT_NE(log.find("'ABC/../../precious.txt' lies outside"), std::string::npos);
}

TEST_P(DiskLoopTest, StoredBackslashesAreFollowedOnDisk)
{
    AddFile("ABC/07/a.ABC", "BHZ", 100);
    m_db.Execute("UPDATE FILELIST SET CPATH='ABC\\07\\a.ABC'");
    PurgeDiskLoop("ABC", 0);
    EXPECT_FALSE(OnDisk("ABC/07/a.ABC"));
    EXPECT_EQ(m_db.Count(), 0);
}

TEST_P(DiskLoopTest, FailuresAreLoggedAndDeleteNothing)
{
    AddFile("ABC/13/a.ABC", "BHZ", 100);
    DbOutcome renamed = DbExecute("ALTER TABLE FILELIST RENAME TO FILELIST_AWAY");
    ASSERT_TRUE(renamed.ok) << renamed.message;
    EXPECT_EQ(DiskLoopSize("ABC"), 0u);
    PurgeDiskLoop("ABC", 0);
    EXPECT_FALSE(DeleteFileRow("ABC/13/a.ABC"));
    EXPECT_TRUE(OnDisk("ABC/13/a.ABC"));
    EXPECT_NE(EventLog().find("#[TARVELL] "), std::string::npos);
    EXPECT_TRUE(m_view.Messages().empty()); // no purge failure shows a box
}

INSTANTIATE_TEST_SUITE_P(Backends, DiskLoopTest, ::testing::ValuesIn(test::AllBackends()),
                         test::BackendParamName());

} // namespace
} // namespace tarvell
