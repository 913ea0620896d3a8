#include "db/connection.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <utility>
#include <vector>

#include <odbcinst.h>
#include <unistd.h>

#include "db/db_health.h"
#include "db/db_settings.h"
#include "db/odbc_private.h"
#include "db/schema_names.h"
#include "log/event_log.h"
#include "metrics/metrics_registry.h"
#include "platform/confined_paths.h"

namespace tarvell
{

std::string g_dsn;
std::string g_dbUser;
std::string g_dbPassword;
std::string g_dbDataDir;
std::string g_waveRoot;

namespace
{

// The connection lock: every thread shares the one connection, and a reconnect replaces it,
// so one whole operation (probe, statement, fetch, free) runs at a time. Connecting happens
// outside it: a login that takes its time never holds up the other threads' statements.
// Recursive because operations nest (DbOpen adopts the names through the statement layer).
std::recursive_mutex g_dbLock;
std::unique_ptr<COdbcConnection> g_shared; // guarded by g_dbLock
// What the driver said of the last connect that failed; empty after one that worked.
std::string g_lastConnectFailure; // guarded by g_dbLock

struct PendingMessage
{
    std::string caption;
    std::string text;
    MessageIcon icon;
};

// Per thread: how deeply this thread's operations are nested, and the boxes they raised.
thread_local int t_operationDepth = 0;
thread_local std::vector<PendingMessage> t_pendingMessages;

std::atomic<ConnectDialogHook> g_connectDialogHook{nullptr};

// Set while a connection that a failed transaction left behind is being replaced; never
// held together with the connection lock.
std::mutex g_renewalLock;
std::condition_variable g_renewalDone;
bool g_renewing = false; // guarded by g_renewalLock

// A login that hangs (a server host that does not answer) holds up the thread that tries;
// drivers that honour the timeout give up after it.
constexpr int kLoginTimeoutSeconds = 15;

// The success report: the data source, the user and the tables the database lists.
std::string ConnectReport(SQLHDBC connection)
{
    std::string text = "Успешное подключение к DSN: " + g_dsn + "\t\r\n" +
                       "Пользователь: " + g_dbUser + "\r\n\r\n";
    std::vector<std::string> tables;
    if (ListTableNames(connection, tables))
    {
        char count[64];
        std::snprintf(count, sizeof count, "Количество таблиц: %d\r\n",
                      static_cast<int>(tables.size()));
        text += count;
        for (const std::string& table : tables)
            text += "\t" + table + "\r\n";
    }
    return text;
}

} // namespace

// ---- owners and the one check -----------------------------------------------------------

OdbcDiagnostic ReadDiagnostic(SQLSMALLINT handleType, SQLHANDLE handle)
{
    OdbcDiagnostic diagnostic;
    if (handle == SQL_NULL_HANDLE)
        return diagnostic;
    SQLCHAR state[6] = {};
    SQLINTEGER native = 0;
    SQLCHAR message[1024] = {};
    SQLSMALLINT length = 0;
    SQLRETURN result = SQLGetDiagRec(handleType, handle, 1, state, &native, message,
                                     static_cast<SQLSMALLINT>(sizeof message), &length);
    if (OdbcSucceeded(result))
    {
        diagnostic.sqlState = reinterpret_cast<const char*>(state);
        diagnostic.message = reinterpret_cast<const char*>(message);
    }
    return diagnostic;
}

bool OdbcCheck(SQLRETURN result, SQLSMALLINT handleType, SQLHANDLE handle, OdbcDiagnostic* failure)
{
    if (OdbcSucceeded(result))
        return true;
    if (failure != nullptr)
    {
        *failure = ReadDiagnostic(handleType, handle);
        if (failure->sqlState.empty())
            *failure = {"08003", "Connection not open"};
    }
    return false;
}

bool IsConnectionLoss(std::string_view sqlState)
{
    return sqlState.substr(0, 2) == "08" || sqlState == "57P01" || sqlState == "57P02" ||
           sqlState == "57P03";
}

COdbcStatement::~COdbcStatement()
{
    Free();
}

SQLRETURN COdbcStatement::Allocate(SQLHDBC connection)
{
    Free();
    if (connection == SQL_NULL_HDBC)
        return SQL_INVALID_HANDLE;
    return SQLAllocHandle(SQL_HANDLE_STMT, connection, &m_handle);
}

void COdbcStatement::Free()
{
    if (m_handle != SQL_NULL_HSTMT)
    {
        SQLFreeHandle(SQL_HANDLE_STMT, m_handle);
        m_handle = SQL_NULL_HSTMT;
    }
}

COdbcEnvironment::~COdbcEnvironment()
{
    if (m_handle != SQL_NULL_HENV)
        SQLFreeHandle(SQL_HANDLE_ENV, m_handle);
}

COdbcEnvironment::COdbcEnvironment(COdbcEnvironment&& other) noexcept
    : m_handle(std::exchange(other.m_handle, SQLHENV{SQL_NULL_HENV}))
{
}

COdbcEnvironment& COdbcEnvironment::operator=(COdbcEnvironment&& other) noexcept
{
    if (this != &other)
    {
        if (m_handle != SQL_NULL_HENV)
            SQLFreeHandle(SQL_HANDLE_ENV, m_handle);
        m_handle = std::exchange(other.m_handle, SQLHENV{SQL_NULL_HENV});
    }
    return *this;
}

bool COdbcEnvironment::Allocate()
{
    if (m_handle != SQL_NULL_HENV)
        return true;
    if (!OdbcCheck(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &m_handle), SQL_HANDLE_ENV,
                   SQL_NULL_HANDLE))
    {
        m_handle = SQL_NULL_HENV;
        return false;
    }
    return OdbcCheck(SQLSetEnvAttr(m_handle, SQL_ATTR_ODBC_VERSION,
                                   reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0),
                     SQL_HANDLE_ENV, m_handle);
}

