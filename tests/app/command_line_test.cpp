#include "app/command_line.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace tarvell
{
namespace
{

TEST(CommandLine, OwnOptionsComeFirstAndOnlyTheRestAreSettings)
{
    using Arguments = std::vector<std::string>;
    CommandLine line = ParseCommandLine(
        {"--headless", "--ini", "/etc/kdx/tarvell.ini", "odbc=base", "user=op", "--weird"});
    EXPECT_TRUE(line.error.empty());
    EXPECT_TRUE(line.headless);
    EXPECT_EQ(line.iniPath, "/etc/kdx/tarvell.ini");
    EXPECT_EQ(line.settingsArguments, (Arguments{"odbc=base", "user=op", "--weird"}));

    line = ParseCommandLine({"--ini=x.ini", "--check-config", "--", "--ODBC=A"});
    EXPECT_EQ(line.iniPath, "x.ini");
    EXPECT_TRUE(line.checkConfig);
    EXPECT_EQ(line.settingsArguments, Arguments{"--ODBC=A"});

    // An INI path that holds "ODBC=" is the option's value, never a data source.
    line = ParseCommandLine({"--ini", "/srv/ODBC=x.ini", "--headless"});
    EXPECT_EQ(line.iniPath, "/srv/ODBC=x.ini");
    EXPECT_TRUE(line.settingsArguments.empty());
}

TEST(CommandLine, UnknownOptionsAndMissingValuesAreErrors)
{
    EXPECT_EQ(ParseCommandLine({"--frobnicate"}).error, "unknown option --frobnicate");
    EXPECT_EQ(ParseCommandLine({"--ini"}).error, "option --ini needs a path");
    EXPECT_TRUE(ParseCommandLine({}).error.empty());
}

TEST(UseWindow, OnlyWithAWindowBuiltADisplayAndNoHeadlessOption)
{
    struct Case
    {
        bool headless;
        bool built;
        const char* display;
        const char* wayland;
        bool window;
    };
    const Case cases[] = {
        {false, true, ":0", "", true},   {false, true, "", "wayland-0", true},
        {false, true, "", "", false},    // no display
        {true, true, ":0", "", false},   // --headless
        {false, false, ":0", "", false}, // built without the window
    };
    for (const Case& c : cases)
    {
        CommandLine line = ParseCommandLine(c.headless ? std::vector<std::string>{"--headless"}
                                                       : std::vector<std::string>{});
        EXPECT_EQ(UseWindow(line, c.built, c.display, c.wayland), c.window)
            << c.headless << c.built << c.display << c.wayland;
    }
}

} // namespace
} // namespace tarvell
