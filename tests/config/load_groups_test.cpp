#include "config/load_groups.h"

#include <cmath>

#include <gtest/gtest.h>

#include "config/model_fixture.h"
#include "config/server_link.h"
#include "config/station_groups.h"
#include "db/connection.h"

namespace tarvell
{
namespace
{

using test::Backend;

class LoadGroupsTest : public test::ModelTest
{
protected:
    const std::vector<CStationGroup>& Groups()
    {
        m_config = LoadGroups(g_iniPath, g_waveRoot);
        return m_config->groups;
    }
    std::shared_ptr<const CConfiguration> m_config;
};

std::vector<std::string> ChannelNames(const CStationGroup& group)
{
    std::vector<std::string> names;
    for (const auto& channel : group.channels)
        names.push_back(channel.name);
    return names;
}

TEST_P(LoadGroupsTest, WithoutGroupsThereIsNoGroupAndZeroChannelsAreLogged)
{
    WriteIni("[SYSTEM]\nSERVER=nrts1\n");
    EXPECT_TRUE(Groups().empty());
    EXPECT_EQ(LogCount("#[TARVELL] Number of channels: 0#"), 1);
}

TEST_P(LoadGroupsTest, ReadsEveryKeyWithItsFallbacksAndUpperCasesNames)
{
    m_db.AddSiteChan("ABC", "BHZ", 20);
    m_db.AddSiteChan("ABC", "BHN", 20);
    m_db.AddSiteChan("XYZ", "HHZ", 100);
    WriteIni("[SYSTEM]\nGROUPS=3\nSERVER=nrts.example\nSRV_TYPE=isi\n"
             "[GROUP1]\nSTATION=abc\nCHAN=bhz,BHN\nSIZEMB=10\nFILELENGTH(MIN)=30\nFILE_BHN=A.DAT\n"
             "SERVER=Nrts2\nPORT=15000\nSRV_TYPE=xfer\n"
             "[GROUP2]\nSTATION=XYZ\nCHAN=HHZ\nPORT=-1\n"
             "[GROUP3]\nSTATION=QRS\n");
    const std::vector<CStationGroup>& groups = Groups();
    ASSERT_EQ(groups.size(), 3u);

    const CStationGroup& abc = groups[0];
    EXPECT_EQ(abc.station, "ABC");
    EXPECT_EQ(abc.section, 1);
    EXPECT_EQ(ChannelNames(abc), (std::vector<std::string>{"BHZ", "BHN"}));
    EXPECT_EQ(abc.channels[0].sampleRate, 20);
    EXPECT_EQ(abc.channels[0].loopFile, "");
    EXPECT_EQ(abc.channels[1].loopFile, "A.DAT");
    EXPECT_EQ(abc.loopSize, 10 * 1048576);
    EXPECT_EQ(abc.fileLength, 30);
    EXPECT_EQ(abc.server, "Nrts2");
    EXPECT_EQ(abc.port, 15000);
    EXPECT_EQ(abc.serverType, "xfer");

    // PORT=-1 written out and PORT absent both fall back to [SYSTEM], then to 14002.
    const CStationGroup& xyz = groups[1];
    EXPECT_EQ(xyz.port, 14002);
    EXPECT_EQ(xyz.server, "nrts.example");
    EXPECT_EQ(xyz.serverType, "isi");
    EXPECT_EQ(xyz.loopSize, 1048576);
    EXPECT_EQ(xyz.fileLength, 60);

    EXPECT_TRUE(groups[2].channels.empty());
    EXPECT_EQ(LogCount("#[TARVELL] Number of channels: 3#"), 1);
}

TEST_P(LoadGroupsTest, ChannelsThatCannotBeAcquiredSafelyAreLeftOutAndLoggedOnce)
{
    for (const char* channel : {"BHZ", "BHN", "BHE", "BH", "LONGNAM"})
        m_db.AddSiteChan("ABC", channel, 20);
    m_db.AddSiteChan("LONGSTAT", "BHZ", 20);
    std::string longChan = "BHN";
    while (longChan.size() < 252)
        longChan += ",BHN";
    longChan += ",BHE"; // straddles the 255th character: "BH" must not be taken from it
    // Names that would lead out of the data root or into odd file names, even with a rate.
    for (const char* channel : {"A/B", "..", "X\\Y"})
        m_db.AddSiteChan("DEF", channel, 20);
    m_db.AddSiteChan("DEF", "BHZ", 20);
    m_db.AddSiteChan("../..", "BHZ", 20);
    WriteIni("[SYSTEM]\nGROUPS=6\n"
             "[GROUP1]\nSTATION=ABC\nCHAN=BHZ,LONGNAME1\nSERVER=one\n"
             "[GROUP2]\nSTATION=abc\nCHAN=bhz,BHN\nSERVER=two\n"
             "[GROUP3]\nSTATION=LONGSTAT\nCHAN=BHZ\n"
             "[GROUP4]\nSTATION=ABC\nCHAN=" +
             longChan +
             "\n"
             "[GROUP5]\nSTATION=../..\nCHAN=BHZ\n"
             "[GROUP6]\nSTATION=DEF\nCHAN=A/B,..,\xE9Z,X\\Y,BHZ\n");
    const std::vector<CStationGroup>& groups = Groups();
    ASSERT_EQ(groups.size(), 4u); // a station name that cannot be requested makes no group
    EXPECT_EQ(ChannelNames(groups[0]), (std::vector<std::string>{"BHZ"}));
    EXPECT_EQ(ChannelNames(groups[1]), (std::vector<std::string>{"BHN"}));
    EXPECT_TRUE(groups[2].channels.empty()); // BHN is GROUP2's already
    EXPECT_EQ(ChannelNames(groups[3]), (std::vector<std::string>{"BHZ"}));
    EXPECT_EQ(LogCount("Not Found. Station: DEF"), 0) << "an unsafe name is never looked up";
    for (const char* line :
         {"Channel not acquired, its name is longer than 7 characters and cannot be requested. "
          "Station: ABC  Channel: LONGNAME1",
          "Channel not acquired, GROUP1 acquires it already. Station: ABC  Channel: BHZ (GROUP2)",
          "Station not acquired, its name is longer than 7 characters and cannot be requested. "
          "Station: LONGSTAT (GROUP3)",
          "Channel not acquired, GROUP2 acquires it already. Station: ABC  Channel: BHN (GROUP4)",
          "Channel not acquired, CHAN of GROUP4 is longer than 255 characters. Station: ABC  "
          "Channel: BHE",
          "Station not acquired, its name holds '..'. Station: ../.. (GROUP5)",
          "Channel not acquired, its name holds '/'. Station: DEF  Channel: A/B",
          "Channel not acquired, its name holds '..'. Station: DEF  Channel: ..",
          "Channel not acquired, its name holds the byte 0xE9, which is no printable ASCII "
          "character. Station: DEF  Channel: \\xE9Z",
          "Channel not acquired, its name holds '\\'. Station: DEF  Channel: X\\Y"})
        EXPECT_EQ(LogCount(line), 1) << line;
}

TEST_P(LoadGroupsTest, LowerCaseChannelsWithABlankAfterTheCommaAreAddedButTheCheckMissesOne)
{
    m_db.AddSiteChan("ABC", "BHZ", 20);
    m_db.AddSiteChan("ABC", "BHN", 20);
    WriteIni("[SYSTEM]\nGROUPS=1\n[GROUP1]\nSTATION=ABC\nCHAN=bhz, bhn\n");
    const std::vector<CStationGroup>& groups = Groups();
    ASSERT_EQ(groups.size(), 1u);
    EXPECT_EQ(ChannelNames(groups[0]), (std::vector<std::string>{"BHZ", "BHN"}));
    // The check looks the second token up with its blank.
    EXPECT_EQ(LogCount("#[TARVELL] Not Found. Station: ABC  Channel:  BHN#"), 1);
    EXPECT_EQ(LogCount("Not Found"), 1);
    EXPECT_EQ(LogCount("#[TARVELL] Number of channels: 1#"), 1);
    EXPECT_EQ(LogCount("not acquired"), 0);
}

TEST_P(LoadGroupsTest, SemicolonsSplitChannelsButNotTheCheckAndTwiceNamedChannelsCountOnce)
{
    m_db.AddSiteChan("ABC", "BHZ", 20);
    m_db.AddSiteChan("ABC", "BHN", 20);
    WriteIni("[SYSTEM]\nGROUPS=1\n[GROUP1]\nSTATION=ABC\nCHAN=BHZ;BHN,,bhz,BHN\n");
    EXPECT_EQ(ChannelNames(Groups()[0]), (std::vector<std::string>{"BHZ", "BHN"}));
    EXPECT_EQ(LogCount("Not Found. Station: ABC  Channel: BHZ;BHN#"), 1);
    EXPECT_EQ(LogCount("#[TARVELL] Number of channels: 2#"), 1);
}

TEST_P(LoadGroupsTest, ChannelsWithoutARateAreLeftOutAndEachIsLoggedOnce)
{
    m_db.AddSiteChan("ABC", "BHZ", 20);
    m_db.AddSiteChan("ABC", "BHN", 0);
    m_db.AddSiteChan("ABC", "BHE", NAN);
    WriteIni("[SYSTEM]\nGROUPS=1\n[GROUP1]\nSTATION=ABC\nCHAN=BHZ,BHN,BHE,LHZ\n");
    EXPECT_EQ(ChannelNames(Groups()[0]), (std::vector<std::string>{"BHZ"}));
    EXPECT_EQ(LogCount("Not Found. Station: ABC  Channel: LHZ#"), 1);
    EXPECT_EQ(LogCount("LHZ"), 1);
    EXPECT_EQ(LogCount("Channel not acquired, no sampling rate above 0 in the database. "
                       "Station: ABC  Channel: BHN#"),
              1);
    EXPECT_EQ(LogCount("Station: ABC  Channel: BHE#"), 1);
}

TEST_P(LoadGroupsTest, SizeTextThatIsNoNumberGivesAnEmptyLoopAndIsLogged)
{
    WriteIni("[SYSTEM]\nGROUPS=3\n[GROUP1]\nSTATION=ABC\nSIZEMB=lots\n"
             "[GROUP2]\nSTATION=DEF\nSIZEMB=3000\n[GROUP3]\nSTATION=GHI\nSIZEMB=12MB\n");
    const std::vector<CStationGroup>& groups = Groups();
    ASSERT_EQ(groups.size(), 3u);
    EXPECT_EQ(groups[0].loopSize, 0);
    EXPECT_EQ(groups[0].ringSize, 0);
    EXPECT_EQ(LogCount("GROUP1 SIZEMB 'lots' is not a positive number of megabytes"), 1);
    // Loops of 2 GiB and more keep their size.
    EXPECT_EQ(groups[1].loopSize, 3000LL * 1048576);
    EXPECT_EQ(groups[2].loopSize, 12 * 1048576);
    EXPECT_EQ(groups[2].ringSize, 12 * 1048576);
}

TEST_P(LoadGroupsTest, EveryGroupRemembersTheSectionItWasReadFrom)
{
    WriteIni("[SYSTEM]\nGROUPS=4\n[GROUP1]\nCHAN=BHZ\n[GROUP2]\nSTATION=ABC\n"
             "[GROUP3]\nSTATION=\n[GROUP4]\nSTATION=DEF\nFILELENGTH(MIN)=5\n");
    const std::vector<CStationGroup>& groups = Groups();
    ASSERT_EQ(groups.size(), 2u);
    EXPECT_EQ(groups[0].station, "ABC");
    EXPECT_EQ(groups[0].section, 2);
    EXPECT_EQ(groups[1].station, "DEF");
    EXPECT_EQ(groups[1].section, 4);
    EXPECT_EQ(groups[1].fileLength, 5);
}

TEST_P(LoadGroupsTest, NamesTooLongToBeRequestedAreLogged)
{
    m_db.AddSiteChan("LONGNAME", "BHZ", 20);
    m_db.AddSiteChan("ABC", "CHANNEL12", 20);
    WriteIni("[SYSTEM]\nGROUPS=2\n[GROUP1]\nSTATION=LONGNAME\nCHAN=BHZ\n"
             "[GROUP2]\nSTATION=ABC\nCHAN=CHANNEL12\n");
    (void)Groups();
    EXPECT_EQ(LogCount("Station: LONGNAME (GROUP1)"), 1);
    EXPECT_EQ(LogCount("Station: ABC  Channel: CHANNEL12#"), 1);
}

// A server is a host and a port: groups on one host at different ports are two links.
TEST_P(LoadGroupsTest, ServerLinksGroupStationsByHostAndPort)
{
    m_db.AddSiteChan("ABC", "BHZ", 20);
    m_db.AddSiteChan("ABC", "BHN", 20);
    m_db.AddSiteChan("DEF", "HHZ", 100);
    m_db.AddSiteChan("DEF", "HHN", 100);
    WriteIni("[SYSTEM]\nGROUPS=5\nPORT=15000\n"
             "[GROUP1]\nSTATION=ABC\nCHAN=BHZ,BHN\nSERVER=nrts1\nSRV_TYPE=isi\n"
             "[GROUP2]\nSTATION=DEF\nCHAN=HHZ\nSERVER=other\n"
             "[GROUP3]\nSTATION=GHI\nCHAN=XXX\nSERVER=NRTS1\nPORT=15000\n"
             "[GROUP4]\nSTATION=DEF\nCHAN=HHN\nSERVER=Nrts1\nPORT=16000\n"
             "[GROUP5]\nSTATION=JKL\nCHAN=XXX\nSERVER=nrts1\nPORT=16000\n");
    (void)Groups();
    const std::vector<LinkConfig>& links = m_config->links;
    ASSERT_EQ(links.size(), 3u);
    EXPECT_EQ(links[0].Name(), "nrts1:15000");
    EXPECT_EQ(links[0].serverType, "isi"); // the first group of a server decides
    EXPECT_EQ(links[0].groups, (std::vector<std::size_t>{0, 2}));
    EXPECT_EQ(links[1].Name(), "other:15000");
    EXPECT_EQ(links[2].Name(), "Nrts1:16000");
    EXPECT_EQ(links[2].groups, (std::vector<std::size_t>{3, 4}));

    const CServerLink first = MakeServerLink(*m_config, links[0]);
    ASSERT_EQ(first.stationCount, 2);
    EXPECT_STREQ(first.stations[0].name, "ABC");
    EXPECT_EQ(first.stations[0].channelCount, 2);
    EXPECT_STREQ(first.stations[0].channels[1].name, "BHN");
    EXPECT_EQ(first.stations[0].channels[1].startTime, -1);
    EXPECT_EQ(first.stations[0].channels[1].endTime, -1);
    // A group whose channels were all left out still takes its slot, empty.
    EXPECT_STREQ(first.stations[1].name, "");
    EXPECT_EQ(first.stations[1].channelCount, 0);
    EXPECT_EQ(m_config->Find("def", "hhn").link, 2u);
}

TEST_P(LoadGroupsTest, ServerLinksNeverRunPastTheirSlots)
{
    std::string ini = "[SYSTEM]\nGROUPS=66\nSERVER=one\n";
    std::string chan;
    for (int c = 0; c < 70; ++c)
    {
        const std::string name =
            std::string(1, static_cast<char>('A' + c / 10)) + std::to_string(c % 10);
        m_db.AddSiteChan("S1", name, 20);
        chan += (chan.empty() ? "" : ",") + name;
    }
    for (int g = 1; g <= 66; ++g)
        ini += "[GROUP" + std::to_string(g) + "]\nSTATION=S" + std::to_string(g) + "\n" +
               (g == 1 ? "CHAN=" + chan + "\n" : "");
    WriteIni(ini);
    ASSERT_EQ(Groups().size(), 66u);
    ASSERT_EQ(m_config->groups[0].channels.size(), 70u);
    ASSERT_EQ(m_config->links.size(), 1u);
    const CServerLink link = MakeServerLink(*m_config, m_config->links[0]);
    EXPECT_EQ(link.stationCount, 64);
    EXPECT_EQ(link.stations[0].channelCount, 64);
    EXPECT_EQ(LogCount("More than 64 stations for server one:14002"), 2);
    EXPECT_EQ(LogCount("only the first 64 are requested"), 1);
}

INSTANTIATE_TEST_SUITE_P(Backends, LoadGroupsTest, ::testing::ValuesIn(test::AllBackends()),
                         test::BackendParamName());

TEST(StationGroupsTest, FindIgnoresCaseAndLooksPastAGroupWithoutTheChannel)
{
    CConfiguration config;
    config.groups.emplace_back("ABC", 1).channels.emplace_back("BHZ", 20);
    config.groups.emplace_back("ABC", 2).channels.emplace_back("BHN", 20);
    config.links = BuildServerLinks(config.groups);
    config.Index();

    const ConfiguredChannel where = config.Find("abc", "bhn");
    ASSERT_TRUE(where);
    EXPECT_EQ(where.group, &config.groups[1]);
    EXPECT_EQ(where.channel->name, "BHN");
    EXPECT_FALSE(config.Find("ABC", "BHE"));
    EXPECT_FALSE(config.Find("XYZ", "BHZ"));
}

} // namespace
} // namespace tarvell
