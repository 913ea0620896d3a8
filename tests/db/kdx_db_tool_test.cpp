// The kdx-db tool: the two commands that set up a working archive database.

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "db/connection.h"
#include "db/db_access.h"
#include "db/db_admin.h"
#include "platform/ini_profile.h"
#include "support/kdx_database.h"
#include "support/sandbox.h"

namespace tarvell
{
namespace
{

using test::Backend;
using test::Sandbox;

struct ToolRun
{
    int status = -1;
    std::string out;
};

ToolRun RunTool(const std::string& arguments)
{
    ToolRun run;
    std::string command = std::string(KDX_DB_TOOL) + " " + arguments + " 2>/dev/null";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr)
        return run;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr)
        run.out += buffer;
    int status = ::pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

class KdxDbToolTest : public ::testing::TestWithParam<Backend>
{
protected:
    void SetUp() override
    {
        if (GetParam() == Backend::Postgres && !test::PostgresConfigured())
            GTEST_SKIP() << "no PostgreSQL test server configured";
        test::PostgresServer server = test::TestPostgresServer();
        m_database = "tarvell_tool_" + std::to_string(::getpid());
        m_server = "--postgres --host " + server.host + " --port " + server.port + " --user " +
                   server.user + " --password " + server.password + " --database " + m_database;
        m_login = " --user " + server.user + " --password " + server.password;
    }
    void TearDown() override
    {
        DbClose();
        if (GetParam() == Backend::Postgres && test::PostgresConfigured())
        {
            test::PostgresServer server = test::TestPostgresServer();
            DbRunOnce("Driver={PostgreSQL Unicode};Servername=" + server.host +
                          ";Port=" + server.port + ";Database=postgres;Username=" + server.user +
                          ";Password=" + server.password,
                      {"DROP DATABASE IF EXISTS " + m_database + " WITH (FORCE)"});
        }
    }
    std::string Options() const
    {
        return "--dir " + m_box.Path() + " " + (GetParam() == Backend::Postgres ? m_server : "");
    }
    std::string Login() const { return GetParam() == Backend::Postgres ? m_login : ""; }

    Sandbox m_box;
    std::string m_database;
    std::string m_server;
    std::string m_login;
};

TEST_P(KdxDbToolTest, TwoCommandsMakeADatabaseWithItsSampleRates)
{
    ToolRun created = RunTool("create " + Options());
    ASSERT_EQ(created.status, 0);
    EXPECT_EQ(created.out, "export ODBCSYSINI=" + m_box.Path() +
                               "/odbc\nexport ODBCINI=" + m_box.Path() + "/odbc/odbc.ini\n");
    EXPECT_EQ(RunTool("create " + Options()).status, 0); // again: nothing lost, nothing doubled

    ToolRun rates = RunTool("sitechan --dir " + m_box.Path() + Login() +
                            " abc bhz 20 ABC BHN 40 ABC BHE -1 ABC BHZ 100 ABCDEFGHI BHZ 20"
                            " ABC B/Z 20");
    // The negative rate and the names TARVELL could never acquire are refused, the others
    // entered.
    EXPECT_EQ(rates.status, 1);
    EXPECT_EQ(rates.out, "ABC BHZ 20\nABC BHN 40\nABC BHZ 100\n");
    EXPECT_EQ(RunTool("sitechan --dir " + m_box.Path() + " ABC BHZ").status, 2);

    // The data source the tool wrote (sitechan above reached the database through it).
    std::string sources = m_box.Path() + "/odbc/odbc.ini";
    std::string database = ReadProfileString(sources, "KDX", "Database", "", 1024);
    EXPECT_EQ(database, GetParam() == Backend::Postgres ? m_database : m_box.Path() + "/kdx.db");
    EXPECT_EQ(ReadProfileString(sources, "KDX", "Driver", "", 64),
              GetParam() == Backend::Postgres ? "PostgreSQL Unicode" : "SQLite3");
    EXPECT_NE(ReadProfileString(m_box.Path() + "/odbc/odbcinst.ini", "SQLite3", "Driver", "", 256),
              "");
    // The service's user reads them too: they hold no password.
    EXPECT_EQ(std::filesystem::status(sources).permissions(), std::filesystem::perms(0644));

    // A station without rows has no window to report.
    ToolRun none = RunTool("availability --dir " + m_box.Path() + Login() + " --station NOPE");
    EXPECT_EQ(none.status, 0);
    EXPECT_EQ(none.out, "no FILELIST rows of the channels asked for\n");

    // Its rows, through a data source of this process that names the same database.
    static int made = 0;
    std::string dsn = "KDXTOOL" + std::to_string(++made);
    test::PostgresServer server = test::TestPostgresServer();
    if (GetParam() == Backend::Postgres)
        test::AddTestDataSource(dsn, {"Driver=PostgreSQL Unicode", "Servername=" + server.host,
                                      "Port=" + server.port, "Database=" + m_database});
    else
        test::AddTestDataSource(dsn, {"Driver=SQLite3", "Database=" + database});
    g_dsn = dsn;
    g_dbUser = GetParam() == Backend::Postgres ? server.user : "KDX";
    g_dbPassword = GetParam() == Backend::Postgres ? server.password : "QZT";
    ASSERT_TRUE(DbConnect(false));
    DbOutcome rows = DbQuery("SELECT STA, CHAN, SPS FROM SITECHAN ORDER BY CHAN",
                             {DbType::Text, DbType::Text, DbType::Double});
    ASSERT_TRUE(rows.ok) << rows.message;
    ASSERT_EQ(rows.rows.size(), 2u);
    EXPECT_EQ(rows.rows[0][1].text, "BHN");
    EXPECT_EQ(rows.rows[0][2].number, 40);
    EXPECT_EQ(rows.rows[1][1].text, "BHZ");
    EXPECT_EQ(rows.rows[1][2].number, 100);
    EXPECT_TRUE(DbQuery("SELECT COUNT(*) FROM FILELIST", {DbType::Double}).ok);
    EXPECT_TRUE(std::filesystem::is_directory(m_box.Path() + "/data"));
}

INSTANTIATE_TEST_SUITE_P(Backends, KdxDbToolTest, ::testing::ValuesIn(test::AllBackends()),
                         test::BackendParamName());

} // namespace
} // namespace tarvell
