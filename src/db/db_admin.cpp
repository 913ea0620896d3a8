#include "db/db_admin.h"

#include "db/odbc_private.h"

namespace tarvell
{
namespace
{

std::string Trimmed(std::string_view text)
{
    std::size_t begin = text.find_first_not_of(" \t\r\n");
    if (begin == std::string_view::npos)
        return {};
    std::size_t end = text.find_last_not_of(" \t\r\n");
    return std::string(text.substr(begin, end - begin + 1));
}

DbOutcome Failure(const OdbcDiagnostic& diagnostic)
{
    DbOutcome outcome;
    outcome.sqlState = diagnostic.sqlState;
    outcome.message = diagnostic.message;
    return outcome;
}

} // namespace

std::vector<std::string> SplitSqlScript(std::string_view script)
{
    std::vector<std::string> statements;
    std::string current;
    bool quoted = false;
    for (std::size_t i = 0; i < script.size(); ++i)
    {
        char c = script[i];
        if (!quoted && c == '-' && i + 1 < script.size() && script[i + 1] == '-')
        {
            std::size_t end = script.find('\n', i);
            if (end == std::string_view::npos)
                break;
            i = end;
            current += '\n';
            continue;
        }
        if (c == '\'')
            quoted = !quoted;
        if (!quoted && c == ';')
        {
            std::string statement = Trimmed(current);
            if (!statement.empty())
                statements.push_back(std::move(statement));
            current.clear();
            continue;
        }
        current += c;
    }
    std::string statement = Trimmed(current);
    if (!statement.empty())
        statements.push_back(std::move(statement));
    return statements;
}

DbOutcome DbRunScript(const std::vector<std::string>& statements)
{
    DbOutcome outcome;
    outcome.ok = true;
    for (const std::string& statement : statements)
    {
        outcome = DbExecute(statement);
        if (!outcome.ok)
            return outcome;
    }
    return outcome;
}

DbOutcome DbRunOnce(std::string_view connectString, const std::vector<std::string>& statements)
{
    SQLHENV environment = SQL_NULL_HENV;
    SQLHDBC connection = SQL_NULL_HDBC;
    DbOutcome outcome;
    if (SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &environment) == SQL_ERROR)
    {
        outcome.message = "cannot allocate an ODBC environment";
        return outcome;
    }
    SQLSetEnvAttr(environment, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3),
                  0);
    if (SQLAllocHandle(SQL_HANDLE_DBC, environment, &connection) == SQL_ERROR)
    {
        SQLFreeHandle(SQL_HANDLE_ENV, environment);
        outcome.message = "cannot allocate an ODBC connection";
        return outcome;
    }

    std::string text(connectString);
    SQLRETURN result = SQLDriverConnect(
        connection, nullptr, reinterpret_cast<SQLCHAR*>(text.data()),
        static_cast<SQLSMALLINT>(text.size()), nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT);
    if (!OdbcSucceeded(result))
    {
        outcome = Failure(ReadDiagnostic(SQL_HANDLE_DBC, connection));
    }
    else
    {
        outcome.ok = true;
        for (const std::string& statement : statements)
        {
            COdbcStatement handle;
            if (!OdbcSucceeded(handle.Allocate(connection)))
            {
                outcome = Failure(ReadDiagnostic(SQL_HANDLE_DBC, connection));
                break;
            }
            std::string sql = statement;
            result = SQLExecDirect(handle.Get(), reinterpret_cast<SQLCHAR*>(sql.data()),
                                   static_cast<SQLINTEGER>(sql.size()));
            if (!OdbcSucceeded(result) && result != SQL_NO_DATA)
            {
                outcome = Failure(ReadDiagnostic(SQL_HANDLE_STMT, handle.Get()));
                break;
            }
        }
        SQLDisconnect(connection);
    }
    SQLFreeHandle(SQL_HANDLE_DBC, connection);
    SQLFreeHandle(SQL_HANDLE_ENV, environment);
    return outcome;
}

} // namespace tarvell
