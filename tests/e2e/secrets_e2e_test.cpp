// The secrets of a running program, end to end: the INI that holds the database password is
// rewritten through a temporary file nobody else can read or guess and keeps its owner, group
// and mode; a password on the command line disappears from the process list; the process
// allows no core file; its descriptor limit is raised as far as it may go.

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "e2e/e2e_world.h"
#include "platform/ini_profile.h"

namespace tarvell
{
namespace
{

using test::ReadFile;
using test::WaitUntil;

// The temporary file of a rewrite of ini in its directory, or empty.
std::string TemporaryIni(const std::string& ini)
{
    const std::regex pattern("tarvell\\.ini\\.[A-Za-z0-9]{6}");
    std::error_code error;
    for (const auto& entry :
         std::filesystem::directory_iterator(std::filesystem::path(ini).parent_path(), error))
    {
        if (std::regex_match(entry.path().filename().string(), pattern))
            return entry.path().string();
    }
    return {};
}

using SecretsEndToEnd = test::TarvellEndToEnd;

TEST_F(SecretsEndToEnd, ThePasswordStaysOutOfSightAndTheIniRewriteKeepsItsOwner)
{
    Db().AddSiteChan("ABC", "BHZ", 100);
    const int port = StartSim({"--synthetic", Synthetic("ABC", "BHZ", 100, 60)});
    WriteIni({{"ABC", "BHZ", "127.0.0.1", port}});
    // The INI holds the password: it belongs to the service user, whose group may read it.
    const bool root = ::geteuid() == 0;
    const uid_t owner = root ? 65534 : ::geteuid(); // nobody
    const gid_t group = root ? 65534 : ::getegid(); // nogroup
    ASSERT_EQ(::chown(Ini().c_str(), owner, group), 0);
    ASSERT_EQ(::chmod(Ini().c_str(), 0640), 0);

    // The first rewrite holds once its temporary file is written.
    auto tarvell = StartTarvell(
        "ini-temp-written:hold", {"/usr/bin/prlimit", "--nofile=64:4096"},
        {"ODBC=" + Db().Dsn(), "USER=KDX", "PASSWORD=line-secret", "DATA=" + g_waveRoot});
    std::string temp;
    ASSERT_TRUE(WaitUntil([&] { return !(temp = TemporaryIni(Ini())).empty(); }, 30000))
        << Outputs();
    struct stat st
    {
    };
    ASSERT_EQ(::stat(temp.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u) << "others could read the password";
    EXPECT_EQ(st.st_uid, ::geteuid());

    // Other users see no password in the process list, and no core file can hold it.
    const std::string pid = std::to_string(tarvell->Pid());
    std::string line = ReadFile("/proc/" + pid + "/cmdline");
    std::replace(line.begin(), line.end(), '\0', ' ');
    EXPECT_EQ(line.find("SECRET"), std::string::npos) << line;
    EXPECT_EQ(line.find("secret"), std::string::npos) << line;
    EXPECT_NE(line.find("PASSWORD=***********"), std::string::npos) << line;
    const std::string limits = ReadFile("/proc/" + pid + "/limits");
    EXPECT_TRUE(std::regex_search(limits, std::regex("Max core file size +0 +0 "))) << limits;
    EXPECT_TRUE(std::regex_search(limits, std::regex("Max open files +4096 +4096 "))) << limits;
    EXPECT_NE(LogText().find("The database password was given on the command line"),
              std::string::npos);
    tarvell->Signal(SIGKILL);
    tarvell->Wait(10000);
    std::filesystem::remove(temp);

    // A rewrite to its end (the resume times at the stop): the INI keeps its owner, group and
    // mode.
    ForgetRequests();
    tarvell = StartTarvell();
    ASSERT_TRUE(WaitForRequestFrom("BHZ", test::kStart + 60));
    Stop(*tarvell);
    EXPECT_EQ(ReadProfileString(Ini(), "GROUP1", "BHZ", "", 32), std::to_string(test::kStart + 60));
    ASSERT_EQ(::stat(Ini().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(st.st_uid, owner);
    EXPECT_EQ(st.st_gid, group);
}

} // namespace
} // namespace tarvell
