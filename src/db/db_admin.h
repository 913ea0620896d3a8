#pragma once
// Database administration outside the program's run: schema scripts and one-off connections,
// for tools/kdx-db and the tests. Any thread; DbRunScript uses the shared connection.

#include <string>
#include <string_view>
#include <vector>

#include "db/db_access.h"

namespace tarvell
{

// The statements of an SQL script: "--" comments dropped (outside quotes), each statement
// ended by ";" (outside quotes) or by the end of the script, trimmed; empty ones left out.
std::vector<std::string> SplitSqlScript(std::string_view script);

// Runs statements in order on the shared connection; stops at the first failure and
// returns it (ok with no rows when every statement succeeded).
DbOutcome DbRunScript(const std::vector<std::string>& statements);

// Connects with an ODBC connection string (SQLDriverConnect, for example
// "Driver={PostgreSQL Unicode};Servername=...;Database=postgres;..."), runs statements in
// order on that connection alone, and disconnects. Stops at the first failure and returns it.
DbOutcome DbRunOnce(std::string_view connectString, const std::vector<std::string>& statements);

} // namespace tarvell
