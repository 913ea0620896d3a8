#pragma once
// The fixture of the end-to-end tests: xfer-sim servers on loopback, tarvell --headless with
// an INI file of the test's groups, a fresh SQLite KDX database, and checks of every file
// and row against what the servers sent. Main test thread only.

#include <cmath>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "db/connection.h"
#include "db/db_access.h"
#include "e2e/child_process.h"
#include "platform/ini_profile.h"
#include "support/kdx_database.h"
#include "support/sandbox.h"
#include "xfer-sim/synthetic_signal.h"

namespace tarvell::test
{

inline constexpr long long kStart = 1796648700; // 2026-12-07 13:05:00 UTC

struct Group
{
    std::string station;
    std::string channels; // CHAN value
    std::string server;
    int port = 0;
    int sizeMb = 1000;
};

struct ChannelArchive
{
    long long files = 0;
    long long samples = 0;
    long long missing = 0;
    long long duplicates = 0;
    long long wrong = 0;
    long long firstHeld = -1; // first and last sample index on disk
    long long lastHeld = -1;
};

class TarvellEndToEnd : public ::testing::Test
{
protected:
    // Starts an xfer-sim on a free loopback port with the given switches; returns its port.
    int StartSim(const std::vector<std::string>& switches)
    {
        const std::string portFile = m_box.File("port" + std::to_string(++m_simsStarted));
        std::vector<std::string> arguments = {"--port",       "0", "--port-file", portFile,
                                              "--end-status", "1"};
        arguments.insert(arguments.end(), switches.begin(), switches.end());
        m_sims.push_back(
            std::make_unique<ChildProcess>(XFER_SIM_BINARY, arguments, m_box.File("xfer-sim.out")));
        int port = 0;
        EXPECT_TRUE(WaitUntil(
            [&]
            {
                port = std::atoi(ReadFile(portFile).c_str());
                return port > 0;
            }))
            << ReadFile(m_box.File("xfer-sim.out"));
        return port;
    }

    static std::string Synthetic(const std::string& station, const std::string& channel, int rate,
                                 long long seconds)
    {
        return station + ":" + channel + ":" + std::to_string(rate) + ":" + std::to_string(kStart) +
               ":" + std::to_string(seconds);
    }

    // extraSystem: more [SYSTEM] lines; extraSections: more sections at the end.
    void WriteIni(const std::vector<Group>& groups, const std::string& extraSystem = "",
                  const std::string& extraSections = "")
    {
        std::ostringstream ini;
        ini << "[SYSTEM]\nGROUPS=" << groups.size() << "\nMODE=DETAIL\n" << extraSystem << "\n";
        for (std::size_t g = 0; g < groups.size(); ++g)
        {
            ini << "[GROUP" << g + 1 << "]\nSTATION=" << groups[g].station
                << "\nCHAN=" << groups[g].channels << "\nSERVER=" << groups[g].server
                << "\nPORT=" << groups[g].port << "\nSIZEMB=" << groups[g].sizeMb
                << "\nFILELENGTH(MIN)=5\n\n";
        }
        ini << "[DATA]\nDIR=" << g_waveRoot << "\n\n[DATABASE]\nODBC=" << m_db.Dsn()
            << "\nUSER=" << m_db.User() << "\nPASSWORD=" << m_db.Password()
            << "\n\n[LOG]\nDIR=" << m_box.File("log") << "\n"
            << extraSections;
        m_ini = m_box.Write("tarvell.ini", ini.str());
    }

    std::unique_ptr<ChildProcess> StartTarvell()
    {
        return std::make_unique<ChildProcess>(
            TARVELL_BINARY, std::vector<std::string>{"--headless", "--ini", m_ini},
            m_box.File("tarvell.out"));
    }

