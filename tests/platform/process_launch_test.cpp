#include "platform/process_launch.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/stat.h>

#include "support/sandbox.h"

namespace tarvell
{
namespace
{

using test::ReadFile;
using test::Sandbox;

std::string Script(const Sandbox& box, const std::string& name, const std::string& body,
                   mode_t mode = 0755)
{
    std::filesystem::create_directories(std::filesystem::path(box.File(name)).parent_path());
    const std::string path = box.Write(name, "#!/bin/sh\n" + body);
    ::chmod(path.c_str(), mode);
    return path;
}

TEST(FindExecutable, TheProgramsDirectoryFirstThenPathInOrder)
{
    Sandbox box;
    const std::string own = Script(box, "own/IniTarvell", "");
    const std::string first = Script(box, "first/IniTarvell", "");
    Script(box, "second/IniTarvell", "");
    Script(box, "plain/IniTarvell", "", 0644); // not executable: passed over
    const char* saved = std::getenv("PATH");
    const std::string oldPath = saved ? saved : "";
    const std::string path = box.File("plain") + ":" + box.File("missing") + ":" +
                             box.File("first") + ":" + box.File("second");
    ::setenv("PATH", path.c_str(), 1);
    EXPECT_EQ(FindExecutable("IniTarvell", box.File("own")), own);
    EXPECT_EQ(FindExecutable("IniTarvell", box.File("elsewhere")), first);
    EXPECT_EQ(FindExecutable("NoSuchProgram", box.File("own")), "");
    EXPECT_EQ(FindExecutable("../own/IniTarvell", box.File("first")), ""); // a name, not a path
    ::setenv("PATH", oldPath.c_str(), 1);
}

// The other program gets none of our descriptors and none of our blocked or ignored signals.
TEST(StartProgram, RunsWithACleanSlateAndIsWaitedFor)
{
    Sandbox box;
    const std::string report = box.File("report");
    const std::string program = Script(box, "bin/probe",
                                       "ls /proc/self/fd | wc -l > '" + report +
                                           "'\n"
                                           "grep -E '^(SigBlk|SigIgn)' /proc/self/status >> '" +
                                           report + "'\n");
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGTERM);
    sigset_t old;
    pthread_sigmask(SIG_BLOCK, &blocked, &old);
    auto oldPipe = std::signal(SIGPIPE, SIG_IGN);
    FILE* kept = std::fopen(box.File("open").c_str(), "w"); // a descriptor of ours

    const int process = StartProgram(program);
    ASSERT_GT(process, 0);
    WaitForProgramEnd(process);

    std::fclose(kept);
    std::signal(SIGPIPE, oldPipe);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    // ls sees 0, 1, 2 and the directory it reads, and nothing of ours.
    const std::string text = ReadFile(report);
    EXPECT_EQ(std::atoi(text.c_str()), 4) << text;
    EXPECT_NE(text.find("SigBlk:\t0000000000000000"), std::string::npos) << text;
    EXPECT_EQ(text.find("SigIgn:\t0000000000001000"), std::string::npos) << text; // SIGPIPE

    EXPECT_EQ(StartProgram(box.File("bin/none")), -1);
}

} // namespace
} // namespace tarvell
