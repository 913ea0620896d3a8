#pragma once
// ODBC internals of the database subsystem: move-only owners of the ODBC handles, the one
// checked way every SQL* result is read, the shared connection and the lock that guards it.
// Only src/db includes this header. Any thread, under the rules stated at each declaration.

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <sql.h>
#include <sqlext.h>

#include "platform/operator_view.h"

namespace tarvell
{

// The first diagnostic record of a handle, read once (some drivers misbehave when it is
// read twice).
struct OdbcDiagnostic
{
    std::string sqlState;
    std::string message;
};
OdbcDiagnostic ReadDiagnostic(SQLSMALLINT handleType, SQLHANDLE handle);

inline bool OdbcSucceeded(SQLRETURN result)
{
    return result == SQL_SUCCESS || result == SQL_SUCCESS_WITH_INFO;
}

// The one check of an ODBC call's result: true for SQL_SUCCESS and SQL_SUCCESS_WITH_INFO.
// Otherwise, when failure is given, the handle's first diagnostic record goes there (a
// handle that was never made gives SQLSTATE 08003, "Connection not open").
bool OdbcCheck(SQLRETURN result, SQLSMALLINT handleType, SQLHANDLE handle,
               OdbcDiagnostic* failure = nullptr);

// True for the SQLSTATEs by which a driver says the connection itself is gone: class 08
// (connection exceptions, 08S01 communication link failure) and PostgreSQL's 57P01..57P03
// (server shutting down, crashed, not yet accepting connections).
bool IsConnectionLoss(std::string_view sqlState);

// Owner of one statement handle, freed (SQL_DROP) when the owner goes.
class COdbcStatement
{
public:
    COdbcStatement() = default;
    ~COdbcStatement();
    COdbcStatement(const COdbcStatement&) = delete;
    COdbcStatement& operator=(const COdbcStatement&) = delete;

    // Allocates a statement on connection; the result of SQLAllocHandle.
    SQLRETURN Allocate(SQLHDBC connection);
    SQLHSTMT Get() const { return m_handle; }
    void Free();

private:
    SQLHSTMT m_handle = SQL_NULL_HSTMT;
};

// Owner of an ODBC 3 environment handle.
class COdbcEnvironment
{
public:
    COdbcEnvironment() = default;
    ~COdbcEnvironment();
    COdbcEnvironment(COdbcEnvironment&& other) noexcept;
    COdbcEnvironment& operator=(COdbcEnvironment&& other) noexcept;
    COdbcEnvironment(const COdbcEnvironment&) = delete;
    COdbcEnvironment& operator=(const COdbcEnvironment&) = delete;

    // Allocates the handle and asks for ODBC 3 behaviour; false when the driver manager
    // cannot give an environment.
    bool Allocate();
    SQLHENV Get() const { return m_handle; }

private:
    SQLHENV m_handle = SQL_NULL_HENV;
};

// Owner of one connection and the environment it lives in: disconnected and freed, in that
// order, when the owner goes. Connections are made whole and then installed, so that a
// connection attempt never holds a lock that running statements need.
class COdbcConnection
{
public:
    COdbcConnection() = default;
    ~COdbcConnection();
    COdbcConnection(COdbcConnection&& other) noexcept;
    COdbcConnection& operator=(COdbcConnection&& other) noexcept;
    COdbcConnection(const COdbcConnection&) = delete;
    COdbcConnection& operator=(const COdbcConnection&) = delete;

    // Allocates the handles; false (with the reason in *failure) when the driver manager
    // cannot give them.
    bool Allocate(OdbcDiagnostic* failure);

    // Connects to the data source with SQLConnect (login timeout loginSeconds when
    // positive), or with SQLDriverConnect when connectString is used. False with the
    // driver's first diagnostic in *failure.
    bool Connect(std::string_view dsn, std::string_view user, std::string_view password,
                 int loginSeconds, OdbcDiagnostic* failure);
    bool DriverConnect(std::string_view connectString, OdbcDiagnostic* failure);

    void Disconnect();
    bool Connected() const { return m_connected; }
    SQLHENV Environment() const { return m_environment.Get(); }
    SQLHDBC Get() const { return m_handle; }

private:
    COdbcEnvironment m_environment;
    SQLHDBC m_handle = SQL_NULL_HDBC;
    bool m_connected = false;
};

// One whole database operation on the shared connection. Holds the connection lock from
// construction to destruction; operations nest on one thread (the lock is recursive). Message
// boxes raised during the operation are queued and shown only when the outermost operation of
// the thread ends, after the lock is released: a thread that waits for the operator never
// holds up the other threads' database work.
class CDbOperation
{
public:
    CDbOperation();
    ~CDbOperation();
    CDbOperation(const CDbOperation&) = delete;
    CDbOperation& operator=(const CDbOperation&) = delete;

    // Queues a message box of the current thread's operation (or shows it at once when no
    // operation is running on this thread).
    static void QueueMessage(std::string_view caption, std::string_view text, MessageIcon icon);
};

// The handle of the shared connection (SQL_NULL_HDBC when there is none). Only while a
// CDbOperation is held: a reconnect replaces it, so it must never be kept beyond one
// operation.
SQLHDBC SharedConnection();

// Installs connection as the shared connection and returns the one it replaces (to be freed
// by the caller after the lock is gone). Caller holds a CDbOperation.
std::unique_ptr<COdbcConnection> InstallSharedConnection(std::unique_ptr<COdbcConnection> fresh);

// Makes a new connection with g_dsn, g_dbUser, g_dbPassword, outside every lock. nullptr with
// the reason in *failure when it cannot be made.
std::unique_ptr<COdbcConnection> MakeConnection(OdbcDiagnostic* failure);

// A transaction that failed may leave its connection in a state the driver no longer knows:
// SQLite rolls a transaction back by itself on a full disk, while its ODBC driver still
// believes one is open and lets the next statements commit one by one. Such a connection is
// never used again. BeginConnectionRenewal takes it away from every other thread (caller
// holds a CDbOperation) and returns it; FinishConnectionRenewal, called by the same thread
// after the lock is released, lets it go and installs a new connection (logging in outside
// the lock), or marks the database away when none can be made. Until then, statements of
// other threads wait for the new connection (WaitWhileConnectionRenewed) instead of failing.
std::unique_ptr<COdbcConnection> BeginConnectionRenewal();
void FinishConnectionRenewal(std::unique_ptr<COdbcConnection> broken);
void WaitWhileConnectionRenewed();

// The names of the tables (type 'TABLE') the driver lists on connection, in its order, each
// cut to 63 characters; false when no statement could be allocated or SQLTables failed.
bool ListTableNames(SQLHDBC connection, std::vector<std::string>& names);

} // namespace tarvell
