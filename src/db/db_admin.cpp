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
    DbOutcome outcome;
    COdbcConnection connection;
    OdbcDiagnostic failure;
    if (!connection.DriverConnect(connectString, &failure))
        return Failure(failure);
    outcome.ok = true;
    for (const std::string& statement : statements)
    {
        COdbcStatement handle;
        if (!OdbcCheck(handle.Allocate(connection.Get()), SQL_HANDLE_DBC, connection.Get(),
                       &failure))
            return Failure(failure);
        std::string sql = statement;
        SQLRETURN result = SQLExecDirect(handle.Get(), reinterpret_cast<SQLCHAR*>(sql.data()),
                                         static_cast<SQLINTEGER>(sql.size()));
        if (result != SQL_NO_DATA && !OdbcCheck(result, SQL_HANDLE_STMT, handle.Get(), &failure))
            return Failure(failure);
    }
    return outcome;
}

} // namespace tarvell
