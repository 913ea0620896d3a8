#include "support/kdx_database.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>

#include <gtest/gtest.h>
#include <unistd.h>

#include "db/connection.h"
#include "db/db_admin.h"
#include "db/disk_loop.h"
#include "db/schema_names.h"
#include "platform/confined_paths.h"
#include "platform/file_system.h"
#include "platform/text_format.h"

namespace tarvell::test
{
namespace
{

std::string Environment(const char* name, const char* fallback = "")
{
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : fallback;
}

// The name of this process's PostgreSQL test database, made anew by every fixture.
const std::string& ProcessDatabaseName()
{
    static const std::string name = []
    {
        std::random_device random;
        char text[64];
        std::snprintf(text, sizeof text, "tarvell_t%ld_%08x", static_cast<long>(::getpid()),
                      static_cast<unsigned>(random()));
        return std::string(text);
    }();
    return name;
}

std::string AdminConnectString(const PostgresServer& server, std::string_view database)
{
    return "Driver={PostgreSQL Unicode};Servername=" + server.host + ";Port=" + server.port +
           ";Database=" + std::string(database) + ";Username=" + server.user +
           ";Password=" + server.password;
}

std::vector<std::string> PostgresKeys(const PostgresServer& server)
{
    return {"Driver=PostgreSQL Unicode", "Servername=" + server.host, "Port=" + server.port,
            "Database=" + ProcessDatabaseName()};
}

// Runs statements on the server's administration database; a server process may still be
// leaving a dropped database for a moment, so a failure is tried again a few times.
DbOutcome RunOnServer(const PostgresServer& server, const std::vector<std::string>& statements)
{
    DbOutcome outcome;
    for (int attempt = 0; attempt < 20 && !outcome.ok; ++attempt)
    {
        if (attempt > 0)
            SleepMs(50);
        outcome = DbRunOnce(AdminConnectString(server, "postgres"), statements);
    }
    return outcome;
}

// Records a skip of the running test: its body does not run.
void SkipWithoutServer()
{
    GTEST_SKIP() << "no PostgreSQL test server (eval \"$(bash scripts/postgres.sh start)\")";
}

// The process's ODBC folder, removed with everything in it when the process ends.
class COdbcFolder
{
public:
    COdbcFolder()
    {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "tarvell-odbc-XXXXXX").string();
        if (::mkdtemp(pattern.data()) != nullptr)
            m_dir = pattern;
        std::string drivers = ReadFile(TARVELL_SOURCE_DIR "/etc/odbc/odbcinst.ini");
        EXPECT_FALSE(drivers.empty()) << "etc/odbc/odbcinst.ini is missing";
        Write("odbcinst.ini", drivers);
        std::string sources = "[KDX]\nDriver=SQLite3\nJournalMode=WAL\nSyncPragma=NORMAL\n"
                              "Database=" +
                              m_dir + "/kdx.db\n";
        PostgresServer server = TestPostgresServer();
        if (!server.port.empty())
        {
            sources += "\n[KDX_PG]\n";
            for (const std::string& key : PostgresKeys(server))
                sources += key + "\n";
        }
        Write("odbc.ini", sources);
        Write("user-odbc.ini", "");
        ::setenv("ODBCSYSINI", m_dir.c_str(), 1);
        ::setenv("ODBCINI", (m_dir + "/user-odbc.ini").c_str(), 1);
    }
    ~COdbcFolder()
    {
        std::error_code ignored;
        std::filesystem::remove_all(m_dir, ignored);
    }
    const std::string& Dir() const { return m_dir; }
    void Write(const char* name, const std::string& content) const
    {
        std::FILE* out = std::fopen((m_dir + "/" + name).c_str(), "wb");
        if (out == nullptr)
            return;
        std::fwrite(content.data(), 1, content.size(), out);
        std::fclose(out);
    }

private:
    std::string m_dir;
};

COdbcFolder& Folder()
{
    static COdbcFolder folder;
    return folder;
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

const std::string& TestOdbcDir()
{
    return Folder().Dir();
}

void AddTestDataSource(std::string_view name, const std::vector<std::string>& keys, bool user)
{
    const char* file = user ? "user-odbc.ini" : "odbc.ini";
    std::string content = ReadFile(TestOdbcDir() + "/" + file);
    std::string header = "[" + std::string(name) + "]\n";
    if (content.rfind(header, 0) == 0 || content.find("\n" + header) != std::string::npos)
        return;
    content += "\n" + header;
    for (const std::string& key : keys)
        content += key + "\n";
    Folder().Write(file, content);
}

KdxDatabase::KdxDatabase(Backend backend, const Sandbox& box)
    : m_backend(backend), m_server(TestPostgresServer())
{
    if (backend == Backend::Postgres && m_server.port.empty())
    {
        SkipWithoutServer();
        return;
    }
    m_dsn = backend == Backend::Sqlite ? "KDX" : "KDX_PG";
    Make(box);
}

KdxDatabase::KdxDatabase(const Sandbox& box, const PostgresServer& server)
    : m_backend(Backend::Postgres), m_server(server)
{
    m_dsn = "KDX_PG_" + server.port;
    AddTestDataSource(m_dsn, PostgresKeys(server));
    Make(box);
}

KdxDatabase::KdxDatabase(const Sandbox& box, const std::string& sqliteDirectory)
    : m_backend(Backend::Sqlite), m_sqliteFile(sqliteDirectory + "/kdx.db")
{
    static int made = 0;
    m_dsn = "KDX_FILE_" + std::to_string(++made);
    AddTestDataSource(m_dsn, {"Driver=SQLite3", "JournalMode=WAL", "SyncPragma=NORMAL",
                              "Database=" + m_sqliteFile});
    Make(box);
}

void KdxDatabase::Make(const Sandbox& box)
{
    // A fresh database: what the program knew of the last one's disk loops is gone.
    ForgetDiskLoopSizes();
    const std::string& dir = TestOdbcDir();
    ::setenv("ODBCSYSINI", dir.c_str(), 1);
    ::setenv("ODBCINI", (dir + "/user-odbc.ini").c_str(), 1);

    std::string schema;
    if (m_backend == Backend::Sqlite)
    {
        m_database = m_sqliteFile.empty() ? dir + "/kdx.db" : m_sqliteFile;
        m_user = "KDX";
        m_password = "QZT";
        for (const char* suffix : {"", "-journal", "-wal", "-shm"})
            std::remove((m_database + suffix).c_str());
        schema = ReadFile(TARVELL_SOURCE_DIR "/etc/schema/kdx-sqlite.sql");
    }
    else
    {
        m_database = ProcessDatabaseName();
        m_user = m_server.user;
        m_password = m_server.password;
        schema = ReadFile(TARVELL_SOURCE_DIR "/etc/schema/kdx-postgresql.sql");
        DbOutcome created =
            RunOnServer(m_server, {"DROP DATABASE IF EXISTS " + m_database + " WITH (FORCE)",
                                   "CREATE DATABASE " + m_database});
        if (!created.ok)
        {
            ADD_FAILURE() << "cannot create the test database: " << created.message;
            return;
        }
    }
    EXPECT_FALSE(schema.empty()) << "etc/schema script is missing";
    m_made = true;

    g_dsn = m_dsn;
    g_dbUser = m_user;
    g_dbPassword = m_password;
    g_dbDataDir = box.File("data");
    g_waveRoot = g_dbDataDir;
    SetConfinedDirectory(g_waveRoot);
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
    if (!m_made)
        return;
    DbClose();
    if (m_backend == Backend::Postgres)
    {
        DbOutcome dropped =
            RunOnServer(m_server, {"DROP DATABASE IF EXISTS " + m_database + " WITH (FORCE)"});
        EXPECT_TRUE(dropped.ok) << "cannot drop the test database: " << dropped.message;
    }
}

void KdxDatabase::AddSiteChan(std::string_view station, std::string_view channel, double rate) const
{
    std::string value = std::isnan(rate) ? std::string("NULL") : FormatText("%f", rate);
    Execute(FormatText("INSERT INTO SITECHAN (STA, CHAN, SPS) VALUES ('%s', '%s', %s)",
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