    // Waits until the channel's resume time in the INI has reached at least until.
    // Waits until tarvell asks the server for channel from until on: it has then received,
    // merged and asked past everything before (the servers end their data with status 1,
    // so the client reconnects and asks again once it has all).
    ::testing::AssertionResult WaitForRequestFrom(const std::string& channel, long long until)
    {
        const std::string asked = channel + "@" + std::to_string(until) + ".000000";
        if (WaitUntil(
                [&]
                { return ReadFile(m_box.File("xfer-sim.out")).find(asked) != std::string::npos; },
                60000))
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure()
               << "no request for " << asked << "\n--- event log\n"
               << LogText() << "--- tarvell\n"
               << ReadFile(m_box.File("tarvell.out")) << "--- xfer-sim\n"
               << ReadFile(m_box.File("xfer-sim.out"));
    }

    // Stops tarvell with the stop command; it must end in an orderly way.
    void Stop(ChildProcess& tarvell)
    {
        ASSERT_TRUE(tarvell.Signal(SIGTERM));
        EXPECT_EQ(tarvell.Wait(30000), 0) << ReadFile(m_box.File("tarvell.out"));
    }

    std::string LogText() const
    {
        std::string all;
        // The days of the run, in order (a run may cross midnight).
        std::map<std::string, std::string> days;
        std::error_code missing;
        for (const auto& entry : std::filesystem::directory_iterator(m_box.File("log"), missing))
        {
            const std::string name = entry.path().filename().string(); // DDMMYYYY.log
            if (name.size() == 12)
                days[name.substr(4, 4) + name.substr(2, 2) + name.substr(0, 2)] =
                    entry.path().string();
        }
        for (const auto& [day, path] : days)
            all += ReadFile(path);
        return all;
    }

    // Reads every FILELIST row of a channel and its file, and compares every sample with the
    // synthetic signal the server sent from kStart on.
    ChannelArchive Check(const std::string& station, const std::string& channel, int rate,
                         long long expectedSamples)
    {
        ChannelArchive archive;
        DbOutcome rows = m_db.Query("select CPATH, TBEGIN, TQTY, SPS from FILELIST where STA='" +
                                        station + "' and CH='" + channel + "' order by TBEGIN",
                                    {DbType::Text, DbType::Double, DbType::Double, DbType::Double});
        EXPECT_TRUE(rows.ok) << rows.message;
        std::vector<int> hits(static_cast<std::size_t>(expectedSamples), 0);
        for (const DbRow& row : rows.rows)
        {
            ++archive.files;
            const std::string bytes = ReadFile(g_waveRoot + "/" + row[0].text);
            EXPECT_GE(bytes.size(), 512u) << row[0].text;
            EXPECT_EQ(bytes.compare(0, 10, "[KDX5.x]\r\n"), 0) << row[0].text;
            const long long count = static_cast<long long>(bytes.size() - 512) / 4;
            EXPECT_EQ((bytes.size() - 512) % 4, 0u);
            EXPECT_EQ(std::llround(row[2].number * row[3].number), count)
                << row[0].text << " TQTY " << row[2].number;
            const long long first = std::llround((row[1].number - kStart) * rate);
            for (long long i = 0; i < count; ++i)
            {
                float value = 0;
                std::memcpy(&value, bytes.data() + 512 + 4 * i, 4);
                const long long k = first + i;
                if (k < 0 || k >= expectedSamples)
                {
                    ++archive.wrong;
                    continue;
                }
                if (value != static_cast<float>(sim::SyntheticSample(k)))
                    ++archive.wrong;
                if (++hits[static_cast<std::size_t>(k)] > 1)
                    ++archive.duplicates;
                ++archive.samples;
            }
        }
        for (std::size_t k = 0; k < hits.size(); ++k)
        {
            archive.missing += hits[k] == 0 ? 1 : 0;
            if (hits[k] > 0 && archive.firstHeld < 0)
                archive.firstHeld = static_cast<long long>(k);
            if (hits[k] > 0)
                archive.lastHeld = static_cast<long long>(k);
        }
        return archive;
    }

    Sandbox m_box;
    KdxDatabase m_db{Backend::Sqlite, m_box};
    std::vector<std::unique_ptr<ChildProcess>> m_sims;
    int m_simsStarted = 0;
    std::string m_ini;
};

} // namespace tarvell::test
