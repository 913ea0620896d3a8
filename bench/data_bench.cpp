// Samples per second through MergePacket into time-named files and their FILELIST rows, for
// 100 channels of 100 samples per second on SQLite, and the program INI calls each written
// chunk costs (the data-file side reads the INI several times per chunk; the parse cache
// must answer them).
//
// One iteration is one second of data: a packet of 100 samples for each of the 100 channels.
// Every channel writes a chunk of 4900 samples every 49 packets, so 49 iterations write 100
// chunks.

#include <cstdio>
#include <cstdlib>
#include <cstdint>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <sys/stat.h>
#include <unistd.h>

#include "config/load_groups.h"
#include "config/station_groups.h"
#include "datafiles/channel_writer.h"
#include "datafiles/chunk_journal.h"
#include "datafiles/link_archive.h"
#include "db/connection.h"
#include "db/db_access.h"
#include "db/db_admin.h"
#include "link/waveform_packet.h"
#include "log/event_log.h"
#include "platform/ini_profile.h"
#include "platform/program_paths.h"
#include "platform/text.h"

namespace
{

constexpr int kStations = 25;
const char* const kChannels[] = {"BHZ", "BHN", "BHE", "HHZ"};
constexpr int kPacketSamples = 100;
constexpr double kT0 = 1796648695.0; // 2026-12-07 13:04:55 UTC

std::string ReadText(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void WriteText(const std::string& path, const std::string& content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

std::string Station(int s)
{
    char name[8];
    std::snprintf(name, sizeof name, "S%03d", (s + 1) % 1000);
    return name;
}

// A fresh SQLite KDX database with SITECHAN rows for every channel, a program INI naming
// them, and the groups loaded; everything under a temporary directory.
// The archive of the one link all stations share, as its acquisition thread owns it.
tarvell::CLinkArchive& Archive()
{
    static tarvell::CLinkArchive archive;
    return archive;
}

bool MakeWorld()
{
    static bool made = false;
    static bool ok = false;
    if (made)
        return ok;
    made = true;

    char pattern[] = "/tmp/tarvell-data-bench-XXXXXX";
    if (::mkdtemp(pattern) == nullptr)
        return false;
    const std::string dir = pattern;
    ::mkdir((dir + "/odbc").c_str(), 0777);
    ::mkdir((dir + "/data").c_str(), 0777);
    WriteText(dir + "/odbc/odbcinst.ini", ReadText(TARVELL_SOURCE_DIR "/etc/odbc/odbcinst.ini"));
    WriteText(dir + "/odbc/odbc.ini", "[KDX]\nDriver=SQLite3\nDatabase=" + dir + "/kdx.db\n");
    WriteText(dir + "/odbc/user-odbc.ini", "");
    ::setenv("ODBCSYSINI", (dir + "/odbc").c_str(), 1);
    ::setenv("ODBCINI", (dir + "/odbc/user-odbc.ini").c_str(), 1);

    WriteText(dir + "/log.ini", "[LOG]\nDIR=" + dir + "/log\n");
    tarvell::InitLog(dir + "/log.ini");

    tarvell::g_dsn = "KDX";
    tarvell::g_dbUser = "KDX";
    tarvell::g_dbPassword = "QZT";
    tarvell::g_dbDataDir = dir + "/data";
    tarvell::g_waveRoot = tarvell::g_dbDataDir;
    if (!tarvell::DbConnect(false))
        return false;
    const std::string schema = ReadText(TARVELL_SOURCE_DIR "/etc/schema/kdx-sqlite.sql");
    if (!tarvell::DbRunScript(tarvell::SplitSqlScript(schema)).ok)
        return false;
    tarvell::DbAdoptNames();

    std::string ini = "[DATA]\nDIR=" + tarvell::g_waveRoot +
                      "\n[SYSTEM]\nGROUPS=" + std::to_string(kStations) + "\n";
    for (int s = 0; s < kStations; ++s)
    {
        ini += "[GROUP" + std::to_string(s + 1) + "]\nSTATION=" + Station(s) +
               "\nCHAN=BHZ,BHN,BHE,HHZ\nSIZEMB=10000\nFILELENGTH(MIN)=60\n";
        for (const char* channel : kChannels)
        {
            tarvell::DbExecute("INSERT INTO SITECHAN (STA, CHAN, SPS) VALUES ('" + Station(s) +
                               "', '" + channel + "', 100)");
        }
    }
    tarvell::g_iniPath = dir + "/tarvell.ini";
    WriteText(tarvell::g_iniPath, ini);
    std::shared_ptr<const tarvell::CConfiguration> config =
        tarvell::LoadGroups(tarvell::g_iniPath, tarvell::g_waveRoot);
    ok = config->groups.size() == kStations && config->links.size() == 1;
    if (ok)
    {
        tarvell::ChannelStates none;
        Archive().Configure(config, 0, none);
    }
    return ok;
}

void BM_MergePacketToFilesAndRows(benchmark::State& state)
{
    if (!MakeWorld())
    {
        state.SkipWithError("cannot make the SQLite database");
        return;
    }
    std::vector<std::int32_t> values(kPacketSamples);
    for (int i = 0; i < kPacketSamples; ++i)
        values[static_cast<std::size_t>(i)] = i * 7 - 300;
    auto packet = std::make_unique<tarvell::WaveformPacket>();
    packet->sampleInterval = 0.01;
    packet->sampleIntervalUs = 10000;
    packet->count = kPacketSamples;
    packet->wordSize = 4;
    packet->samples = values.data();

    static long long second = 0; // data time runs on across the benchmark's runs
    tarvell::CLinkArchive& archive = Archive();
    tarvell::CChunkJournal& journal = archive.Journal();
    long long chunks = 0;
    const tarvell::ProfileCacheStats before = tarvell::GetProfileCacheStats();
    for (auto _ : state)
    {
        packet->beginTime = kT0 + static_cast<double>(second);
        packet->endTime = packet->beginTime + (kPacketSamples - 1) * 0.01;
        // The 50th packet after a chunk finds 4900 samples buffered and has them written.
        if (second > 0 && second % 49 == 0)
            chunks += kStations * 4;
        for (int s = 0; s < kStations; ++s)
        {
            tarvell::CopyToField(packet->station, sizeof packet->station, Station(s));
            for (const char* channel : kChannels)
            {
                tarvell::CopyToField(packet->channel, sizeof packet->channel, channel);
                tarvell::MergePacket(*packet, archive.Find(Station(s), channel), journal);
            }
        }
        // One second of data a round, as a live acquisition thread commits once a second.
        journal.Commit();
        ++second;
    }
    const tarvell::ProfileCacheStats after = tarvell::GetProfileCacheStats();
    const double calls =
        static_cast<double>((after.hits - before.hits) + (after.parses - before.parses));
    state.SetItemsProcessed(state.iterations() * kStations * 4 * kPacketSamples);
    state.counters["chunks"] = static_cast<double>(chunks);
    state.counters["ini_calls_per_chunk"] = chunks > 0 ? calls / static_cast<double>(chunks) : 0;
    state.counters["ini_parses_per_chunk"] =
        chunks > 0 ? static_cast<double>(after.parses - before.parses) / static_cast<double>(chunks)
                   : 0;
}
// 490 seconds of data: every channel writes 9 chunks. Wall time: the disk and the database
// are most of the cost.
BENCHMARK(BM_MergePacketToFilesAndRows)
    ->Iterations(490)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
