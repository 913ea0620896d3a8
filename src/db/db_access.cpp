#include "db/db_access.h"

#include <cstdio>
#include <vector>

#include "db/connection.h"
#include "db/odbc_private.h"
#include "log/event_log.h"
#include "platform/clock.h"

namespace tarvell
{
namespace
{

// Reads one column of the current row. Text is read in pieces, so a value of any length
// comes back whole (a loop file's full path can be long).
bool ReadCell(SQLHSTMT statement, SQLUSMALLINT column, DbType type, DbCell& cell,
              OdbcDiagnostic& failure)
{
    SQLLEN indicator = 0;
    SQLRETURN result = SQL_ERROR;
    switch (type)
    {
    case DbType::Double:
    {
        SQLDOUBLE value = 0;
        result = SQLGetData(statement, column, SQL_C_DOUBLE, &value, 0, &indicator);
        cell.number = value;
        break;
    }
    case DbType::Int32:
    {
        SQLINTEGER value = 0;
        result = SQLGetData(statement, column, SQL_C_SLONG, &value, 0, &indicator);
        cell.integer = value;
        break;
    }
    case DbType::Text:
    {
        char piece[1024];
        for (;;)
        {
            result = SQLGetData(statement, column, SQL_C_CHAR, piece, sizeof piece, &indicator);
            if (result == SQL_NO_DATA)
            {
                result = SQL_SUCCESS;
                break;
            }
            if (!OdbcSucceeded(result) || indicator == SQL_NULL_DATA)
                break;
            bool whole = indicator != SQL_NO_TOTAL && indicator < static_cast<SQLLEN>(sizeof piece);
            cell.text.append(piece, whole ? static_cast<std::size_t>(indicator) : sizeof piece - 1);
            if (whole || result == SQL_SUCCESS)
                break;
        }
        break;
    }
    }
    if (!OdbcSucceeded(result))
    {
        failure = ReadDiagnostic(SQL_HANDLE_STMT, statement);
        return false;
    }
    cell.isNull = indicator == SQL_NULL_DATA;
    if (cell.isNull)
    {
        cell.number = 0;
        cell.integer = 0;
        cell.text.clear();
    }
    return true;
}

void Fail(DbOutcome& outcome, const OdbcDiagnostic& diagnostic)
{
    outcome.ok = false;
    outcome.sqlState = diagnostic.sqlState;
    outcome.message = diagnostic.message;
    outcome.rows.clear();
}

// One attempt: a fresh statement on the current connection, executed directly; for a query
// its rows are fetched; the statement is freed before returning.
DbOutcome RunOnce(std::string_view sql, const std::vector<DbType>* columns, std::size_t maxRows)
{
    DbOutcome outcome;
    COdbcStatement statement;
    if (!OdbcSucceeded(statement.Allocate(g_hdbc)))
    {
        OdbcDiagnostic diagnostic = ReadDiagnostic(SQL_HANDLE_DBC, g_hdbc);
        if (diagnostic.sqlState.empty())
            diagnostic = {"08003", "Connection not open"};
        Fail(outcome, diagnostic);
        return outcome;
    }

    std::string text(sql);
    SQLRETURN result = SQLExecDirect(statement.Get(), reinterpret_cast<SQLCHAR*>(text.data()),
                                     static_cast<SQLINTEGER>(text.size()));
    if (result == SQL_NO_DATA)
    {
        // An update or delete that matched no row.
        outcome.ok = true;
        outcome.rowCount = 0;
        return outcome;
    }
    if (!OdbcSucceeded(result))
    {
        Fail(outcome, ReadDiagnostic(SQL_HANDLE_STMT, statement.Get()));
        return outcome;
    }

    if (columns == nullptr)
    {
        SQLLEN count = -1;
        if (OdbcSucceeded(SQLRowCount(statement.Get(), &count)))
            outcome.rowCount = count;
        outcome.ok = true;
        return outcome;
    }

    while (outcome.rows.size() < maxRows)
    {
        result = SQLFetch(statement.Get());
        if (result == SQL_NO_DATA)
            break;
        if (!OdbcSucceeded(result))
        {
            Fail(outcome, ReadDiagnostic(SQL_HANDLE_STMT, statement.Get()));
            return outcome;
        }
        DbRow row(columns->size());
        for (std::size_t i = 0; i < columns->size(); ++i)
        {
            OdbcDiagnostic failure;
            if (!ReadCell(statement.Get(), static_cast<SQLUSMALLINT>(i + 1), (*columns)[i], row[i],
                          failure))
            {
                Fail(outcome, failure);
                return outcome;
            }
        }
        outcome.rows.push_back(std::move(row));
    }
    SQLCloseCursor(statement.Get());
    outcome.ok = true;
    return outcome;
}

bool Reconnect()
{
    DbDisconnectLocked();
    bool connected = DbConnectLocked(false);
    if (connected)
        LogEvent("Reconnected to database. ODBC: " + g_dsn + "  USER: " + g_dbUser);
    return connected;
}

// One whole operation under the connection lock. A connection known to be down is
// reconnected first; a statement that fails because the connection was lost (the database
// restarted, the network broke) is run once more on a new connection, so that the restart
// of a database server costs no row. A statement refused by the database itself (a missing
// column, a constraint) is never repeated.
DbOutcome Run(std::string_view sql, const std::vector<DbType>* columns, std::size_t maxRows)
{
    CDbOperation operation;
    bool reconnected = false;
    if (!DbMarkedConnected())
    {
        reconnected = true;
        Reconnect();
    }
    DbOutcome outcome = RunOnce(sql, columns, maxRows);
    if (!outcome.ok && IsConnectionLoss(outcome.sqlState) && !reconnected)
    {
        if (DbMarkedConnected())
            LogEvent("Database connection lost: " + outcome.message);
        DbDisconnectLocked();
        if (Reconnect())
            outcome = RunOnce(sql, columns, maxRows);
    }
    return outcome;
}

} // namespace

DbOutcome DbExecute(std::string_view sql)
{
    return Run(sql, nullptr, 0);
}

DbOutcome DbQuery(std::string_view sql, std::initializer_list<DbType> columns, std::size_t maxRows)
{
    std::vector<DbType> types(columns);
    return Run(sql, &types, maxRows);
}

std::string SqlText(std::string_view text)
{
    std::string quoted;
    quoted.reserve(text.size());
    for (char c : text)
    {
        if (c == '\0')
            continue; // would end the statement early in a driver that reads up to a NUL
        if (c == '\'')
            quoted += '\'';
        quoted += c;
    }
    return quoted;
}

std::string SqlLocalTime(std::time_t t)
{
    std::tm calendar = LocalCalendar(t);
    char text[64];
    if (std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &calendar) == 0)
        return {};
    return text;
}

std::string SqlNowTimestamp()
{
    return "{ts '" + SqlLocalTime(WallClockNow()) + "'}";
}

std::optional<double> DbQueryNumber(std::string_view sql)
{
    DbOutcome outcome = DbQuery(sql, {DbType::Double}, 1);
    if (!outcome.ok)
    {
        DbLogError(outcome);
        return std::nullopt;
    }
    if (outcome.rows.empty() || outcome.rows.front().front().isNull)
        return std::nullopt;
    return outcome.rows.front().front().number;
}

void DbLogError(const DbOutcome& failure)
{
    std::string line;
    line.reserve(failure.message.size());
    for (char c : failure.message)
    {
        if (c == '\r')
            continue;
        line += (c == '\n' || c == '\t') ? ' ' : c;
    }
    while (!line.empty() && line.back() == ' ')
        line.pop_back();
    LogEvent(line);
}

} // namespace tarvell