COdbcConnection::~COdbcConnection()
{
    Disconnect();
    if (m_handle != SQL_NULL_HDBC)
        SQLFreeHandle(SQL_HANDLE_DBC, m_handle);
}

COdbcConnection::COdbcConnection(COdbcConnection&& other) noexcept
    : m_environment(std::move(other.m_environment)),
      m_handle(std::exchange(other.m_handle, SQLHDBC{SQL_NULL_HDBC})),
      m_connected(std::exchange(other.m_connected, false))
{
}

COdbcConnection& COdbcConnection::operator=(COdbcConnection&& other) noexcept
{
    if (this != &other)
    {
        Disconnect();
        if (m_handle != SQL_NULL_HDBC)
            SQLFreeHandle(SQL_HANDLE_DBC, m_handle);
        m_handle = std::exchange(other.m_handle, SQLHDBC{SQL_NULL_HDBC});
        m_connected = std::exchange(other.m_connected, false);
        m_environment = std::move(other.m_environment);
    }
    return *this;
}

bool COdbcConnection::Allocate(OdbcDiagnostic* failure)
{
    if (m_handle != SQL_NULL_HDBC)
        return true;
    if (!m_environment.Allocate())
    {
        if (failure != nullptr)
            *failure = {"", "cannot allocate an ODBC environment"};
        return false;
    }
    if (!OdbcCheck(SQLAllocHandle(SQL_HANDLE_DBC, m_environment.Get(), &m_handle), SQL_HANDLE_ENV,
                   m_environment.Get()))
    {
        m_handle = SQL_NULL_HDBC;
        if (failure != nullptr)
            *failure = {"", "cannot allocate an ODBC connection"};
        return false;
    }
    return true;
}

