#include "platform/ini_profile.h"

#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/sandbox.h"
#include "support/unwritable_ini.h"

namespace tarvell
{
namespace
{

using test::ReadFile;
using test::Sandbox;

TEST(IniProfile, ReadsSectionsAndKeysWithoutRegardToCaseAndTrimsValues)
{
    Sandbox box;
    std::string ini = box.Write("t.ini", "; comment\n"
                                         "[System]\n"
                                         "  Groups =  3  \n"
                                         "server=host.example\t\n"
                                         "[group1]\r\n"
                                         "STATION=abc\n");
    EXPECT_EQ(ReadProfileInt(ini, "SYSTEM", "GROUPS", 0), 3);
    EXPECT_EQ(ReadProfileString(ini, "system", "SERVER", "x", 255), "host.example");
    EXPECT_EQ(ReadProfileString(ini, "GROUP1", "station", "", 255), "abc");
    EXPECT_EQ(ReadProfileString(ini, "GROUP2", "STATION", "none", 255), "none");
    EXPECT_EQ(ReadProfileString(ini, "SYSTEM", "MISSING", "dflt", 255), "dflt");
}

TEST(IniProfile, MissingOrMalformedFileReadsAsDefaults)
{
    Sandbox box;
    EXPECT_EQ(ReadProfileString(box.File("none.ini"), "A", "B", "d", 10), "d");
    EXPECT_EQ(ReadProfileInt(box.File("none.ini"), "A", "B", -1), -1);
    EXPECT_EQ(ReadProfileInt(box.Path(), "A", "B", 7), 7); // a directory, not a file

    const char content[] = "key=outside any section\n"
                           "[S]\nno equals sign here\n=novalue\n"
                           "\0\xff\xfe[[]]=\n[S2\nK=v\n";
    std::string junk = box.Write("junk.ini", std::string(content, sizeof content - 1));
    EXPECT_EQ(ReadProfileString(junk, "", "KEY", "d", 10), "d");
    EXPECT_EQ(ReadProfileString(junk, "S", "no equals sign here", "d", 10), "d");
    EXPECT_EQ(ReadProfileString(junk, "S2", "K", "d", 10), "v"); // unclosed header still names
}

TEST(IniProfile, IntegersReadTheirLeadingSignedDigits)
{
    struct Case
    {
        const char* text;
        long long expected;
    };
    const Case cases[] = {{"42", 42},
                          {"-7", -7},
                          {"+5", 5},
                          {"12abc", 12},
                          {"abc", 0},
                          {"", 0},
                          {" 9", 9},
                          {"-", 0},
                          {"0x10", 0},
                          {"3.9", 3},
                          {"99999999999999999999", LLONG_MAX},
                          {"-99999999999999999999", LLONG_MIN}};
    for (const Case& c : cases)
        EXPECT_EQ(ParseLeadingInteger(c.text), c.expected) << c.text;

    Sandbox box;
    std::string ini = box.Write("t.ini", "[G]\nSIZEMB=ten\nPORT=-1\n");
    EXPECT_EQ(ReadProfileInt(ini, "G", "SIZEMB", 1), 0);
    EXPECT_EQ(ReadProfileInt(ini, "G", "PORT", 14002), -1);
    EXPECT_EQ(ReadProfileInt(ini, "G", "ABSENT", 14002), 14002);
}

TEST(IniProfile, TextIsCutToTheSizeLimit)
{
    Sandbox box;
    std::string ini = box.Write("t.ini", "[S]\nSTATION=ABCDEFGHIJ\n");
    EXPECT_EQ(ReadProfileString(ini, "S", "STATION", "", 7), "ABCDEFG");
    EXPECT_EQ(ReadProfileString(ini, "S", "NONE", "0123456789", 3), "012");
}

TEST(IniProfile, WriteKeepsEveryOtherLineAndAddsMissingKeysAtTheEndOfTheirSection)
{
    Sandbox box;
    std::string ini = box.Write("t.ini", "; site configuration\n"
                                         "[SYSTEM]\n"
                                         "Groups=2\n"
                                         "\n"
                                         "[Group1]\n"
                                         "Station=ABC  ; main\n"
                                         "bhz=100\n"
                                         "\n"
                                         "; the second one\n"
                                         "[GROUP2]\n"
                                         "STATION=DEF\n");
    ASSERT_TRUE(WriteProfileString(ini, "GROUP1", "BHZ", "1796648744"));
    ASSERT_TRUE(WriteProfileString(ini, "group1", "BHN", "5"));
    ASSERT_TRUE(WriteProfileString(ini, "GROUP3", "STATION", "GHI"));
    EXPECT_EQ(ReadFile(ini), "; site configuration\n"
                             "[SYSTEM]\n"
                             "Groups=2\n"
                             "\n"
                             "[Group1]\n"
                             "Station=ABC  ; main\n"
                             "bhz=1796648744\n"
                             "BHN=5\n"
                             "\n"
                             "; the second one\n"
                             "[GROUP2]\n"
                             "STATION=DEF\n"
                             "\n"
                             "[GROUP3]\n"
                             "STATION=GHI\n");
    EXPECT_EQ(ReadProfileString(ini, "GROUP1", "bhz", "", 127), "1796648744");
}

TEST(IniProfile, OneRewriteOfManyKeysEqualsOneWriteAfterAnotherAndNeedsNoParse)
{
    const std::string original = "[SYSTEM]\nGroups=2\n\n[Group1]\nStation=ABC\nbhz=100\n\n"
                                 "[GROUP2]\nSTATION=DEF";
    const std::vector<ProfileEntry> entries = {{"GROUP1", "BHZ", "1796648744"},
                                               {"group1", "BHN", "5"},
                                               {"GROUP2", "BHZ", "7"},
                                               {"GROUP3", "STATION", "GHI"},
                                               {"GROUP1", "BHN", "6"}};
    Sandbox box;
    const std::string oneByOne = box.Write("one.ini", original);
    for (const ProfileEntry& entry : entries)
        ASSERT_TRUE(WriteProfileString(oneByOne, entry.section, entry.key, entry.value));

    const std::string batch = box.Write("batch.ini", original);
    EXPECT_EQ(ReadProfileInt(batch, "GROUP1", "BHZ", 0), 100);
    const ProfileCacheStats before = GetProfileCacheStats();
    ASSERT_TRUE(WriteProfileStrings(batch, entries));
    EXPECT_EQ(ReadFile(batch), ReadFile(oneByOne));
    EXPECT_EQ(ReadProfileInt(batch, "GROUP1", "BHN", 0), 6);
    EXPECT_EQ(ReadProfileString(batch, "GROUP3", "STATION", "", 9), "GHI");
    EXPECT_EQ(GetProfileCacheStats().parses, before.parses); // written and read, never parsed

    // A bad name anywhere refuses the whole batch.
    const std::vector<ProfileEntry> bad = {{"GROUP1", "BHZ", "1"}, {"GROUP1", "A=B", "2"}};
    EXPECT_FALSE(WriteProfileStrings(batch, bad));
    EXPECT_EQ(ReadProfileInt(batch, "GROUP1", "BHZ", 0), 1796648744);
}

TEST(IniProfile, WriteKeepsCrLfFilesInCrLfAndCreatesMissingFiles)
{
    Sandbox box;
    std::string ini = box.Write("t.ini", "[A]\r\nX=1\r\n");
    ASSERT_TRUE(WriteProfileString(ini, "A", "Y", "2"));
    ASSERT_TRUE(WriteProfileString(ini, "B", "Z", "3"));
    EXPECT_EQ(ReadFile(ini), "[A]\r\nX=1\r\nY=2\r\n\r\n[B]\r\nZ=3\r\n");

    std::string fresh = box.File("fresh.ini");
    ASSERT_TRUE(WriteProfileString(fresh, "LISTBOXHEADER", "HDRSIZE", "60,60,120,200"));
    EXPECT_EQ(ReadFile(fresh), "[LISTBOXHEADER]\nHDRSIZE=60,60,120,200\n");
}

TEST(IniProfile, WriteRefusesNamesThatCouldBreakTheFileAndFlattensValues)
{
    Sandbox box;
    std::string ini = box.Write("t.ini", "[A]\nX=1\n");
    EXPECT_FALSE(WriteProfileString(ini, "A", "K=V", "1"));
    EXPECT_FALSE(WriteProfileString(ini, "A]", "K", "1"));
    EXPECT_FALSE(WriteProfileString(ini, "A", "", "1"));
    EXPECT_FALSE(WriteProfileString(ini, "A", "K\n[B]", "1"));
    ASSERT_TRUE(WriteProfileString(ini, "A", "X", "two\n[EVIL]\nlines"));
    EXPECT_EQ(ReadFile(ini), "[A]\nX=two [EVIL] lines\n");
}

TEST(IniProfile, FailedWriteLeavesTheFileWhole)
{
    Sandbox box;
    std::string ini = box.Write("t.ini", "[A]\nX=1\n");
    {
        test::UnwritableIni unwritable(ini);
        EXPECT_FALSE(WriteProfileString(ini, "A", "X", "2"));
        EXPECT_EQ(ReadFile(ini), "[A]\nX=1\n");
        EXPECT_EQ(ReadProfileInt(ini, "A", "X", 0), 1);
    }
    EXPECT_TRUE(WriteProfileString(ini, "A", "X", "2"));
    EXPECT_EQ(ReadProfileInt(ini, "A", "X", 0), 2);
}

TEST(IniProfile, UnreadableFileIsNeverReplaced)
{
    Sandbox box;
    // A directory standing where the INI should be cannot be read as a file.
    std::string dir = box.File("dir.ini");
    ASSERT_EQ(::mkdir(dir.c_str(), 0755), 0);
    EXPECT_FALSE(WriteProfileString(dir, "A", "X", "1"));
    struct stat st
    {
    };
    ASSERT_EQ(::stat(dir.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
}

TEST(IniProfile, WriteFollowsASymbolicLinkAndKeepsOwnerGroupAndMode)
{
    Sandbox box;
    std::string real = box.Write("real.ini", "[A]\nX=1\n");
    ASSERT_EQ(::chmod(real.c_str(), 0640), 0);
    // As root the file can belong to somebody else (the service user), as it does on a site.
    const bool root = ::geteuid() == 0;
    const uid_t owner = root ? 65534 : ::geteuid(); // nobody
    const gid_t group = root ? 65534 : ::getegid(); // nogroup
    ASSERT_EQ(::chown(real.c_str(), owner, group), 0);
    std::string link = box.File("link.ini");
    ASSERT_EQ(::symlink(real.c_str(), link.c_str()), 0);
    ASSERT_TRUE(WriteProfileString(link, "A", "X", "2"));
    struct stat st
    {
    };
    ASSERT_EQ(::lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(ReadFile(real), "[A]\nX=2\n");
    ASSERT_EQ(::stat(real.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(st.st_uid, owner);
    EXPECT_EQ(st.st_gid, group);
    EXPECT_EQ(ReadProfileString(link, "A", "X", "", 9), "2");

    // A file the first write makes may hold a password: its owner alone reads it.
    const std::string fresh = box.File("fresh.ini");
    ASSERT_TRUE(WriteProfileString(fresh, "DATABASE", "PASSWORD", "secret"));
    ASSERT_EQ(::stat(fresh.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
}

TEST(IniProfile, CacheAnswersRepeatedReadsAndNoticesEditsByOtherPrograms)
{
    Sandbox box;
    std::string ini = box.Write("t.ini", "[A]\nX=1\n");
    ClearProfileCache();
    ProfileCacheStats before = GetProfileCacheStats();
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(ReadProfileInt(ini, "A", "X", 0), 1);
    ProfileCacheStats after = GetProfileCacheStats();
    EXPECT_EQ(after.parses - before.parses, 1u);
    EXPECT_EQ(after.hits - before.hits, 9u);

    // Another program rewrites the file in place with the same size: the status time and
    // modification time move on, and the next read sees the new value.
    box.Write("t.ini", "[A]\nX=2\n");
    EXPECT_EQ(ReadProfileInt(ini, "A", "X", 0), 2);

    // An editor replaces the file by renaming a new one over it.
    std::string other = box.Write("new.ini", "[A]\nX=3\n");
    ASSERT_EQ(::rename(other.c_str(), ini.c_str()), 0);
    EXPECT_EQ(ReadProfileInt(ini, "A", "X", 0), 3);

    ASSERT_EQ(::unlink(ini.c_str()), 0);
    EXPECT_EQ(ReadProfileInt(ini, "A", "X", 0), 0);

    // Our own write is cached without a second parse.
    ASSERT_TRUE(WriteProfileString(ini, "A", "X", "4"));
    before = GetProfileCacheStats();
    EXPECT_EQ(ReadProfileInt(ini, "A", "X", 0), 4);
    EXPECT_EQ(GetProfileCacheStats().parses, before.parses);
}

TEST(IniProfile, ConcurrentWritersOfDifferentKeysLoseNothing)
{
    Sandbox box;
    std::string ini = box.Write("t.ini", "[SYSTEM]\nGROUPS=4\n");
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
    {
        threads.emplace_back(
            [&ini, t]
            {
                std::string section = "GROUP" + std::to_string(t + 1);
                for (int i = 0; i < 50; ++i)
                {
                    EXPECT_TRUE(WriteProfileString(ini, section, "BHZ", std::to_string(i)));
                    EXPECT_EQ(ReadProfileInt(ini, "SYSTEM", "GROUPS", 0), 4);
                }
            });
    }
    for (std::thread& thread : threads)
        thread.join();
    for (int t = 0; t < 4; ++t)
        EXPECT_EQ(ReadProfileInt(ini, "GROUP" + std::to_string(t + 1), "BHZ", -1), 49);
}

} // namespace
} // namespace tarvell
