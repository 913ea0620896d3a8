#pragma once
// A fresh, real KDX database for one test, on SQLite or on the test PostgreSQL server, with
// the program's shared connection connected to it. Main test thread only (construct and
// destroy it while no other thread uses the database).

#include <initializer_list>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "db/db_access.h"
#include "support/sandbox.h"

namespace tarvell::test
{

enum class Backend
{
    Sqlite,
    Postgres,
};

// "Sqlite" or "Postgres", for parameterised test names.
std::string BackendName(Backend backend);
void PrintTo(Backend backend, std::ostream* out);

// Both backends, always. The test lists are made when a test binary is built, but whether a
// PostgreSQL test server is configured (TARVELL_PG_PORT, set by
// eval "$(bash scripts/postgres.sh start)") is known only when the tests run: a fixture
// asked for PostgreSQL without a server skips its test then, so a run without the server
// shows its PostgreSQL cases as skipped instead of silently leaving them out.
std::vector<Backend> AllBackends();

// True when a PostgreSQL test server is configured for this run.
bool PostgresConfigured();

// Names the cases of a suite by backend:
// INSTANTIATE_TEST_SUITE_P(Backends, MyTest, ::testing::ValuesIn(AllBackends()),
//                          BackendParamName());
struct BackendParamName
{
    template <typename ParamInfo> std::string operator()(const ParamInfo& info) const
    {
        return BackendName(info.param);
    }
};

// The test PostgreSQL server from the environment (TARVELL_PG_HOST, _PORT, _USER,
// _PASSWORD); port empty when none is configured.
struct PostgresServer
{
    std::string host = "127.0.0.1";
    std::string port;
    std::string user = "tarvell";
    std::string password = "tarvell";
};
PostgresServer TestPostgresServer();

class KdxDatabase
{
public:
    // The data source every fixture defines.
    static constexpr const char* kDsn = "KDX";

    // Writes odbcinst.ini and odbc.ini (system data source "KDX") into box/odbc and points
    // ODBCSYSINI and ODBCINI (an empty file of user data sources, box/odbc/user-odbc.ini) at
    // them; makes a fresh database (SQLite: box/kdx.db; PostgreSQL: a new uniquely named
    // database on the test server) with every table of etc/schema; sets g_dsn, g_dbUser,
    // g_dbPassword, g_dbDataDir and g_waveRoot (box/data, made), connects the shared
    // connection (DbConnect) and adopts the names (g_dbNames). Without a PostgreSQL test
    // server, a PostgreSQL fixture skips the running test (GTEST_SKIP) and stays unconnected:
    // make it a member of the test fixture, so the skip comes before the test body (a fixture
    // made inside a test body must be followed by `if (IsSkipped()) return;`).
    KdxDatabase(Backend backend, const Sandbox& box);

    // A PostgreSQL database on the given server instead of the configured test server (for
    // example a private server that a test stops and starts).
    KdxDatabase(const Sandbox& box, const PostgresServer& server);

    // Closes the shared connection, drops a PostgreSQL database, restores the ODBC variables.
    ~KdxDatabase();

    KdxDatabase(const KdxDatabase&) = delete;
    KdxDatabase& operator=(const KdxDatabase&) = delete;

    bool Connected() const { return m_connected; }
    const std::string& Dsn() const { return m_dsn; }
    Backend GetBackend() const { return m_backend; }
    // The folder of odbcinst.ini/odbc.ini (ODBCSYSINI).
    const std::string& OdbcDir() const { return m_odbcDir; }
    // The SQLite file, or the PostgreSQL database's name.
    const std::string& DatabaseName() const { return m_database; }
    // The user and password the database accepts.
    const std::string& User() const { return m_user; }
    const std::string& Password() const { return m_password; }

    // Adds a SITECHAN row; a NaN rate stores a null rate.
    void AddSiteChan(std::string_view station, std::string_view channel, double rate) const;

    // Runs a statement on the shared connection (DbExecute); fails the test when it fails.
    void Execute(std::string_view sql) const;

    // A query on the shared connection (DbQuery).
    DbOutcome Query(std::string_view sql, std::initializer_list<DbType> columns) const;

    // The number of FILELIST rows, all or those matching whereClause ("STA='ABC'").
    long long Count(std::string_view whereClause = "") const;

    // A connection string that reaches this database without a data source (SQLDriverConnect).
    std::string ConnectString() const;

private:
    void Make(const Sandbox& box);

    Backend m_backend;
    PostgresServer m_server;
    std::string m_dsn = kDsn;
    std::string m_odbcDir;
    std::string m_database;
    std::string m_user;
    std::string m_password;
    std::string m_previousSysIni;
    std::string m_previousIni;
    bool m_hadSysIni = false;
    bool m_hadIni = false;
    bool m_connected = false;
};

} // namespace tarvell::test