bool COdbcConnection::Connect(std::string_view dsn, std::string_view user,
                              std::string_view password, int loginSeconds, OdbcDiagnostic* failure)
{
    if (!Allocate(failure))
        return false;
    Disconnect();
    if (loginSeconds > 0)
    {
        (void)OdbcCheck(
            SQLSetConnectAttr(m_handle, SQL_ATTR_LOGIN_TIMEOUT,
                              reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(loginSeconds)), 0),
            SQL_HANDLE_DBC, m_handle);
    }
    std::string dsnText(dsn);
    std::string userText(user);
    std::string passwordText(password);
    m_connected =
        OdbcCheck(SQLConnect(m_handle, reinterpret_cast<SQLCHAR*>(dsnText.data()), SQL_NTS,
                             reinterpret_cast<SQLCHAR*>(userText.data()), SQL_NTS,
                             reinterpret_cast<SQLCHAR*>(passwordText.data()), SQL_NTS),
                  SQL_HANDLE_DBC, m_handle, failure);
    return m_connected;
}

bool COdbcConnection::DriverConnect(std::string_view connectString, OdbcDiagnostic* failure)
{
    if (!Allocate(failure))
        return false;
    Disconnect();
    std::string text(connectString);
    m_connected =
        OdbcCheck(SQLDriverConnect(m_handle, nullptr, reinterpret_cast<SQLCHAR*>(text.data()),
                                   static_cast<SQLSMALLINT>(text.size()), nullptr, 0, nullptr,
                                   SQL_DRIVER_NOPROMPT),
                  SQL_HANDLE_DBC, m_handle, failure);
    return m_connected;
}

void COdbcConnection::Disconnect()
{
    if (m_connected && !OdbcSucceeded(SQLDisconnect(m_handle)))
    {
        // A driver that believes a transaction is still open refuses to disconnect (25000);
        // it is rolled back, so the handle can be freed instead of leaking.
        (void)SQLEndTran(SQL_HANDLE_DBC, m_handle, SQL_ROLLBACK);
        (void)SQLSetConnectAttr(m_handle, SQL_ATTR_AUTOCOMMIT,
                                reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_ON), 0);
        (void)SQLDisconnect(m_handle);
    }
    m_connected = false;
}

// ---- the shared connection ---------------------------------------------------------------

CDbOperation::CDbOperation()
{
    g_dbLock.lock();
    ++t_operationDepth;
}

CDbOperation::~CDbOperation()
{
    --t_operationDepth;
    g_dbLock.unlock();
    if (t_operationDepth == 0 && !t_pendingMessages.empty())
    {
        std::vector<PendingMessage> pending = std::exchange(t_pendingMessages, {});
        for (const PendingMessage& message : pending)
            OperatorView().ShowMessage(message.caption, message.text, message.icon, true);
    }
}

void CDbOperation::QueueMessage(std::string_view caption, std::string_view text, MessageIcon icon)
{
    if (t_operationDepth == 0)
    {
        OperatorView().ShowMessage(caption, text, icon, true);
        return;
    }
    t_pendingMessages.push_back({std::string(caption), std::string(text), icon});
}

SQLHDBC SharedConnection()
{
    return g_shared && g_shared->Connected() ? g_shared->Get() : SQL_NULL_HDBC;
}

std::unique_ptr<COdbcConnection> InstallSharedConnection(std::unique_ptr<COdbcConnection> fresh)
{
    return std::exchange(g_shared, std::move(fresh));
}

// On PostgreSQL a transaction left open by a process that is stopped (SIGSTOP, a machine
// that froze) would hold its row locks for ever: the lease it holds could then never be
// taken over. The server ends such a session after a while; no transaction of this program
// waits that long between its statements.
void LimitIdleTransactions(SQLHDBC connection)
{
    char name[64] = {};
    SQLSMALLINT length = 0;
    if (!OdbcSucceeded(SQLGetInfo(connection, SQL_DBMS_NAME, name, sizeof name, &length)) ||
        std::string_view(name).find("PostgreSQL") == std::string_view::npos)
        return;
    COdbcStatement statement;
    if (OdbcSucceeded(statement.Allocate(connection)))
    {
        (void)SQLExecDirect(statement.Get(),
                            reinterpret_cast<SQLCHAR*>(const_cast<char*>(
                                "SET idle_in_transaction_session_timeout = 10000")),
                            SQL_NTS);
    }
}

