#include "db/db_access.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "db/connection.h"
#include "db/db_health.h"
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
                break; // a failure is read below, once
            bool whole = indicator != SQL_NO_TOTAL && indicator < static_cast<SQLLEN>(sizeof piece);
            cell.text.append(piece, whole ? static_cast<std::size_t>(indicator) : sizeof piece - 1);
            if (whole || result == SQL_SUCCESS)
                break;
        }
        break;
    }
    }
    if (!OdbcCheck(result, SQL_HANDLE_STMT, statement, &failure))
        return false;
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

// Executes sql on statement; SQL_NO_DATA (an update or delete that matched no row) succeeds.
bool Execute(COdbcStatement& statement, std::string_view sql, DbOutcome& outcome,
             bool* matchedNothing)
{
    std::string text(sql);
    SQLRETURN result = SQLExecDirect(statement.Get(), reinterpret_cast<SQLCHAR*>(text.data()),
                                     static_cast<SQLINTEGER>(text.size()));
    *matchedNothing = result == SQL_NO_DATA;
    if (*matchedNothing)
        return true;
    OdbcDiagnostic failure;
    if (!OdbcCheck(result, SQL_HANDLE_STMT, statement.Get(), &failure))
    {
        Fail(outcome, failure);
        return false;
    }
    return true;
}

bool AllocateOn(SQLHDBC connection, COdbcStatement& statement, DbOutcome& outcome)
{
    OdbcDiagnostic failure;
    if (OdbcCheck(statement.Allocate(connection), SQL_HANDLE_DBC, connection, &failure))
        return true;
    Fail(outcome, failure);
    return false;
}

void FetchRows(COdbcStatement& statement, const std::vector<DbType>& columns, std::size_t maxRows,
               DbOutcome& outcome)
{
    while (outcome.rows.size() < maxRows)
    {
        SQLRETURN result = SQLFetch(statement.Get());
        if (result == SQL_NO_DATA)
            break;
        OdbcDiagnostic failure;
        if (!OdbcCheck(result, SQL_HANDLE_STMT, statement.Get(), &failure))
        {
            Fail(outcome, failure);
            return;
        }
        DbRow row(columns.size());
        for (std::size_t i = 0; i < columns.size(); ++i)
        {
            if (!ReadCell(statement.Get(), static_cast<SQLUSMALLINT>(i + 1), columns[i], row[i],
                          failure))
            {
                Fail(outcome, failure);
                return;
            }
        }
        outcome.rows.push_back(std::move(row));
    }
    (void)OdbcCheck(SQLCloseCursor(statement.Get()), SQL_HANDLE_STMT, statement.Get());
    outcome.ok = true;
}

// The rows the insert, update or delete just executed on statement changed: 0 when it matched
// none, -1 when the driver cannot say.
long long RowsChanged(COdbcStatement& statement, bool matchedNothing)
{
    if (matchedNothing)
        return 0;
    SQLLEN count = -1;
    return OdbcCheck(SQLRowCount(statement.Get(), &count), SQL_HANDLE_STMT, statement.Get())
               ? static_cast<long long>(count)
               : -1;
}

// One attempt: a fresh statement on the shared connection, executed directly; for a query
// its rows are fetched; the statement is freed before returning. Caller holds the lock.
DbOutcome RunOnce(std::string_view sql, const std::vector<DbType>* columns, std::size_t maxRows)
{
    DbOutcome outcome;
    COdbcStatement statement;
    if (!AllocateOn(SharedConnection(), statement, outcome))
        return outcome;
    bool matchedNothing = false;
    if (!Execute(statement, sql, outcome, &matchedNothing))
        return outcome;
    if (matchedNothing || columns == nullptr)
    {
        outcome.ok = true;
        outcome.rowCount = RowsChanged(statement, matchedNothing);
        return outcome;
    }
    FetchRows(statement, *columns, maxRows, outcome);
    return outcome;
}

// The statements as one transaction on the shared connection: all take effect or none.
// *suspect is set when the transaction did not end as a plain commit: whatever the driver did
// then (SQLite rolls back by itself and its driver does not notice), the connection is not
// trusted with another statement. Caller holds the lock.
DbOutcome RunTransactionOnce(std::span<const std::string> statements, bool commit, bool* suspect,
                             bool guarded = false)
{
    DbOutcome outcome;
    const SQLHDBC connection = SharedConnection();
    OdbcDiagnostic failure;
    if (!OdbcCheck(SQLSetConnectAttr(connection, SQL_ATTR_AUTOCOMMIT,
                                     reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF), 0),
                   SQL_HANDLE_DBC, connection, &failure))
    {
        Fail(outcome, failure);
        *suspect = connection != SQL_NULL_HDBC;
        return outcome;
    }
    bool ok = true;
    for (const std::string& sql : statements)
    {
        COdbcStatement statement;
        bool matchedNothing = false;
        if (!AllocateOn(connection, statement, outcome) ||
            !Execute(statement, sql, outcome, &matchedNothing))
        {
            ok = false;
            break;
        }
        if (guarded && outcome.failedStatement == 0 && RowsChanged(statement, matchedNothing) <= 0)
        {
            outcome.guardFailed = true;
            outcome.message = "the guard of the transaction matched no row";
            ok = false;
            break;
        }
        ++outcome.failedStatement;
    }
    if (ok && commit &&
        !OdbcCheck(SQLEndTran(SQL_HANDLE_DBC, connection, SQL_COMMIT), SQL_HANDLE_DBC, connection,
                   &failure))
    {
        Fail(outcome, failure);
        ok = false;
    }
    if (!ok || !commit)
    {
        const bool rolledBack = OdbcCheck(SQLEndTran(SQL_HANDLE_DBC, connection, SQL_ROLLBACK),
                                          SQL_HANDLE_DBC, connection);
        // A guard that matched nothing is an answer, not a fault: a clean rollback leaves the
        // connection as good as before.
        if ((!ok && !outcome.guardFailed) || !rolledBack)
            *suspect = true;
    }
    // Every other statement of the program commits on its own; a connection that cannot be
    // put back to that is not used again either.
    if (!OdbcCheck(SQLSetConnectAttr(connection, SQL_ATTR_AUTOCOMMIT,
                                     reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_ON), 0),
                   SQL_HANDLE_DBC, connection))
        *suspect = true;
    outcome.ok = ok;
    return outcome;
}

