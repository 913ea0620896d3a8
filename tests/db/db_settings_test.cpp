#include "db/db_settings.h"

#include <cctype>
#include <cstdlib>

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "db/connection.h"
#include "db/schema_names.h"
#include "platform/program_paths.h"
#include "db_test_base.h"

namespace tarvell
{
namespace
{

using test::Backend;
using test::DbTest;

const char kConnectCaption[] = "Ошибка при подключении к базе данных";
const char kConnectFirstLine[] = "При попытке подключения к базе данных произошла ошибка:\r\n";

// The settings search starts from nothing: no connection, empty settings, the program INI
// and KDX.ini in the sandbox (absent until a test writes them).
class DbSettingsTest : public DbTest
{
protected:
    void SetUp() override
    {
        DbClose();
        g_dsn.clear();
        g_dbUser.clear();
        g_dbPassword.clear();
        g_dbDataDir.clear();
        g_iniPath = m_box.File("tarvell.ini");
        ::setenv("KDX_INI", m_box.File("KDX.ini").c_str(), 1);
    }
    void TearDown() override
    {
        g_iniPath.clear();
        ::unsetenv("KDX_INI");
    }

    // A login the backend accepts, as INI lines.
    // The fixture's data source and a login it accepts, as INI lines.
    std::string Login() const
    {
        return "[DATABASE]\nODBC=" + m_db.Dsn() + "\nUSER=" + m_db.User() +
               "\nPASSWORD=" + m_db.Password() + "\n";
    }

    bool Search(const std::vector<std::string>& arguments)
    {
        CDbSettings settings(arguments);
        return settings.LoadAndConnect();
    }