namespace
{

std::atomic<DbDialect> g_dialect{DbDialect::Other};

// Which database answers: a few statements are written in the form it runs best.
void NoteTheDialect(SQLHDBC connection)
{
    char name[64] = {};
    SQLSMALLINT length = 0;
    DbDialect dialect = DbDialect::Other;
    if (OdbcSucceeded(SQLGetInfo(connection, SQL_DBMS_NAME, name, sizeof name, &length)))
    {
        const std::string_view product(name);
        if (product.find("SQLite") != std::string_view::npos)
            dialect = DbDialect::SQLite;
        else if (product.find("PostgreSQL") != std::string_view::npos)
            dialect = DbDialect::PostgreSQL;
    }
    g_dialect.store(dialect, std::memory_order_relaxed);
}

} // namespace

std::unique_ptr<COdbcConnection> MakeConnection(OdbcDiagnostic* failure)
{
    auto connection = std::make_unique<COdbcConnection>();
    if (!connection->Connect(g_dsn, g_dbUser, g_dbPassword, kLoginTimeoutSeconds, failure))
        return nullptr;
    LimitIdleTransactions(connection->Get());
    NoteTheDialect(connection->Get());
    return connection;
}

std::unique_ptr<COdbcConnection> BeginConnectionRenewal()
{
    {
        std::lock_guard renewal(g_renewalLock);
        g_renewing = true;
    }
    return InstallSharedConnection(nullptr);
}

void FinishConnectionRenewal(std::unique_ptr<COdbcConnection> broken)
{
    broken.reset();
    OdbcDiagnostic failure;
    std::unique_ptr<COdbcConnection> fresh = MakeConnection(&failure);
    const bool made = fresh != nullptr;
    if (made)
    {
        CDbOperation operation;
        // A reconnect of another thread may have installed one meanwhile: that one stays.
        if (SharedConnection() == SQL_NULL_HDBC)
            fresh = InstallSharedConnection(std::move(fresh));
    }
    fresh.reset(); // the one not needed, let go outside the connection lock
    {
        std::lock_guard renewal(g_renewalLock);
        g_renewing = false;
    }
    g_renewalDone.notify_all();
    if (!made)
        DbNoteConnectionLost(failure.message.empty() ? "no connection could be made"
                                                     : failure.message);
}

void WaitWhileConnectionRenewed()
{
    std::unique_lock renewal(g_renewalLock);
    // A login is given its timeout; a renewal that takes longer is left to the outage path.
    g_renewalDone.wait_for(renewal, std::chrono::seconds(kLoginTimeoutSeconds + 5),
                           [] { return !g_renewing; });
}

bool DbConnect(bool report)
{
    OdbcDiagnostic failure;
    std::unique_ptr<COdbcConnection> fresh = MakeConnection(&failure);
    std::unique_ptr<COdbcConnection> previous;
    {
        CDbOperation operation;
        if (!fresh)
        {
            // The previous connection goes: the search that called us tries the next source
            // on a clean slate, and nothing runs on settings that were just replaced.
            previous = InstallSharedConnection(nullptr);
            g_lastConnectFailure = failure.message;
            if (!failure.sqlState.empty())
            {
                CDbOperation::QueueMessage(
                    "Ошибка при подключении к базе данных",
                    "При попытке подключения к базе данных произошла ошибка:\r\n" + failure.message,
                    MessageIcon::Error);
            }
            return false;
        }
        if (report)
        {
            CDbOperation::QueueMessage("Подключение к источнику данных!",
                                       ConnectReport(fresh->Get()), MessageIcon::Information);
        }
        previous = InstallSharedConnection(std::move(fresh));
        g_lastConnectFailure.clear();
    }
    DbNoteConnected();
    return true;
}

void DbDisconnect()
{
    CDbOperation operation;
    if (g_shared)
        g_shared->Disconnect();
}

