#pragma once
// ODBC internals of the database subsystem: the handles of the shared connection, the lock
// that guards them, and small owners and helpers around the ODBC calls. Only src/db includes
// this header. Any thread, under the rules stated at each declaration.

#include <string>
#include <string_view>
#include <vector>

#include <sql.h>
#include <sqlext.h>

#include "platform/operator_view.h"

namespace tarvell
{

// The environment and connection of the shared connection. Guarded by the connection lock
// (CDbOperation): read or replaced only while it is held. A reconnect frees the previous
// pair, so a handle must never be kept beyond one operation.
extern SQLHENV g_henv;
extern SQLHDBC g_hdbc;

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

// The first diagnostic record of a handle, read once.
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

// Connects the shared connection with g_dsn, g_dbUser, g_dbPassword; the caller holds a
// CDbOperation. Frees the previous handles first. The report and error boxes are queued.
bool DbConnectLocked(bool report);
void DbDisconnectLocked();
bool DbIsAliveLocked();

// True while the shared connection is believed to be up: set by a successful connect,
// cleared by a disconnect or a failed connect. Guarded by the connection lock.
bool DbMarkedConnected();

// The names of the tables (type 'TABLE') the driver lists on connection, in its order, each
// cut to 63 characters; false when no statement could be allocated or SQLTables failed.
bool ListTableNames(SQLHDBC connection, std::vector<std::string>& names);

} // namespace tarvell