    void ExpectOneConnectErrorBox() const
    {
        auto messages = m_view.Messages();
        ASSERT_EQ(messages.size(), 1u);
        EXPECT_EQ(messages[0].caption, kConnectCaption);
        EXPECT_EQ(messages[0].text.rfind(kConnectFirstLine, 0), 0u) << messages[0].text;
        EXPECT_GT(messages[0].text.size(), std::string(kConnectFirstLine).size());
        EXPECT_EQ(messages[0].icon, MessageIcon::Error);
        EXPECT_TRUE(messages[0].callerWaits);
    }
};

TEST_P(DbSettingsTest, PathsComeFromTheProgramIniAndKdxIniVariable)
{
    CDbSettings settings(std::vector<std::string>{});
    EXPECT_EQ(settings.programIniPath, m_box.File("tarvell.ini"));
    EXPECT_EQ(settings.kdxIniPath, m_box.File("KDX.ini"));
    EXPECT_EQ(settings.commandTail, "");
    ::unsetenv("KDX_INI");
    g_iniPath.clear();
    CDbSettings defaults(std::vector<std::string>{});
    EXPECT_EQ(defaults.kdxIniPath, "/etc/KDX.ini");
    EXPECT_EQ(defaults.programIniPath, IniPathForExecutable(ExecutablePath()));
}

TEST_P(DbSettingsTest, TheCommandLineTailStartsAtTheFirstOdbcInAnyCase)
{
    CDbSettings settings(
        {"--ini", "/x/My.ini", "--headless", "xodbc=kdx", "user=op", "DATA=/Srv/Data"});
    EXPECT_EQ(settings.commandTail, "ODBC=KDX USER=OP DATA=/SRV/DATA");
}

TEST_P(DbSettingsTest, ALowerCaseCommandLineIsTakenUpperCase)
{
    // odbc=<the fixture's data source> user=kdx: that data source as user KDX (a role of the
    // test server); password and data directory stay as they were.
    std::string dsn = m_db.Dsn();
    for (char& c : dsn)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    g_dbPassword = "QZT";
    EXPECT_TRUE(Search({"odbc=" + dsn, "user=kdx"}));
    EXPECT_EQ(g_dsn, m_db.Dsn());
    EXPECT_EQ(g_dbUser, "KDX");
    EXPECT_EQ(g_dbPassword, "QZT");
    EXPECT_EQ(g_dbDataDir, "");
    EXPECT_TRUE(DbIsAlive());

    DbClose();
    g_dbPassword.clear();
    std::size_t before = m_view.Messages().size();
    EXPECT_FALSE(Search({"odbc=base", "user=op"}));
    EXPECT_EQ(g_dsn, "BASE");
    EXPECT_EQ(g_dbUser, "OP");
    EXPECT_EQ(g_dbPassword, "");
    auto messages = m_view.Messages();
    ASSERT_EQ(messages.size(), before + 1);
    EXPECT_EQ(messages.back().caption, kConnectCaption);
}

TEST_P(DbSettingsTest, KeysMustComeInOrderAndTheValueStartsAfterTheFirstEquals)
{
    m_box.Write("tarvell.ini", Login()); // never read after a failed command line
    EXPECT_FALSE(Search({"ODBC=A", "DATA=C:\\X"}));
    EXPECT_EQ(g_dsn, "A");
    EXPECT_EQ(g_dbDataDir, "");

    EXPECT_FALSE(Search({"ODBC=A=B"}));
    EXPECT_EQ(g_dsn, "A=B");

    EXPECT_FALSE(Search({"ODBC=A", "PASSWORD=P", "USER=U"}));
    EXPECT_EQ(g_dbUser, "");
    EXPECT_EQ(g_dbPassword, "");
}

TEST_P(DbSettingsTest, AllFourKeysAndTheDataDirectoryKeepsItsCase)
{
    // The password is upper-cased like every command-line value.
    Search({"ODBC=kdx", "USER=kdx", "PASSWORD=qzt", "DATA=/Srv/Kdx Data", "more"});
    EXPECT_EQ(g_dsn, "KDX");
    EXPECT_EQ(g_dbUser, "KDX");
    EXPECT_EQ(g_dbPassword, "QZT");
    EXPECT_EQ(g_dbDataDir, "/Srv/Kdx Data");
}

TEST_P(DbSettingsTest, AFailedCommandLineReadsNeitherIniAndKeepsItsValues)
{
    m_box.Write("tarvell.ini", Login() + "[DATA]\nDIR=/program\n");
    m_box.Write("KDX.ini", Login() + "[DATA]\nDIR=/kdx\n");
    EXPECT_FALSE(Search({"ODBC=NOSUCH", "USER=op", "PASSWORD=pw"}));
    EXPECT_EQ(g_dsn, "NOSUCH");
    EXPECT_EQ(g_dbUser, "OP"); // what the connection dialog then shows
    EXPECT_EQ(g_dbPassword, "PW");
    EXPECT_EQ(g_dbDataDir, "");
    ExpectOneConnectErrorBox();
}

TEST_P(DbSettingsTest, TheProgramIniComesBeforeKdxIni)
{
    m_box.Write("tarvell.ini", Login() + "[DATA]\nDIR=/program\n");
    m_box.Write("KDX.ini", "[DATABASE]\nODBC=NOSUCH\n[DATA]\nDIR=/kdx\n");
    EXPECT_TRUE(Search({}));
    EXPECT_EQ(g_dsn, m_db.Dsn());
    EXPECT_EQ(g_dbUser, m_db.User());
    EXPECT_EQ(g_dbPassword, m_db.Password()); // INI values keep their case
    EXPECT_EQ(g_dbDataDir, "/program");
    EXPECT_TRUE(m_view.Messages().empty());
}

TEST_P(DbSettingsTest, AFailedProgramIniEndsTheSearchWithKdxInisDataDirectory)
{
    m_box.Write("tarvell.ini", "[DATABASE]\nODBC=NOSUCH\nUSER=op\n[DATA]\nDIR=/program\n");
    m_box.Write("KDX.ini", Login() + "[DATA]\nDIR=/kdx\n");
    EXPECT_FALSE(Search({}));
    EXPECT_EQ(g_dsn, "NOSUCH");
    EXPECT_EQ(g_dbUser, "op");
    EXPECT_EQ(g_dbDataDir, "/kdx");
    ExpectOneConnectErrorBox();
}

TEST_P(DbSettingsTest, AnEmptyOdbcInTheProgramIniPassesOnToKdxIni)
{
    m_box.Write("tarvell.ini", "[DATABASE]\nODBC=\nUSER=op\n[DATA]\nDIR=/program\n");
    m_box.Write("KDX.ini", Login() + "[DATA]\nDIR=/kdx\n");
    EXPECT_TRUE(Search({}));
    EXPECT_EQ(g_dbUser, m_db.User());
    EXPECT_EQ(g_dbDataDir, "/kdx");
    EXPECT_TRUE(m_view.Messages().empty()); // no connect was tried with the empty source
}

TEST_P(DbSettingsTest, AFailingKdxIniEndsTheSearchWithoutTheDefaults)
{
    m_box.Write("KDX.ini", "[DATABASE]\nODBC=NOSUCH\nUSER=op\nPASSWORD=pw\n[DATA]\nDIR=/kdx\n");
    EXPECT_FALSE(Search({}));
    EXPECT_EQ(g_dsn, "NOSUCH");
    EXPECT_EQ(g_dbDataDir, "/kdx");
    ExpectOneConnectErrorBox();
}

TEST_P(DbSettingsTest, WithoutAnySourceTheBuiltInDefaultsConnect)
{
    // The built-in data source KDX is the SQLite one of the tests, whatever the backend.
    EXPECT_TRUE(Search({}));
    EXPECT_EQ(g_dsn, "KDX");
    EXPECT_EQ(g_dbUser, "KDX");
    EXPECT_EQ(g_dbPassword, "QZT");
    EXPECT_EQ(g_dbDataDir, "/var/lib/kdx/data");
    EXPECT_TRUE(DbIsAlive());
}

TEST_P(DbSettingsTest, KdxIniWithAnEmptyOdbcGivesAllFourDefaults)
{
    m_box.Write("tarvell.ini", "[DATABASE]\nODBC=\n");
    m_box.Write("KDX.ini", "[DATABASE]\nODBC=\nUSER=op\n[DATA]\nDIR=/kdx\n");
    EXPECT_TRUE(Search({}));
    EXPECT_EQ(g_dsn, "KDX");
    EXPECT_EQ(g_dbUser, "KDX");
    EXPECT_EQ(g_dbDataDir, "/var/lib/kdx/data");
}

TEST_P(DbSettingsTest, AWrongPasswordIsRefusedWithTheDriversMessage)
{
    if (!IsPostgres())
        GTEST_SKIP() << "SQLite has no passwords";
    g_dsn = m_db.Dsn();
    g_dbUser = "tarvell_pw";
    g_dbPassword = "wrong";
    EXPECT_FALSE(DbConnect(false));
    ExpectOneConnectErrorBox();
    EXPECT_NE(m_view.Messages()[0].text.find("tarvell_pw"), std::string::npos);
    EXPECT_FALSE(DbIsAlive());
    g_dbPassword = "right";
    EXPECT_TRUE(DbConnect(false));
}

TEST_P(DbSettingsTest, ThePasswordComesFromItsFileOrTheCredentialNeverFromAnOpenFile)
{
    // The role that must give its password ("right") on PostgreSQL; SQLite takes any.
    const std::string user = IsPostgres() ? "tarvell_pw" : m_db.User();
    const auto secret = [&](const std::string& name, mode_t mode)
    {
        const std::string path = m_box.Write(name, "right\nsecond line\n");
        EXPECT_EQ(::chmod(path.c_str(), mode), 0);
        return path;
    };
    const std::string credentials = m_box.File("credentials");
    ASSERT_EQ(::mkdir(credentials.c_str(), 0700), 0);
    struct Case
    {
        std::string passwordFile; // [DATABASE] PASSWORD_FILE
        bool credential;          // the service manager hands db-password over
        bool connects;
        std::string logged;
    };
    for (const Case& c : {Case{secret("pw", 0600), false, true, ""},
                          Case{secret("pw-group", 0640), false, true, ""}, Case{"", true, true, ""},
                          Case{secret("pw-open", 0644), true, false, "has mode 0644"},
                          Case{m_box.File("missing"), false, false, "missing cannot be read"}})
    {
        SCOPED_TRACE(c.passwordFile + (c.credential ? " and the credential" : ""));
        m_box.Write("tarvell.ini", "[DATABASE]\nODBC=" + m_db.Dsn() + "\nUSER=" + user +
                                       "\nPASSWORD=wrong\nPASSWORD_FILE=" + c.passwordFile + "\n");
        if (c.credential)
        {
            // As the service manager hands it over: the service's to read, nobody else's.
            ASSERT_EQ(::chmod(m_box.Write("credentials/db-password", "right").c_str(), 0400), 0);
            ::setenv("CREDENTIALS_DIRECTORY", credentials.c_str(), 1);
        }
        DbClose();
        EXPECT_EQ(Search({}), c.connects) << EventLog();
        ::unsetenv("CREDENTIALS_DIRECTORY");
        if (c.connects)
        {
            EXPECT_EQ(g_dbPassword, "right");
        }
        if (!c.logged.empty())
        {
            EXPECT_NE(EventLog().find(c.logged), std::string::npos) << EventLog();
        }
    }
    // A password that could not be read was never tried: no connection error.
    EXPECT_TRUE(m_view.Messages().empty());

    // On the command line it is taken, and the operator hears how to avoid it.
    DbClose();
    Search({"ODBC=" + m_db.Dsn(), "USER=" + m_db.User(), "PASSWORD=" + m_db.Password()});
    EXPECT_NE(EventLog().find("The database password was given on the command line, where "
                              "other users of this machine can read it"),
              std::string::npos);
}

TEST_P(DbSettingsTest, DataSourcesListSystemOnesFirst)
{
    test::AddTestDataSource("MINE", {"Driver=SQLite3", "Database=/nowhere/mine.db"}, true);
    CDbSettings settings(std::vector<std::string>{});
    settings.ListDataSources();
    ASSERT_GE(settings.dataSources.size(), 2u);
    EXPECT_EQ(settings.dataSources.front().name, "KDX");
    EXPECT_EQ(settings.dataSources.front().kind, 1);
    EXPECT_EQ(settings.dataSources.back().name, "MINE");
    EXPECT_EQ(settings.dataSources.back().kind, 0);
    for (std::size_t i = 0; i + 1 < settings.dataSources.size(); ++i)
        EXPECT_EQ(settings.dataSources[i].kind, 1) << settings.dataSources[i].name;
}

TEST_P(DbSettingsTest, TheReportBoxListsTheTablesAfterTheirCount)
{
    g_dsn = m_db.Dsn();
    g_dbUser = m_db.User();
    g_dbPassword = m_db.Password();
    ASSERT_TRUE(DbConnect(true));
    auto messages = m_view.Messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].caption, "Подключение к источнику данных!");
    EXPECT_EQ(messages[0].icon, MessageIcon::Information);
    std::string head = "Успешное подключение к DSN: " + m_db.Dsn() +
                       "\t\r\nПользователь: " + m_db.User() +
                       "\r\n\r\nКоличество таблиц: 17\r\n"; // 14 of KDX, 3 of the fleet
    EXPECT_EQ(messages[0].text.substr(0, head.size()), head);
    EXPECT_NE(messages[0].text.find(IsPostgres() ? "\tfilelist\r\n" : "\tFILELIST\r\n"),
              std::string::npos);
}