bool DbIsAlive()
{
    // A real round trip: psqlODBC answers SQLGetTypeInfo from its own cache, so a probe by
    // type information calls a connection alive after the server restarted under it.
    CDbOperation operation;
    COdbcStatement statement;
    return OdbcSucceeded(statement.Allocate(SharedConnection())) &&
           OdbcSucceeded(SQLExecDirect(statement.Get(),
                                       reinterpret_cast<SQLCHAR*>(const_cast<char*>("SELECT 1")),
                                       SQL_NTS));
}

void DbEnsureConnected()
{
    if (DbIsAlive())
        return;
    DbNoteConnectionLost("the connection does not answer");
    (void)DbRestore(true);
}

void DbClose()
{
    std::unique_ptr<COdbcConnection> previous;
    CDbOperation operation;
    previous = InstallSharedConnection(nullptr);
}

bool DbOpen(CDbSettings& settings)
{
    if (!settings.LoadAndConnect() && !RunConnectDialog())
        return false;
    LogEvent("Connected to database. ODBC: " + g_dsn + "  USER: " + g_dbUser);
    g_waveRoot = g_dbDataDir;
    SetConfinedDirectory(g_waveRoot);
    LogEvent("Catalog with data: " + g_waveRoot);
    DbAdoptNames();
    return true;
}

void DbAdoptNames()
{
    CDbOperation operation;
    g_dbNames.Adopt(SharedConnection());
}

namespace
{

// A file unixODBC reads, and why it cannot when it cannot: a data source file others made
// for themselves reads to the driver manager as no data source at all.
std::string OdbcFileText(const std::string& path)
{
    if (::access(path.c_str(), R_OK) == 0)
        return path;
    return path + " (which cannot be read: " + std::strerror(errno) + ")";
}

// Where unixODBC reads the data sources and drivers, as the operator can check it.
std::string OdbcFilesText()
{
    const char* sources = std::getenv("ODBCINI");
    const char* drivers = std::getenv("ODBCSYSINI");
    if (sources == nullptr && drivers == nullptr)
        return "the files that 'odbcinst -j' names (ODBCINI and ODBCSYSINI are not set)";
    return "ODBCINI=" + (sources ? OdbcFileText(sources) : std::string("(not set)")) +
           " and ODBCSYSINI=" +
           (drivers ? std::string(drivers) + " (" +
                          OdbcFileText(std::string(drivers) + "/odbcinst.ini") + ")"
                    : std::string("(not set)"));
}

} // namespace

std::string NoDatabaseText()
{
    std::string failure;
    {
        CDbOperation operation;
        failure = g_lastConnectFailure;
    }
    std::string text = "The KDX database cannot be opened: ";
    if (failure.empty())
        text += "no database setting named a data source that could be connected";
    else
        text += "connecting to the ODBC data source '" + g_dsn + "' as user '" + g_dbUser +
                "' failed: " + failure;
    return text + ". The data sources are read through " + OdbcFilesText() + ".";
}

bool RunConnectDialog()
{
    ConnectDialogHook hook = g_connectDialogHook.load(std::memory_order_acquire);
    if (hook)
        return hook();
    // Without a window there is no dialog to ask the operator: what failed is said in plain
    // words instead, after the driver's own message.
    OperatorView().ShowMessage("", NoDatabaseText(), MessageIcon::Error, true);
    return false;
}

bool DbManageDataSources(void* parentWindow)
{
    if (parentWindow == nullptr)
        return false;
    // Linking the installer library for this call also keeps it loaded for the whole run:
    // the SQLite driver reads its data source through that library, and when the driver
    // loaded and unloaded it at every connect, its profile cache was lost each time.
    // unixODBC takes the window handle for its own window record, which names the user
    // interface plug-in (empty: the installation's default) and carries the parent window;
    // a bare window pointer would be read as that record.
    ODBCINSTWND window{};
    window.hWnd = static_cast<HWND>(parentWindow);
    return SQLManageDataSources(reinterpret_cast<HWND>(&window)) != 0;
}

void SetConnectDialogHook(ConnectDialogHook hook)
{
    g_connectDialogHook.store(hook, std::memory_order_release);
}

DbDialect ConnectedDialect()
{
    return g_dialect.load(std::memory_order_relaxed);
}

} // namespace tarvell
