#pragma once
// Statement-level access to the one shared KDX database connection. Any thread: every call
// is one whole database operation (probe and quiet reconnect, statement, fetch, free) under
// the connection lock, so threads never meet on the connection, and a reconnect never
// overlaps another thread's statement.

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <initializer_list>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tarvell
{

// How a result column is bound.
enum class DbType
{
    Text,   // character data
    Double, // SQL_C_DOUBLE
    Int32,  // SQL_C_SLONG
};

struct DbCell
{
    bool isNull = true; // the driver's indicator said SQL_NULL_DATA (for example SUM of no rows)
    std::string text;
    double number = 0;
    std::int32_t integer = 0;
};

using DbRow = std::vector<DbCell>;

struct DbOutcome
{
    bool ok = false;          // the statement succeeded (SQL_SUCCESS or SQL_SUCCESS_WITH_INFO;
                              // an update or delete that matched no row succeeds too)
    std::string message;      // the first diagnostic message of a failure, empty otherwise
    std::string sqlState;     // its SQLSTATE
    std::vector<DbRow> rows;  // the fetched rows of a query, in fetch order
    long long rowCount = -1;  // rows affected by an insert, update or delete, if the driver says
    bool unreachable = false; // the database is away: nothing was run (or the connection was
                              // lost and could not be made again)
    std::size_t failedStatement = 0; // in a transaction, the index of the statement that failed
    bool guardFailed = false; // the guard of a guarded transaction matched no row: nothing done
};

// Executes sql directly on a fresh statement. A statement that fails because the connection
// was lost (SQLSTATE class 08, or 57P01 from a server shutting down) is tried once more after
// a reconnect, so a database restart loses no row. While the database is away (see
// db/db_health.h) nothing is run and the outcome says unreachable at once.
DbOutcome DbExecute(std::string_view sql);

// Executes the statements, in order, as one transaction: all take effect, or (on any
// failure) none. Retried whole after a lost connection like DbExecute, so every statement
// must give the same result when it runs twice (set values, delete before insert).
DbOutcome DbExecuteAll(std::span<const std::string> statements);

// As DbExecuteAll, with guard run first in the same transaction: when guard (an update)
// changes no row, nothing of the transaction takes effect and the outcome says guardFailed.
// What a lease's holder commits with: the statements take effect only while the lease row
// still names it.
DbOutcome DbExecuteAllGuarded(std::string_view guard, std::span<const std::string> statements);

// Runs the statements as one transaction and rolls it back at the end: whether the database
// would take them (ok), with nothing of them left behind either way. Not retried.
DbOutcome DbTryAll(std::span<const std::string> statements);

// True when the failure is the database refusing the statement's values (a constraint, a
// value too long or out of range for its column), not a fault of the database itself: the
// same statement fails again, while others succeed.
bool DbRefusedValues(const DbOutcome& failure);

// Executes the query sql and fetches up to maxRows rows, binding result columns 1..n as the
// given types. Retried after a lost connection like DbExecute.
DbOutcome DbQuery(std::string_view sql, std::initializer_list<DbType> columns,
                  std::size_t maxRows = std::numeric_limits<std::size_t>::max());

// text made safe to stand between single quotes in a statement (every quote doubled), so no
// configured name or path can break or alter a statement.
std::string SqlText(std::string_view text);

// The local time now as the text of an ODBC timestamp escape: "{ts 'YYYY-MM-DD HH:MM:SS'}".
std::string SqlNowTimestamp();

// The local time of t as "%Y-%m-%d %H:%M:%S", the text that stands inside {ts '...'}.
std::string SqlLocalTime(std::time_t t);

// The first column of the first row of the query sql, read as a double. Nothing when the
// statement fails (then logged with DbLogError, and *failed set when given), finds no row, or
// the value is null (as SUM over no rows is).
std::optional<double> DbQueryNumber(std::string_view sql, bool* failed = nullptr);

// Writes the message of a failed statement to the event log as one line (line breaks of
// the driver's text become blanks), without SQLSTATE or native code. Nothing for a statement
// that did not run because the database is away: the outage is logged once by itself.
void DbLogError(const DbOutcome& failure);

} // namespace tarvell