// The dialog of the test: the operator picks the working data source and login.
bool g_dialogShown = false;
const test::KdxDatabase* g_dialogDatabase = nullptr;
bool FixingDialog()
{
    g_dialogShown = true;
    g_dsn = g_dialogDatabase->Dsn();
    g_dbUser = g_dialogDatabase->User();
    g_dbPassword = g_dialogDatabase->Password();
    return DbConnect(false);
}

TEST_P(DbSettingsTest, DbOpenConnectsLogsTheDataRootAndAdoptsTheNames)
{
    m_box.Write("tarvell.ini", Login() + "[DATA]\nDIR=/srv/kdx\n");
    g_dbNames = CSchemaNames();
    CDbSettings settings(std::vector<std::string>{});
    ASSERT_TRUE(DbOpen(settings));
    EXPECT_EQ(g_waveRoot, "/srv/kdx");
    std::string log = EventLog();
    EXPECT_NE(log.find("#[TARVELL] Connected to database. ODBC: " + m_db.Dsn() +
                       "  USER: " + m_db.User() + "#"),
              std::string::npos);
    EXPECT_NE(log.find("#[TARVELL] Catalog with data: /srv/kdx#"), std::string::npos);
    EXPECT_STREQ(g_dbNames.Table(SchemaTable::FileList), IsPostgres() ? "filelist" : "FILELIST");
}

