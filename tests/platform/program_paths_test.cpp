#include "platform/program_paths.h"

#include <gtest/gtest.h>

namespace tarvell
{
namespace
{

TEST(ProgramPaths, IniPathReplacesTheExtensionOrAppendsOne)
{
    EXPECT_EQ(IniPathForExecutable("/opt/kdx/tarvell"), "/opt/kdx/tarvell.ini");
    EXPECT_EQ(IniPathForExecutable("/opt/kdx/tarvell.exe"), "/opt/kdx/tarvell.ini");
    EXPECT_EQ(IniPathForExecutable("/opt/kdx.d/tarvell"), "/opt/kdx.d/tarvell.ini");
    EXPECT_EQ(IniPathForExecutable("/opt/kdx/.hidden"), "/opt/kdx/.hidden.ini");
    EXPECT_EQ(IniPathForExecutable("tarvell"), "tarvell.ini");
}

TEST(ProgramPaths, ExecutablePathIsThisTest)
{
    std::string path = ExecutablePath();
    EXPECT_NE(path.find("platform_tests"), std::string::npos) << path;
    EXPECT_EQ(DirectoryOf("/a/b/c"), "/a/b");
    EXPECT_EQ(DirectoryOf("/c"), "/");
    EXPECT_EQ(DirectoryOf("c"), ".");
}

} // namespace
} // namespace tarvell
