// The database cost of one written chunk, on SQLite and (when TARVELL_PG_PORT names a test
// server, eval "$(bash scripts/postgres.sh start)") on PostgreSQL: the disk-loop purge that
// precedes every write of a time-named channel (nothing to delete) and the chunk's row update
// as a group commit of one chunk runs it (its own transaction); beside it the disk-loop size
// query itself, which the program once ran for every chunk; the registration of a new file,
// and the liveness probe. The station holds state.range(0) rows.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <span>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <unistd.h>

#include "db/connection.h"
#include "db/db_access.h"
#include "db/db_admin.h"
#include "db/disk_loop.h"
#include "db/file_registry.h"

namespace
{

using namespace tarvell;

std::string ReadAll(const std::string& path)
{
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string Environment(const char* name, const char* fallback)
{
    const char* value = std::getenv(name);
    return value && *value ? value : fallback;
}

// Connects the shared connection to a fresh database holding `rows` files of station ABC.
// unixODBC reads its data source files once per process, so both data sources are written
// once into one folder, and every call empties its database under the same name.
bool Prepare(bool postgres, int rows)
{
    static std::string dir;
    std::string host = Environment("TARVELL_PG_HOST", "127.0.0.1");
    std::string port = Environment("TARVELL_PG_PORT", "");
    std::string user = Environment("TARVELL_PG_USER", "tarvell");
    std::string password = Environment("TARVELL_PG_PASSWORD", "tarvell");
    std::string database = "tarvell_bench_" + std::to_string(::getpid());
    if (dir.empty())
    {
        char pattern[] = "/tmp/tarvell-dbbench-XXXXXX";
        dir = ::mkdtemp(pattern);
        std::ofstream(dir + "/odbcinst.ini")
            << ReadAll(TARVELL_SOURCE_DIR "/etc/odbc/odbcinst.ini");
        std::ofstream(dir + "/odbc.ini")
            << "[KDX]\nDriver=SQLite3\nJournalMode=WAL\nSyncPragma=NORMAL\nDatabase=" << dir
            << "/kdx.db\n\n"
            << "[KDX_PG]\nDriver=PostgreSQL Unicode\nServername=" << host << "\nPort=" << port
            << "\nDatabase=" << database << "\n";
        ::setenv("ODBCSYSINI", dir.c_str(), 1);
        ::setenv("ODBCINI", (dir + "/user.ini").c_str(), 1);
    }
    DbClose();
    if (postgres)
    {
        if (port.empty())
            return false;
        std::string server = "Driver={PostgreSQL Unicode};Servername=" + host + ";Port=" + port +
                             ";Username=" + user + ";Password=" + password + ";Database=postgres";
        DbRunOnce(server, {"DROP DATABASE IF EXISTS " + database + " WITH (FORCE)",
                           "CREATE DATABASE " + database});
        g_dsn = "KDX_PG";
        g_dbUser = user;
        g_dbPassword = password;
    }
    else
    {
        std::remove((dir + "/kdx.db").c_str());
        g_dsn = "KDX";
    }
    g_waveRoot = dir + "/data";
    if (!DbConnect(false))
    {
        std::fprintf(stderr, "bench_db: cannot connect to %s\n", g_dsn.c_str());
        return false;
    }
    std::string schema = ReadAll(postgres ? TARVELL_SOURCE_DIR "/etc/schema/kdx-postgresql.sql"
                                          : TARVELL_SOURCE_DIR "/etc/schema/kdx-sqlite.sql");
    DbOutcome made = DbRunScript(SplitSqlScript(schema));
    if (!made.ok)
    {
        std::fprintf(stderr, "bench_db: cannot make the tables: %s\n", made.message.c_str());
        return false;
    }
    DbAdoptNames();
    ForgetDiskLoopSizes();
    // The station's rows in one statement: a row-by-row registration of 100 000 files would
    // take minutes.
    const std::string values = "'ABC', i, 60, 20, 1, 'ABC/13/' || i || '.ABC', 'BHZ', 3, "
                               "'DUVODIZEREVE', 1, 1, 512";
    const std::string columns = "INSERT INTO FILELIST (STA, TBEGIN, TQTY, SPS, GAIN, CPATH, CH, "
                                "DATATYPE, CREATER, CALIB, CALPER, FOFF) ";
    if (rows > 0)
    {
        const std::string last = std::to_string(rows - 1);
        DbOutcome filled =
            postgres ? DbExecute(columns + "SELECT " + values + " FROM generate_series(0, " + last +
                                 ") AS i")
                     : DbExecute("WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n "
                                 "WHERE i < " +
                                 last + ") " + columns + "SELECT " + values + " FROM n");
        if (!filled.ok)
        {
            std::fprintf(stderr, "bench_db: cannot fill FILELIST: %s\n", filled.message.c_str());
            return false;
        }
        DbExecute(postgres ? "ANALYZE FILELIST" : "ANALYZE");
    }
    return true;
}

void BM_WriteOfAChunk(benchmark::State& state, bool postgres)
{
    if (!Prepare(postgres, static_cast<int>(state.range(0))))
    {
        state.SkipWithError("no database");
        return;
    }
    double seconds = 60;
    for (auto _ : state)
    {
        PurgeDiskLoop("ABC", 1ull << 40); // nothing to delete
        const std::string update =
            UpdateFileRowStatement("ABC/13/0.ABC", "ABC", 0, seconds += 1, "BHZ");
        DbExecuteAll(std::span<const std::string>(&update, 1));
    }
}

// One commit under a latency bound: the rows of state.range(2) files that grew, brought up to date
// in one transaction by statements of state.range(1) rows each (1: a statement per row).
void BM_RowUpdatesOfACommit(benchmark::State& state, bool postgres)
{
    const auto files = static_cast<int>(state.range(2));
    if (!Prepare(postgres, static_cast<int>(state.range(0))))
    {
        state.SkipWithError("no database");
        return;
    }
    const auto perStatement = static_cast<std::size_t>(state.range(1));
    std::vector<std::string> paths;
    for (int i = 0; i < files; ++i)
        paths.push_back("ABC/13/" + std::to_string(i) + ".ABC");
    double seconds = 60;
    for (auto _ : state)
    {
        seconds += 1;
        std::vector<FileRowValues> rows;
        for (const std::string& path : paths)
            rows.push_back({path, "ABC", "BHZ", 0, seconds});
        std::vector<std::string> statements;
        for (std::size_t first = 0; first < rows.size(); first += perStatement)
        {
            const std::size_t count = std::min(perStatement, rows.size() - first);
            statements.push_back(
                count == 1
                    ? UpdateFileRowStatement(rows[first].relativePath, "ABC", 0, seconds, "BHZ")
                    : UpdateFileRowsStatement(std::span(rows).subspan(first, count)));
        }
        DbExecuteAll(statements);
    }
    state.SetItemsProcessed(state.iterations() * files);
}

void BM_DiskLoopSizeQuery(benchmark::State& state, bool postgres)
{
    if (!Prepare(postgres, static_cast<int>(state.range(0))))
    {
        state.SkipWithError("no database");
        return;
    }
    for (auto _ : state)
        benchmark::DoNotOptimize(DiskLoopSize("ABC"));
}

void BM_RegisterFile(benchmark::State& state, bool postgres)
{
    if (!Prepare(postgres, static_cast<int>(state.range(0))))
    {
        state.SkipWithError("no database");
        return;
    }
    int n = 0;
    for (auto _ : state)
    {
        ++n;
        RegisterFile("ABC/14/" + std::to_string(n) + ".ABC", "ABC", 1e9 + n, 1, 20, 1, 3, "BHN", 1,
                     1);
    }
}

void BM_Probe(benchmark::State& state, bool postgres)
{
    if (!Prepare(postgres, 0))
    {
        state.SkipWithError("no database");
        return;
    }
    for (auto _ : state)
        benchmark::DoNotOptimize(DbIsAlive());
}

BENCHMARK_CAPTURE(BM_WriteOfAChunk, Sqlite, false)->Arg(100)->Arg(10000)->Arg(100000);
BENCHMARK_CAPTURE(BM_WriteOfAChunk, Postgres, true)->Arg(100)->Arg(10000)->Arg(100000);
BENCHMARK_CAPTURE(BM_RowUpdatesOfACommit, Sqlite, false)
    ->ArgsProduct({{10000}, {1, 32, 128, 1024}, {128, 1024}});
BENCHMARK_CAPTURE(BM_RowUpdatesOfACommit, Postgres, true)
    ->ArgsProduct({{10000}, {1, 32, 128, 1024}, {128, 1024}});
BENCHMARK_CAPTURE(BM_DiskLoopSizeQuery, Sqlite, false)->Arg(100)->Arg(10000)->Arg(100000);
BENCHMARK_CAPTURE(BM_DiskLoopSizeQuery, Postgres, true)->Arg(100)->Arg(10000)->Arg(100000);
BENCHMARK_CAPTURE(BM_RegisterFile, Sqlite, false)->Arg(100);
BENCHMARK_CAPTURE(BM_RegisterFile, Postgres, true)->Arg(100);
BENCHMARK_CAPTURE(BM_Probe, Sqlite, false);
BENCHMARK_CAPTURE(BM_Probe, Postgres, true);

} // namespace

BENCHMARK_MAIN();
