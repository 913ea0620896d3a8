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
    const CStationGroup abc("ABC", 1);
    SaveResumeTime(g_iniPath, abc, "BHZ", 1796648744); // 2026-12-07 13:05:44 UTC
    EXPECT_EQ(Ini("GROUP1", "BHZ"), "1796648744");
    EXPECT_EQ(LoadResumeTime(g_iniPath, abc, "BHZ"), 1796648744);
    EXPECT_EQ(LoadResumeTime(g_iniPath, abc, "BHE"), 0);                     // no entry
    EXPECT_EQ(LoadResumeTime(g_iniPath, abc, "BHN"), 12);                    // leading digits only
    EXPECT_EQ(LoadResumeTime(g_iniPath, CStationGroup("QRS", 5), "BHZ"), 0); // no such group
    SaveResumeTime(g_iniPath, abc, "BHZ", 4102444800LL);                     // beyond 2038
    EXPECT_EQ(LoadResumeTime(g_iniPath, abc, "BHZ"), 4102444800LL);
}

TEST_F(ChannelIniTest, AChannelWritesItsLoopFileOnlyWhenTheNamedFileExists)
{
    WriteGroups("");
    MakeDirectory(m_box.File("data"));
    MakeDirectory(m_box.File("data/ABC"));
    m_box.Write("data/ABC/ABC_BHZ.DAT", "0000");
    const CStationGroup abc("ABC", 1);
    EXPECT_EQ(ChannelLoopMode(g_waveRoot, abc, "ABC_BHZ.DAT"), LoopMode::LoopFile);
    EXPECT_EQ(ChannelLoopMode(g_waveRoot, abc, "ABC_BHN.DAT"), LoopMode::MissingLoopFile);
    EXPECT_EQ(ChannelLoopMode(g_waveRoot, abc, ""), LoopMode::TimeNamed);
    EXPECT_EQ(LoopFilePath(g_waveRoot, abc, "ABC_BHZ.DAT"), m_box.File("data/ABC/ABC_BHZ.DAT"));

    ShowChannelFile("ABC_BHZ.DAT", "ABC", "BHZ", true);
    ShowChannelFile("ABC/13/07122026-130455-BHN.ABC", "ABC", "BHN", false);
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
        NoteResumeTime(1, "ABC", "BHZ", 1);
        EXPECT_FALSE(WriteResumeTimes());
        NoteResumeTime(1, "ABC", "BHN", 2);
        EXPECT_FALSE(WriteResumeTimes());
        EXPECT_EQ(LogCount("Resume times not stored"), 1);
        EXPECT_EQ(Ini("GROUP1", "BHZ"), "<none>");
    }
    NoteResumeTime(1, "ABC", "BHZ", 3);
    EXPECT_TRUE(WriteResumeTimes());
    EXPECT_EQ(LogCount("Resume times are stored in the program INI again"), 1);
    EXPECT_EQ(Ini("GROUP1", "BHZ"), "3"); // the newest value, not the one the failure kept
    EXPECT_EQ(Ini("GROUP1", "BHN"), "2");
    NoteResumeTime(0, "ABC", "BHZ", 4); // no section: nothing
    EXPECT_TRUE(WriteResumeTimes());
    EXPECT_EQ(Ini("GROUP1", "BHZ"), "3");
}

} // namespace
} // namespace tarvell
