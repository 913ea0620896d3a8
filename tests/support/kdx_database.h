#pragma once
// A fresh, real KDX database for one test, on SQLite or on the test PostgreSQL server, with
// the program's shared connection connected to it. Main test thread only (construct and
// destroy it while no other thread uses the database).
//
// unixODBC reads ODBCSYSINI and ODBCINI once per process and keeps what it has read of the
// data source files for a while (measured with unixODBC 2.3.11: a second folder named later
// by ODBCSYSINI is never read, and a data source read once keeps its old driver for many
// seconds after its file changed). So the data sources live in one folder per test process,
// written once: "KDX" is a SQLite file in it, "KDX_PG" a database on the test server; every
// fixture empties its database anew under the same name. Sections may be added to the files
// (a new name is read when first used); existing ones are never changed.

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

// The process's ODBC folder (made on first use; ODBCSYSINI and ODBCINI point into it):
// odbcinst.ini, odbc.ini (system data sources) and user-odbc.ini (user data sources).
const std::string& TestOdbcDir();

// Adds a data source section to the folder's odbc.ini, or, with user, to user-odbc.ini;
// keys are "Key=value" lines. A section that exists already is left as it is.
void AddTestDataSource(std::string_view name, const std::vector<std::string>& keys,
                       bool user = false);

class KdxDatabase
{
public:
    // Makes the process's ODBC folder if needed, then a fresh database: SQLite "KDX" (the
    // data source of TARVELL's built-in defaults), or PostgreSQL "KDX_PG" on the test server
    // (its database made anew); every table of etc/schema. Sets g_dsn, g_dbUser,
    // g_dbPassword, g_dbDataDir and g_waveRoot (box/data, made), connects the shared
    // connection (DbConnect) and adopts the names (g_dbNames). Without a PostgreSQL test
    // server, a PostgreSQL fixture skips the running test (GTEST_SKIP) and stays unconnected:
    // make it a member of the test fixture, so the skip comes before the test body (a fixture
    // made inside a test body must be followed by `if (IsSkipped()) return;`).
    KdxDatabase(Backend backend, const Sandbox& box);

    // A PostgreSQL database on the given server instead of the configured test server (for
    // example a private server that a test stops and starts); its data source is
    // "KDX_PG_<port>".
    KdxDatabase(const Sandbox& box, const PostgresServer& server);

    // A SQLite database in the file kdx.db of directory (a file system of the test's own),
    // under a data source of its own.
    KdxDatabase(const Sandbox& box, const std::string& sqliteDirectory);

    // Closes the shared connection and drops a PostgreSQL database.
    ~KdxDatabase();

    KdxDatabase(const KdxDatabase&) = delete;
    KdxDatabase& operator=(const KdxDatabase&) = delete;

    bool Connected() const { return m_connected; }
    const std::string& Dsn() const { return m_dsn; }
    Backend GetBackend() const { return m_backend; }
    // The folder of odbcinst.ini/odbc.ini (ODBCSYSINI).
    const std::string& OdbcDir() const { return TestOdbcDir(); }
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
    std::string m_dsn;
    std::string m_database;
    std::string m_sqliteFile; // given by the test; empty: the process's ODBC folder
    std::string m_user;
    std::string m_password;
    bool m_made = false;
    bool m_connected = false;
};

} // namespace tarvell::test
