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
    void WriteGroups(const std::string& groups)
    {
        m_box.Write("tarvell.ini", "[DATA]\nDIR=" + m_box.File("data") + "\n" + groups);
    }

    std::string Data(const std::string& relative) const { return m_box.File("data/" + relative); }

    static long long SizeOf(const std::string& path)
    {
        struct stat st = {};
        return ::stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
    }
};

TEST_F(LoopFilesTest, MakesMissingLoopFilesOfZerosAtTheirSizeAndKeepsExistingOnes)
{
    WriteGroups(
        "[SYSTEM]\nGROUPS=2\n"
        "[GROUP1]\nSTATION=ABC\nCHAN=BHZ,bhn, BHE;LHZ,,HHZ\nSIZEMB=2\nFILE_BHZ=ABC_BHZ.DAT\n"
        "FILE_BHN=ABC_BHN.DAT\nFILE_BHE=ABC_BHE.DAT\nFILE_LHZ=ABC_LHZ.DAT\n"
        "[GROUP2]\nSTATION=DEF\nCHAN=BHZ\nFILE_BHZ=old.dat\n");
    MakeDirectory(m_box.File("data"));
    MakeDirectory(Data("DEF"));
    m_box.Write("data/DEF/old.dat", "keep me");

    PrepareLoopFiles(m_box.File("data"));

    EXPECT_EQ(SizeOf(Data("ABC/ABC_BHZ.DAT")), 2 * 1048576);
    const std::string content = ReadFile(Data("ABC/ABC_BHZ.DAT"));
    EXPECT_EQ(content.find_first_not_of('0'), std::string::npos);
    // A lower-case token finds its FILE_ key; blanks and ";" separate channels as in CHAN.
    EXPECT_EQ(SizeOf(Data("ABC/ABC_BHN.DAT")), 2 * 1048576);
    EXPECT_EQ(SizeOf(Data("ABC/ABC_BHE.DAT")), 2 * 1048576);
    EXPECT_EQ(SizeOf(Data("ABC/ABC_LHZ.DAT")), 2 * 1048576);
    // HHZ has no FILE_ key: no loop file.
    EXPECT_EQ(SizeOf(Data("ABC/ABC_HHZ.DAT")), -1);
    EXPECT_EQ(ReadFile(Data("DEF/old.dat")), "keep me");
}

TEST_F(LoopFilesTest, LogsEveryFileItMakesEvenAnEmptyOne)
{
    WriteGroups("[SYSTEM]\nGROUPS=2\n[GROUP1]\nSTATION=ABC\nCHAN=BHZ\nSIZEMB=0\nFILE_BHZ=z.dat\n"
                "[GROUP2]\nSTATION=DEF\nCHAN=BHZ\nSIZEMB=-3\nFILE_BHZ=n.dat\n");
    PrepareLoopFiles(m_box.File("data"));
    EXPECT_EQ(SizeOf(Data("ABC/z.dat")), 0);
    EXPECT_EQ(SizeOf(Data("DEF/n.dat")), 0);
    PrepareLoopFiles(m_box.File("data")); // nothing new the second time
    EXPECT_EQ(LogCount("#[TARVELL] File created (" + Data("ABC/z.dat") + ")#"), 1);
    EXPECT_EQ(LogCount("#[TARVELL] File created (" + Data("DEF/n.dat") + ")#"), 1);
    EXPECT_EQ(LogCount("File created"), 2);
}

TEST_F(LoopFilesTest, AFileThatCannotBeMadeIsLoggedAndNothingHalfMadeStays)
{
    // The station directory is a file here, so the loop file cannot be created in it.
    WriteGroups("[SYSTEM]\nGROUPS=1\n[GROUP1]\nSTATION=ABC\nCHAN=BHZ\nFILE_BHZ=a.dat\n");
    MakeDirectory(m_box.File("data"));
    m_box.Write("data/ABC", "");
    PrepareLoopFiles(m_box.File("data"));
    EXPECT_EQ(LogCount("Loop file not created '" + Data("ABC/a.dat") + "'"), 1);
    EXPECT_EQ(LogCount("File created"), 0);
}

TEST_F(LoopFilesTest, DoesNothingWithoutGroupsOrStationsOrDataDirectory)
{
    WriteGroups("[SYSTEM]\nGROUPS=0\n[GROUP1]\nSTATION=ABC\nCHAN=BHZ\nFILE_BHZ=a.dat\n");
    PrepareLoopFiles(m_box.File("data"));
    EXPECT_FALSE(PathExists(m_box.File("data")));

    // A section without STATION is no group: nothing writes into its files.
    WriteGroups("[SYSTEM]\nGROUPS=1\n[GROUP1]\nCHAN=BHZ\nFILE_BHZ=a.dat\n");
    PrepareLoopFiles(m_box.File("data"));
    EXPECT_FALSE(PathExists(m_box.File("data")));

    m_box.Write("tarvell.ini", "[SYSTEM]\nGROUPS=1\n[GROUP1]\nSTATION=ABC\nCHAN=BHZ\n"
                               "FILE_BHZ=a.dat\n");
    PrepareLoopFiles("");
    EXPECT_FALSE(PathExists("/ABC/a.dat"));
    EXPECT_EQ(LogCount("Loop files not prepared: there is no data root"), 1);
}

} // namespace
} // namespace tarvell
