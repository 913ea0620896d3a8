#include "db/connection.h"

#include <atomic>
#include <cstdio>
#include <mutex>
#include <utility>
#include <vector>

#include <odbcinst.h>

#include "db/db_settings.h"
#include "db/odbc_private.h"
#include "db/schema_names.h"
#include "log/event_log.h"
#include "metrics/metrics_registry.h"

namespace tarvell
{

std::string g_dsn;
std::string g_dbUser;
std::string g_dbPassword;
std::string g_dbDataDir;
std::string g_waveRoot;

SQLHENV g_henv = SQL_NULL_HENV;
SQLHDBC g_hdbc = SQL_NULL_HDBC;

namespace
{

// The connection lock: every acquisition thread shares the one connection, and a reconnect
// replaces its handles, so one whole operation (probe, reconnect, statement, fetch, free)
// runs at a time. Recursive because operations nest (a statement reconnects; DbOpen adopts
// the names through the statement layer).
std::recursive_mutex g_dbLock;
bool g_connected = false; // guarded by g_dbLock

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

// A login that hangs (a server host that does not answer) would hold the connection lock
// and with it every acquisition thread; drivers that honour the timeout give up after it.
constexpr SQLULEN kLoginTimeoutSeconds = 15;

void FreeHandles()
{
    if (g_hdbc != SQL_NULL_HDBC)
    {
        SQLFreeHandle(SQL_HANDLE_DBC, g_hdbc);
        g_hdbc = SQL_NULL_HDBC;
    }
    if (g_henv != SQL_NULL_HENV)
    {
        SQLFreeHandle(SQL_HANDLE_ENV, g_henv);
        g_henv = SQL_NULL_HENV;
    }
}

// The success report: the data source, the user and the tables the database lists.
std::string ConnectReport()
{
    std::string text = "Успешное подключение к DSN: " + g_dsn + "\t\r\n" +
                       "Пользователь: " + g_dbUser + "\r\n\r\n";
    std::vector<std::string> tables;
    if (ListTableNames(g_hdbc, tables))
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

bool DbMarkedConnected()
{
    return g_connected;
}

void DbDisconnectLocked()
{
    if (g_hdbc != SQL_NULL_HDBC)
        SQLDisconnect(g_hdbc);
    g_connected = false;
    NoteDatabaseReachable(false);
}

bool DbConnectLocked(bool report)
{
    // The previous handles are released here (every reconnect of years of running would
    // otherwise keep one environment and connection); nothing can still use them, since
    // every user holds the connection lock.
    DbDisconnectLocked();
    FreeHandles();

    if (SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &g_henv) == SQL_ERROR)
    {
        g_henv = SQL_NULL_HENV;
        return false;
    }
    SQLSetEnvAttr(g_henv, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    if (SQLAllocHandle(SQL_HANDLE_DBC, g_henv, &g_hdbc) == SQL_ERROR)
    {
        g_hdbc = SQL_NULL_HDBC;
        return false;
    }
    SQLSetConnectAttr(g_hdbc, SQL_ATTR_LOGIN_TIMEOUT,
                      reinterpret_cast<SQLPOINTER>(kLoginTimeoutSeconds), 0);

    std::string dsn = g_dsn;
    std::string user = g_dbUser;
    std::string password = g_dbPassword;
    SQLRETURN result = SQLConnect(g_hdbc, reinterpret_cast<SQLCHAR*>(dsn.data()), SQL_NTS,
                                  reinterpret_cast<SQLCHAR*>(user.data()), SQL_NTS,
                                  reinterpret_cast<SQLCHAR*>(password.data()), SQL_NTS);
    if (result == SQL_ERROR || result == SQL_INVALID_HANDLE)
    {
        OdbcDiagnostic diagnostic = ReadDiagnostic(SQL_HANDLE_DBC, g_hdbc);
        CDbOperation::QueueMessage("Ошибка при подключении к базе данных",
                                   "При попытке подключения к базе данных произошла ошибка:\r\n" +
                                       diagnostic.message,
                                   MessageIcon::Error);
        return false;
    }
    g_connected = true;
    NoteDatabaseReachable(true);
    if (report)
        CDbOperation::QueueMessage("Подключение к источнику данных!", ConnectReport(),
                                   MessageIcon::Information);
    return true;
}

bool DbIsAliveLocked()
{
    // A real round trip: psqlODBC answers SQLGetTypeInfo from its own cache, so a probe by
    // type information calls a connection alive after the server restarted under it.
    COdbcStatement statement;
    bool alive =
        OdbcSucceeded(statement.Allocate(g_hdbc)) &&
        OdbcSucceeded(SQLExecDirect(
            statement.Get(), reinterpret_cast<SQLCHAR*>(const_cast<char*>("SELECT 1")), SQL_NTS));
    if (!alive)
    {
        g_connected = false;
        NoteDatabaseReachable(false);
    }
    return alive;
}

bool DbConnect(bool report)
{
    CDbOperation operation;
    return DbConnectLocked(report);
}

void DbDisconnect()
{
    CDbOperation operation;
    DbDisconnectLocked();
}

bool DbIsAlive()
{
    CDbOperation operation;
    return DbIsAliveLocked();
}

void DbEnsureConnected()
{
    CDbOperation operation;
    if (!DbIsAliveLocked())
    {
        DbDisconnectLocked();
        DbConnectLocked(false);
    }
}

void DbClose()
{
    CDbOperation operation;
    DbDisconnectLocked();
    FreeHandles();
}

bool DbOpen()
{
    CDbSettings settings;
    return DbOpen(settings);
}

bool DbOpen(CDbSettings& settings)
{
    if (!settings.LoadAndConnect() && !RunConnectDialog())
        return false;
    LogEvent("Connected to database. ODBC: " + g_dsn + "  USER: " + g_dbUser);
    g_waveRoot = g_dbDataDir;
    LogEvent("Catalog with data: " + g_waveRoot);
    DbAdoptNames();
    return true;
}

void DbAdoptNames()
{
    CDbOperation operation;
    g_dbNames.Adopt(g_hdbc);
}

bool RunConnectDialog()
{
    ConnectDialogHook hook = g_connectDialogHook.load(std::memory_order_acquire);
    if (hook)
        return hook();
    OperatorView().ShowMessage("", "Ошибка при инициализации\r\nбиблиотеки MFC",
                               MessageIcon::Warning, true);
    return false;
}

bool DbManageDataSources(void* parentWindow)
{
    // Linking the installer library for this call also keeps it loaded for the whole run:
    // the SQLite driver reads its data source through that library, and when the driver
    // loaded and unloaded it at every connect, its profile cache was lost each time.
    return SQLManageDataSources(static_cast<HWND>(parentWindow)) != 0;
}

void SetConnectDialogHook(ConnectDialogHook hook)
{
    g_connectDialogHook.store(hook, std::memory_order_release);
}

} // namespace tarvell