DbOutcome Unreachable()
{
    DbOutcome outcome;
    outcome.unreachable = true;
    outcome.sqlState = "08001";
    outcome.message = "the database is unreachable";
    return outcome;
}

// One whole operation. While the database is known to be away, nothing is tried (unless
// the pause before the next reconnect has passed, and no other thread is trying): the caller
// learns at once that it is unreachable. A statement that fails because the connection was
// lost (the database restarted, the network broke) is run once more on a new connection,
// so that the restart of a database server costs no row. A statement refused by the
// database itself (a missing column, a constraint) is never repeated. A transaction that
// failed leaves a new connection behind it.
template <typename Attempt> DbOutcome AttemptOnce(Attempt& attempt)
{
    DbOutcome outcome;
    std::unique_ptr<COdbcConnection> broken;
    {
        CDbOperation operation;
        bool suspect = false;
        outcome = attempt(&suspect);
        if (suspect && !IsConnectionLoss(outcome.sqlState))
            broken = BeginConnectionRenewal();
    }
    if (broken)
        FinishConnectionRenewal(std::move(broken));
    return outcome;
}

template <typename Attempt> DbOutcome Run(Attempt attempt)
{
    if (!DbRestore(false))
        return Unreachable();
    WaitWhileConnectionRenewed();
    DbOutcome outcome = AttemptOnce(attempt);
    if (!outcome.ok && IsConnectionLoss(outcome.sqlState))
    {
        DbNoteConnectionLost(outcome.message);
        if (!DbRestore(true))
        {
            outcome.unreachable = true;
            return outcome;
        }
        outcome = AttemptOnce(attempt);
    }
    return outcome;
}

} // namespace

DbOutcome DbExecute(std::string_view sql)
{
    return Run([sql](bool*) { return RunOnce(sql, nullptr, 0); });
}

DbOutcome DbQuery(std::string_view sql, std::initializer_list<DbType> columns, std::size_t maxRows)
{
    std::vector<DbType> types(columns);
    return Run([sql, &types, maxRows](bool*) { return RunOnce(sql, &types, maxRows); });
}

DbOutcome DbExecuteAll(std::span<const std::string> statements)
{
    if (statements.empty())
    {
        DbOutcome nothing;
        nothing.ok = true;
        return nothing;
    }
    return Run([statements](bool* suspect)
               { return RunTransactionOnce(statements, true, suspect); });
}

DbOutcome DbExecuteAllGuarded(std::string_view guard, std::span<const std::string> statements)
{
    std::vector<std::string> all;
    all.reserve(statements.size() + 1);
    all.emplace_back(guard);
    all.insert(all.end(), statements.begin(), statements.end());
    DbOutcome outcome =
        Run([&all](bool* suspect) { return RunTransactionOnce(all, true, suspect, true); });
    // The callers count failed statements among their own; a guard that failed is none of
    // theirs.
    if (!outcome.ok && !outcome.guardFailed)
    {
        outcome.failedStatement = outcome.failedStatement == 0
                                      ? std::numeric_limits<std::size_t>::max()
                                      : outcome.failedStatement - 1;
    }
    return outcome;
}

DbOutcome DbTryAll(std::span<const std::string> statements)
{
    if (statements.empty())
    {
        DbOutcome nothing;
        nothing.ok = true;
        return nothing;
    }
    if (!DbRestore(false))
        return Unreachable();
    WaitWhileConnectionRenewed();
    auto attempt = [statements](bool* suspect)
    { return RunTransactionOnce(statements, false, suspect); };
    return AttemptOnce(attempt);
}

bool DbRefusedValues(const DbOutcome& failure)
{
    if (failure.ok || failure.unreachable)
        return false;
    // Class 22 (data exception) and 23 (integrity constraint) by the standard's SQLSTATEs;
    // the SQLite driver says HY000 for everything and names SQLite's result code at the end
    // of its message: 19 a constraint, 20 a datatype mismatch, 25 a value out of range.
    const std::string_view state = failure.sqlState;
    if (state.substr(0, 2) == "22" || state.substr(0, 2) == "23")
        return true;
    const std::string_view message = failure.message;
    for (const char* code : {"(19)", "(20)", "(25)"})
    {
        if (message.size() >= 4 && message.substr(message.size() - 4) == code)
            return true;
    }
    return false;
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

std::optional<double> DbQueryNumber(std::string_view sql, bool* failed)
{
    DbOutcome outcome = DbQuery(sql, {DbType::Double}, 1);
    if (failed != nullptr)
        *failed = !outcome.ok;
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
    if (failure.unreachable)
        return; // the outage itself is logged once, when it begins
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
