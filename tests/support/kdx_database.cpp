#include "support/kdx_database.h"

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>

#include <gtest/gtest.h>
#include <unistd.h>

#include "db/connection.h"
#include "db/db_admin.h"
#include "db/schema_names.h"
#include "platform/file_system.h"

namespace tarvell::test
{
namespace
{

std::string Environment(const char* name, const char* fallback = "")
{
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : fallback;
}

std::string UniqueDatabaseName()
{
    static std::atomic<int> counter{0};
    std::random_device random;
    char name[96];
    std::snprintf(name, sizeof name, "tarvell_t%ld_%d_%08x", static_cast<long>(::getpid()),
                  counter.fetch_add(1), static_cast<unsigned>(random()));
    return name;
}

std::string AdminConnectString(const PostgresServer& server, std::string_view database)
{
    return "Driver={PostgreSQL Unicode};Servername=" + server.host + ";Port=" + server.port +
           ";Database=" + std::string(database) + ";Username=" + server.user +
           ";Password=" + server.password;
}

// Records a skip of the running test: its body does not run.
void SkipWithoutServer()
{
    GTEST_SKIP() << "no PostgreSQL test server (eval \"$(bash scripts/postgres.sh start)\")";
}

void SetVariable(const char* name, const std::string& value)
{
    ::setenv(name, value.c_str(), 1);
}

} // namespace

std::string BackendName(Backend backend)
{
    return backend == Backend::Sqlite ? "Sqlite" : "Postgres";
}

void PrintTo(Backend backend, std::ostream* out)
{
    *out << BackendName(backend);
}

PostgresServer TestPostgresServer()
{
    PostgresServer server;
    server.host = Environment("TARVELL_PG_HOST", "127.0.0.1");
    server.port = Environment("TARVELL_PG_PORT");
    server.user = Environment("TARVELL_PG_USER", "tarvell");
    server.password = Environment("TARVELL_PG_PASSWORD", "tarvell");
    return server;
}

std::vector<Backend> AllBackends()
{
    return {Backend::Sqlite, Backend::Postgres};
}

bool PostgresConfigured()
{
    return !TestPostgresServer().port.empty();
}

KdxDatabase::KdxDatabase(Backend backend, const Sandbox& box)
    : m_backend(backend), m_server(TestPostgresServer())
{
    if (backend == Backend::Postgres && m_server.port.empty())
    {
        SkipWithoutServer();
        return;
    }
    Make(box);
}

KdxDatabase::KdxDatabase(const Sandbox& box, const PostgresServer& server)
    : m_backend(Backend::Postgres), m_server(server)
{
    Make(box);
}

void KdxDatabase::Make(const Sandbox& box)
{
    const PostgresServer& server = m_server;
    Backend backend = m_backend;

    m_odbcDir = box.File("odbc");
    MakeDirectory(m_odbcDir);
    std::string drivers = ReadFile(TARVELL_SOURCE_DIR "/etc/odbc/odbcinst.ini");
    EXPECT_FALSE(drivers.empty()) << "etc/odbc/odbcinst.ini is missing";
    box.Write("odbc/odbcinst.ini", drivers);
    box.Write("odbc/user-odbc.ini", "");

    std::string dataSource;
    std::string schema;
    if (backend == Backend::Sqlite)
    {
        m_database = box.File("kdx.db");
        m_user = "KDX";
        m_password = "QZT";
        dataSource = "[KDX]\nDriver=SQLite3\nDatabase=" + m_database + "\n";
        schema = ReadFile(TARVELL_SOURCE_DIR "/etc/schema/kdx-sqlite.sql");
    }
    else
    {
        m_database = UniqueDatabaseName();
        m_user = server.user;
        m_password = server.password;
        dataSource = "[KDX]\nDriver=PostgreSQL Unicode\nServername=" + server.host +
                     "\nPort=" + server.port + "\nDatabase=" + m_database + "\n";
        schema = ReadFile(TARVELL_SOURCE_DIR "/etc/schema/kdx-postgresql.sql");
    }
    EXPECT_FALSE(schema.empty()) << "etc/schema script is missing";
    box.Write("odbc/odbc.ini", dataSource);

    // unixODBC reads these variables at every connect (measured: a new ODBCSYSINI or ODBCINI
    // takes effect at the next connect of the same process), so one process can run many
    // fixtures one after another.
    const char* sysIni = std::getenv("ODBCSYSINI");
    m_hadSysIni = sysIni != nullptr;
    m_previousSysIni = sysIni ? sysIni : "";
    const char* ini = std::getenv("ODBCINI");
    m_hadIni = ini != nullptr;
    m_previousIni = ini ? ini : "";
    SetVariable("ODBCSYSINI", m_odbcDir);
    SetVariable("ODBCINI", box.File("odbc/user-odbc.ini"));

    if (backend == Backend::Postgres)
    {
        DbOutcome created =
            DbRunOnce(AdminConnectString(server, "postgres"), {"CREATE DATABASE " + m_database});
        if (!created.ok)
        {
            ADD_FAILURE() << "cannot create the test database: " << created.message;
            return;
        }
    }

    g_dsn = kDsn;
    g_dbUser = m_user;
    g_dbPassword = m_password;
    g_dbDataDir = box.File("data");
    g_waveRoot = g_dbDataDir;
    MakeDirectory(g_waveRoot);
    if (!DbConnect(false))
    {
        ADD_FAILURE() << "cannot connect to the test database " << m_database;
        return;
    }
    DbOutcome made = DbRunScript(SplitSqlScript(schema));
    if (!made.ok)
    {
        ADD_FAILURE() << "cannot make the KDX tables: " << made.message;
        return;
    }
    DbAdoptNames();
    m_connected = true;
}

KdxDatabase::~KdxDatabase()
{
    if (m_odbcDir.empty())
        return; // skipped
    DbClose();
    if (m_backend == Backend::Postgres)
    {
        // A server process may still be leaving the database for a moment.
        DbOutcome dropped;
        for (int attempt = 0; attempt < 20 && !dropped.ok; ++attempt)
        {
            if (attempt > 0)
                SleepMs(50);
            dropped = DbRunOnce(AdminConnectString(m_server, "postgres"),
                                {"DROP DATABASE IF EXISTS " + m_database + " WITH (FORCE)"});
        }
        EXPECT_TRUE(dropped.ok) << "cannot drop the test database: " << dropped.message;
    }
    if (m_hadSysIni)
        SetVariable("ODBCSYSINI", m_previousSysIni);
    else
        ::unsetenv("ODBCSYSINI");
    if (m_hadIni)
        SetVariable("ODBCINI", m_previousIni);
    else
        ::unsetenv("ODBCINI");
}

void KdxDatabase::AddSiteChan(std::string_view station, std::string_view channel, double rate) const
{
    std::string value = std::isnan(rate) ? std::string("NULL") : SqlFormat("%f", rate);
    Execute(SqlFormat("INSERT INTO SITECHAN (STA, CHAN, SPS) VALUES ('%s', '%s', %s)",
                      SqlText(station).c_str(), SqlText(channel).c_str(), value.c_str()));
}

void KdxDatabase::Execute(std::string_view sql) const
{
    DbOutcome outcome = DbExecute(sql);
    EXPECT_TRUE(outcome.ok) << sql << ": " << outcome.message;
}

DbOutcome KdxDatabase::Query(std::string_view sql, std::initializer_list<DbType> columns) const
{
    return DbQuery(sql, columns);
}

long long KdxDatabase::Count(std::string_view whereClause) const
{
    std::string sql = "SELECT COUNT(*) FROM FILELIST";
    if (!whereClause.empty())
        sql += " WHERE " + std::string(whereClause);
    DbOutcome outcome = DbQuery(sql, {DbType::Double});
    EXPECT_TRUE(outcome.ok) << sql << ": " << outcome.message;
    if (!outcome.ok || outcome.rows.empty())
        return -1;
    return static_cast<long long>(outcome.rows.front().front().number);
}

std::string KdxDatabase::ConnectString() const
{
    if (m_backend == Backend::Sqlite)
        return "Driver=SQLite3;Database=" + m_database;
    return AdminConnectString(m_server, m_database);
}

} // namespace tarvell::test
