#include "db/connection.h"

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <unistd.h>

#include "db/db_access.h"
#include "db/db_admin.h"
#include "db/db_health.h"
#include "db/disk_loop.h"
#include "db/file_registry.h"
#include "db_test_base.h"
#include "support/private_postgres.h"

namespace tarvell
{
namespace
{

using test::DbTest;
using test::KdxDatabase;
using test::LoggingFrame;
using test::PostgresServer;
using test::Sandbox;

bool Register(int n, const char* channel = "BHZ")
{
    std::string path = "ABC/13/" + std::to_string(n) + "-" + channel + ".ABC";
    return RegisterFile(path, "ABC", n, 1, 20, 1, 3, channel, 1, 1);
}

// Ends the server side of the shared connection, as a server shutdown or an administrator
// would: the client learns of it only at its next statement.
void TerminateOurBackend(const KdxDatabase& db)
{
    DbOutcome pid = DbQuery("SELECT pg_backend_pid()", {DbType::Int32});
    ASSERT_TRUE(pid.ok) << pid.message;
    DbOutcome killed =
        DbRunOnce(db.ConnectString(), {"SELECT pg_terminate_backend(" +
                                       std::to_string(pid.rows.at(0).at(0).integer) + ")"});
    ASSERT_TRUE(killed.ok) << killed.message;
}

using ConnectionTest = DbTest;

TEST_P(ConnectionTest, TheProbeNoticesAConnectionTheServerEnded)
{
    if (!IsPostgres())
        GTEST_SKIP() << "an embedded database has no server to end the connection";
    TerminateOurBackend(m_db);
    EXPECT_FALSE(DbIsAlive()); // a probe by type information would still say alive here
    DbEnsureConnected();
    EXPECT_TRUE(DbIsAlive());
    EXPECT_TRUE(m_view.Messages().empty());
}

TEST_P(ConnectionTest, AStatementOnALostConnectionRunsAgainAfterAReconnect)
{
    if (!IsPostgres())
        GTEST_SKIP() << "an embedded database has no server to end the connection";
    ASSERT_TRUE(Register(1));
    TerminateOurBackend(m_db);
    ASSERT_TRUE(Register(2)); // its delete meets the dead connection: reconnect, run again
    TerminateOurBackend(m_db);
    EXPECT_TRUE(UpdateFileRow("ABC/13/2-BHZ.ABC", "ABC", 2, 5, "BHZ"));
    EXPECT_EQ(m_db.Count(), 2);
    EXPECT_EQ(m_db.Count("TQTY=5"), 1);
    EXPECT_TRUE(m_view.Messages().empty());
    std::string log = EventLog();
    EXPECT_NE(log.find("Database connection lost: "), std::string::npos);
    EXPECT_NE(log.find("Reconnected to database. ODBC: " + m_db.Dsn() + "  USER: " + m_db.User()),
              std::string::npos);
}

TEST_P(ConnectionTest, AStatementTheDatabaseRefusesIsNotRepeated)
{
    DbOutcome outcome = DbExecute("INSERT INTO NOSUCHTABLE VALUES (1)");
    EXPECT_FALSE(outcome.ok);
    EXPECT_FALSE(outcome.message.empty());
    EXPECT_EQ(outcome.sqlState.size(), 5u);
    EXPECT_EQ(EventLog().find("Reconnected"), std::string::npos);
    EXPECT_TRUE(DbIsAlive());
}

TEST_P(ConnectionTest, AClosedConnectionIsMadeAgainByTheNextStatement)
{
    DbClose();
    ASSERT_TRUE(Register(1));
    EXPECT_EQ(m_db.Count(), 1);
    EXPECT_TRUE(m_view.Messages().empty());

    // A data source that has gone: the statement fails at once, the outage is logged once,
    // and statements fail fast without a box while it lasts.
    DbClose();
    g_dsn = "NOSUCH";
    EXPECT_FALSE(Register(2));
    EXPECT_FALSE(Register(2));
    EXPECT_FALSE(DbReachable());
    EXPECT_TRUE(m_view.Messages().empty());
    const std::string log = EventLog();
    const std::size_t unreachable = log.find("Database unreachable: ");
    EXPECT_NE(unreachable, std::string::npos) << log;
    EXPECT_EQ(log.find("Database unreachable: ", unreachable + 1), std::string::npos) << log;

    // Once it can be reached again, a statement after the pause reconnects.
    g_dsn = m_db.Dsn();
    EXPECT_TRUE(test::WaitUntil([] { return Register(3); }, 10000));
    EXPECT_EQ(m_db.Count(), 2);
    EXPECT_NE(EventLog().find("Database reachable again after "), std::string::npos);
}

TEST_P(ConnectionTest, ThreadsShareTheConnectionWhileItIsReplaced)
{
    // Four acquisition threads register, grow and purge their files while another thread
    // keeps reconnecting: no statement may meet a connection being replaced.
    constexpr int kThreads = 4;
    constexpr int kFiles = 15;
    std::atomic<bool> done{false};
    std::thread reconnecter(
        [&]
        {
            while (!done.load())
            {
                DbConnect(false);
                std::this_thread::yield();
            }
        });
    std::vector<std::thread> writers;
    std::atomic<int> failures{0};
    for (int t = 0; t < kThreads; ++t)
    {
        writers.emplace_back(
            [t, &failures]
            {
                std::string channel = "C" + std::to_string(t);
                for (int n = 0; n < kFiles; ++n)
                {
                    std::string path = "ABC/13/" + std::to_string(n) + "-" + channel + ".ABC";
                    if (!RegisterFile(path, "ABC", n, 1, 20, 1, 3, channel, 1, 1) ||
                        !UpdateFileRow(path, "ABC", n, 2, channel))
                        ++failures;
                    PurgeDiskLoop("ABC", 1ull << 40);
                    if (LookupSampleRate("ABC", channel) != 0)
                        ++failures;
                }
            });
    }
    for (std::thread& writer : writers)
        writer.join();
    done = true;
    reconnecter.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(m_db.Count("TQTY=2"), kThreads * kFiles);
    EXPECT_TRUE(m_view.Messages().empty());
}

INSTANTIATE_TEST_SUITE_P(Backends, ConnectionTest, ::testing::ValuesIn(test::AllBackends()),
                         test::BackendParamName());

TEST(DatabaseRestartTest, RegistrationsGoOnAfterTheServerRestarts)
{
    if (!test::PostgresConfigured())
        GTEST_SKIP() << "no PostgreSQL test server configured";
    test::PrivatePostgres server;
    ASSERT_TRUE(server.Started());
    Sandbox box;
    LoggingFrame logging(box);
    test::CRecordingView view;
    KdxDatabase db(box, server.Server());
    ASSERT_TRUE(db.Connected());

    ASSERT_TRUE(Register(1));
    ASSERT_TRUE(Register(2));
    ASSERT_TRUE(server.Run("restart"));
    // The first statement after the restart meets the dead connection, reconnects and runs
    // again: the registration is not lost, and the operator sees nothing.
    EXPECT_TRUE(Register(3));
    EXPECT_TRUE(view.Messages().empty());

    // While the server is down, operations fail without a box, the outage logged once...
    ASSERT_TRUE(server.Run("stop"));
    EXPECT_FALSE(Register(4));
    EXPECT_FALSE(Register(4));
    EXPECT_TRUE(view.Messages().empty());
    EXPECT_FALSE(DbReachable());
    // ...and once it is back, the next one after the pause reconnects and succeeds.
    ASSERT_TRUE(server.Run("start"));
    EXPECT_TRUE(test::WaitUntil([] { return Register(5); }, 40000));
    EXPECT_TRUE(UpdateFileRow("ABC/13/5-BHZ.ABC", "ABC", 5, 9, "BHZ"));
    EXPECT_TRUE(view.Messages().empty());
    EXPECT_EQ(db.Count(), 4);
    EXPECT_EQ(db.Count("TQTY=9"), 1);
    const std::string log = ReadEventLog(box);
    EXPECT_NE(log.find("Database unreachable: "), std::string::npos);
    EXPECT_NE(log.find("Database reachable again after "), std::string::npos);
    EXPECT_NE(log.find("Reconnected to database."), std::string::npos);
}

} // namespace
} // namespace tarvell
