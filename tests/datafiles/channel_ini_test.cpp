#include "datafiles/channel_ini.h"

#include <string>

#include <gtest/gtest.h>
#include <unistd.h>

#include "config/model_fixture.h"
#include "config/station_groups.h"
#include "datafiles/channel_display.h"
#include "datafiles/resume_store.h"
#include "db/connection.h"
#include "platform/file_system.h"
#include "support/unwritable_ini.h"

namespace tarvell
{
namespace
{

class ChannelIniTest : public test::WorldTest
{
protected:
    void WriteGroups(const std::string& groups)
    {
        g_waveRoot = m_box.File("data");
        WriteIni("[DATA]\nDIR=" + m_box.File("data") + "\n" + groups);
    }
};

TEST_F(ChannelIniTest, AResumeTimeIsStoredAsWholeSecondsUnderTheChannelsKey)
{
    WriteGroups("[SYSTEM]\nGROUPS=1\n[GROUP1]\nSTATION=ABC\nCHAN=BHZ\nBHN=12abc\n");
    AddGroup("ABC", 1);
    SaveResumeTime(0, "BHZ", 1796648744); // 2026-12-07 13:05:44 UTC
    EXPECT_EQ(Ini("GROUP1", "BHZ"), "1796648744");
    EXPECT_EQ(LoadResumeTime(0, "BHZ"), 1796648744);
    EXPECT_EQ(LoadResumeTime(0, "BHE"), 0);  // no entry
    EXPECT_EQ(LoadResumeTime(0, "BHN"), 12); // leading digits only
    EXPECT_EQ(LoadResumeTime(5, "BHZ"), 0);  // no such group
    SaveResumeTime(0, "BHZ", 4102444800LL);  // beyond 2038
    EXPECT_EQ(LoadResumeTime(0, "BHZ"), 4102444800LL);
}

TEST_F(ChannelIniTest, EveryLookupUsesTheSectionTheGroupCameFromEvenAfterEdits)
{
    WriteGroups("[SYSTEM]\nGROUPS=3\n[GROUP1]\nCHAN=BHZ\nBHZ=5\n"
                "[GROUP2]\nSTATION=ABC\nCHAN=BHZ\nFILE_BHZ=ABC_BHZ.DAT\nSIZEMB=2\n"
                "[GROUP3]\nSTATION=DEF\n");
    AddGroup("ABC", 2);
    AddChannel(0, "BHZ", 20);
    AddGroup("DEF", 3);
    EXPECT_EQ(GroupSection(*g_groups[0]), 2);
    SaveResumeTime(0, "BHZ", 100);
    EXPECT_EQ(Ini("GROUP2", "BHZ"), "100");
    EXPECT_EQ(Ini("GROUP1", "BHZ"), "5");
    EXPECT_EQ(LoopFileName(2, "ABC", "BHZ"), "ABC_BHZ.DAT");
    EXPECT_EQ(LoopFileName(2, "ABC", "BHN"), "ABC_BHN.DAT");
    EXPECT_EQ(LoopRingSize(2), 2 * 1048576);
    EXPECT_EQ(LoopRingSize(3), 1048576); // no SIZEMB: the default of one megabyte
    EXPECT_FALSE(LoopRingSize(0));

    // The station moves to another section: the group follows it, once logged.
    WriteGroups("[SYSTEM]\nGROUPS=3\n[GROUP1]\nSTATION=DEF\n[GROUP2]\nSTATION=XYZ\nBHZ=7\n"
                "[GROUP3]\nSTATION=abc\nCHAN=BHZ\n");
    EXPECT_EQ(GroupSection(*g_groups[0]), 3);
    SaveResumeTime(0, "BHZ", 200);
    EXPECT_EQ(Ini("GROUP3", "BHZ"), "200");
    EXPECT_EQ(Ini("GROUP2", "BHZ"), "7");
    EXPECT_EQ(LogCount("Station ABC was moved from GROUP2 to GROUP3"), 1);

    // Gone: nothing is stored, nothing is read.
    WriteGroups("[SYSTEM]\nGROUPS=1\n[GROUP1]\nSTATION=DEF\n");
    SaveResumeTime(0, "BHZ", 300);
    EXPECT_EQ(LoadResumeTime(0, "BHZ"), 0);
    EXPECT_EQ(Ini("GROUP1", "BHZ"), "<none>");
    EXPECT_EQ(LogCount("Station ABC is no longer in the program INI (was GROUP2)"), 1);
}

TEST_F(ChannelIniTest, AChannelWritesItsLoopFileOnlyWhenTheNamedFileExists)
{
    WriteGroups("[SYSTEM]\nGROUPS=1\n[GROUP1]\nSTATION=ABC\nCHAN=BHZ,BHN,BHE\n"
                "FILE_BHZ=ABC_BHZ.DAT\nFILE_BHN=ABC_BHN.DAT\n");
    AddGroup("ABC", 1);
    AddChannel(0, "BHZ", 20);
    AddChannel(0, "BHN", 20);
    AddChannel(0, "BHE", 20);
    MakeDirectory(m_box.File("data"));
    MakeDirectory(m_box.File("data/ABC"));
    m_box.Write("data/ABC/ABC_BHZ.DAT", "0000");

    EXPECT_TRUE(IsLoopFileChannel("abc", "bhz"));
    EXPECT_FALSE(IsLoopFileChannel("ABC", "BHN")); // named, but not there
    EXPECT_EQ(ChannelLoopMode(1, "ABC", "BHN"), LoopMode::MissingLoopFile);
    EXPECT_FALSE(IsLoopFileChannel("ABC", "BHE")); // no FILE_ entry
    EXPECT_FALSE(IsLoopFileChannel("XYZ", "BHZ")); // not configured

    ShowChannelFile("ABC_BHZ.DAT", "abc", "bhz");
    ShowChannelFile("ABC/13/07122026-130455-BHN.ABC", "ABC", "BHN");
    ShowChannelFile("nothing", "XYZ", "BHZ");
    auto texts = m_view.ChannelTexts();
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_EQ(texts[0].station, "ABC");
    EXPECT_EQ(texts[0].channel, "BHZ");
    EXPECT_EQ(texts[0].column, ChannelColumn::File);
    EXPECT_EQ(texts[0].text, "ABC_BHZ.DAT (DL)");
    EXPECT_EQ(texts[1].text, "ABC/13/07122026-130455-BHN.ABC");
}

TEST_F(ChannelIniTest, ResumeTimesThatCannotBeStoredAreLoggedOnceAndKeptForTheNextWrite)
{
    ResetResumeStoreForTest();
    WriteGroups("[SYSTEM]\nGROUPS=1\n[GROUP1]\nSTATION=ABC\n");
    {
        test::UnwritableIni unwritable(g_iniPath);
        NoteResumeTime(1, "BHZ", 1);
        EXPECT_FALSE(WriteResumeTimes());
        NoteResumeTime(1, "BHN", 2);
        EXPECT_FALSE(WriteResumeTimes());
        EXPECT_EQ(LogCount("Resume times not stored"), 1);
        EXPECT_EQ(Ini("GROUP1", "BHZ"), "<none>");
    }
    NoteResumeTime(1, "BHZ", 3);
    EXPECT_TRUE(WriteResumeTimes());
    EXPECT_EQ(LogCount("Resume times are stored in the program INI again"), 1);
    EXPECT_EQ(Ini("GROUP1", "BHZ"), "3"); // the newest value, not the one the failure kept
    EXPECT_EQ(Ini("GROUP1", "BHN"), "2");
    NoteResumeTime(0, "BHZ", 4); // no section: nothing
    EXPECT_TRUE(WriteResumeTimes());
    EXPECT_EQ(Ini("GROUP1", "BHZ"), "3");
}

} // namespace
} // namespace tarvell
