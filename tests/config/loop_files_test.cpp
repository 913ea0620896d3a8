#include "config/loop_files.h"

#include <string>

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "config/model_fixture.h"
#include "platform/file_system.h"

namespace tarvell
{
namespace
{

using test::ReadFile;

class LoopFilesTest : public test::WorldTest
{
protected:
    // A configuration of station with one channel per loop file name (empty: time-named).
    void AddStation(const std::string& station, std::int64_t ringSize,
                    const std::vector<std::string>& loopFiles)
    {
        m_config.dataRoot = m_box.File("data");
        CStationGroup& group =
            m_config.groups.emplace_back(station, static_cast<int>(m_config.groups.size() + 1));
        group.ringSize = ringSize;
        for (std::size_t c = 0; c < loopFiles.size(); ++c)
            group.channels.emplace_back("C" + std::to_string(c), 20).loopFile = loopFiles[c];
    }

    std::string Data(const std::string& relative) const { return m_box.File("data/" + relative); }

    static long long SizeOf(const std::string& path)
    {
        struct stat st = {};
        return ::stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
    }

    CConfiguration m_config;
};

TEST_F(LoopFilesTest, MakesMissingLoopFilesOfZerosAtTheirSizeAndKeepsExistingOnes)
{
    AddStation("ABC", 2 * 1048576, {"ABC_BHZ.DAT", "ABC_BHN.DAT", ""});
    AddStation("DEF", 1048576, {"old.dat"});
    MakeDirectory(m_box.File("data"));
    MakeDirectory(Data("DEF"));
    m_box.Write("data/DEF/old.dat", "keep me");

    PrepareLoopFiles(m_config);

    EXPECT_EQ(SizeOf(Data("ABC/ABC_BHZ.DAT")), 2 * 1048576);
    EXPECT_EQ(ReadFile(Data("ABC/ABC_BHZ.DAT")).find_first_not_of('0'), std::string::npos);
    EXPECT_EQ(SizeOf(Data("ABC/ABC_BHN.DAT")), 2 * 1048576);
    EXPECT_EQ(ReadFile(Data("DEF/old.dat")), "keep me");
    EXPECT_EQ(LogCount("File created"), 2);
}

TEST_F(LoopFilesTest, LogsEveryFileItMakesEvenAnEmptyOne)
{
    AddStation("ABC", 0, {"z.dat"}); // SIZEMB not a positive number: a ring of 0 bytes
    PrepareLoopFiles(m_config);
    EXPECT_EQ(SizeOf(Data("ABC/z.dat")), 0);
    PrepareLoopFiles(m_config); // nothing new the second time
    EXPECT_EQ(LogCount("#[TARVELL] File created (" + Data("ABC/z.dat") + ")#"), 1);
}

TEST_F(LoopFilesTest, WhatCannotBeMadeIsLoggedAndNothingHalfMadeStays)
{
    // The station directory is a file here, so the loop file cannot be created in it.
    AddStation("ABC", 1048576, {"a.dat"});
    MakeDirectory(m_box.File("data"));
    m_box.Write("data/ABC", "");
    PrepareLoopFiles(m_config);
    EXPECT_EQ(LogCount("Loop file not created '" + Data("ABC/a.dat") + "'"), 1);
    EXPECT_EQ(LogCount("File created"), 0);

    m_config.dataRoot.clear();
    PrepareLoopFiles(m_config);
    EXPECT_EQ(LogCount("Loop files not prepared: there is no data root"), 1);
}

} // namespace
} // namespace tarvell