TEST_P(DbSettingsTest, DbOpenWithoutWorkingSettingsTriesTheDialog)
{
    m_box.Write("KDX.ini", "[DATABASE]\nODBC=NOSUCH\n");
    CDbSettings failing(std::vector<std::string>{});
    EXPECT_FALSE(DbOpen(failing)); // headless: no dialog to show
    auto messages = m_view.Messages();
    ASSERT_EQ(messages.size(), 2u);
    // The driver's message in the box the system fixes, then what failed in plain words.
    EXPECT_EQ(messages[0].caption, "Ошибка при подключении к базе данных");
    EXPECT_EQ(messages[1].caption, "");
    EXPECT_EQ(messages[1].text.rfind("The KDX database cannot be opened: connecting to the ODBC "
                                     "data source 'NOSUCH' as user '' failed: ",
                                     0),
              0u)
        << messages[1].text;
    EXPECT_NE(messages[1].text.find("The data sources are read through "), std::string::npos);
    EXPECT_EQ(messages[1].icon, MessageIcon::Error);

    SetConnectDialogHook(&FixingDialog);
    g_dialogShown = false;
    g_dialogDatabase = &m_db;
    CDbSettings again(std::vector<std::string>{});
    EXPECT_TRUE(DbOpen(again));
    SetConnectDialogHook(nullptr);
    EXPECT_TRUE(g_dialogShown);
    EXPECT_TRUE(DbIsAlive());
}

TEST_P(DbSettingsTest, TheProbeMakesARoundTripAndTheReconnectRestoresTheConnection)
{
    EXPECT_FALSE(DbIsAlive()); // never connected
    g_dsn = m_db.Dsn();
    g_dbUser = m_db.User();
    g_dbPassword = m_db.Password();
    DbEnsureConnected();
    EXPECT_TRUE(DbIsAlive());
    DbDisconnect();
    EXPECT_FALSE(DbIsAlive());
    DbEnsureConnected();
    EXPECT_TRUE(DbIsAlive());
    EXPECT_TRUE(m_view.Messages().empty());
}

INSTANTIATE_TEST_SUITE_P(Backends, DbSettingsTest, ::testing::ValuesIn(test::AllBackends()),
                         test::BackendParamName());

} // namespace
} // namespace tarvell
