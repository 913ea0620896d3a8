#pragma once
// Test worlds for the configuration model and the data files: a sandbox with a program INI,
// an event log, a recording operator view and, for ModelTest, a real KDX database (one per
// backend). Main test thread only.

#include <dirent.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config/station_groups.h"
#include "log/event_log.h"
#include "platform/ini_profile.h"
#include "platform/program_paths.h"
#include "support/kdx_database.h"
#include "support/recording_view.h"
#include "support/sandbox.h"

namespace tarvell::test
{

// Everything the event log in directory holds, the days in name order.
inline std::string ReadLogDirectory(const std::string& directory)
{
    std::vector<std::string> names;
    if (DIR* dir = ::opendir(directory.c_str()))
    {
        while (dirent* entry = ::readdir(dir))
        {
            std::string name = entry->d_name;
            if (name.size() > 4 && name.substr(name.size() - 4) == ".log")
                names.push_back(name);
        }
        ::closedir(dir);
    }
    std::sort(names.begin(), names.end());
    std::string text;
    for (const std::string& name : names)
        text += ReadFile(directory + "/" + name);
    return text;
}

// How often needle stands in text.
inline int CountOf(const std::string& text, const std::string& needle)
{
    int count = 0;
    for (std::size_t at = text.find(needle); at != std::string::npos;
         at = text.find(needle, at + needle.size()))
    {
        ++count;
    }
    return count;
}

// A sandbox with a program INI, an event log and a recording operator view.
template <typename Base> class WorldFixture : public Base
{
protected:
    void SetUp() override
    {
        ResetLogForTest();
        InitLog(m_box.Write("log.ini", "[LOG]\nDIR=" + m_box.File("log") + "\n"));
        g_iniPath = m_box.File("tarvell.ini");
    }

    void TearDown() override
    {
        ResetLogForTest();
        g_iniPath.clear();
    }

    // Replaces the program INI.
    void WriteIni(const std::string& content) const { m_box.Write("tarvell.ini", content); }

    std::string Ini(const std::string& section, const std::string& key) const
    {
        return ReadProfileString(g_iniPath, section, key, "<none>", 1023);
    }

    std::string Log() const { return ReadLogDirectory(m_box.File("log")); }
    int LogCount(const std::string& text) const { return CountOf(Log(), text); }

    Sandbox m_box;
    CRecordingView m_view;
};

using WorldTest = WorldFixture<::testing::Test>;

// The same with a fresh real KDX database of the backend the test is run for.
class ModelTest : public WorldFixture<::testing::TestWithParam<Backend>>
{
protected:
    KdxDatabase m_db{GetParam(), m_box};
};

} // namespace tarvell::test
