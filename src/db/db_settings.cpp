#include "db/db_settings.h"

#include <cstdlib>

#include "db/connection.h"
#include "db/odbc_private.h"
#include "platform/file_system.h"
#include "platform/ini_profile.h"
#include "platform/program_paths.h"
#include "platform/text.h"

namespace tarvell
{
namespace
{

// The lengths of the settings as the INI files give them.
constexpr std::size_t kMaxDsn = 511;
constexpr std::size_t kMaxUser = 127;
constexpr std::size_t kMaxPassword = 127;
constexpr std::size_t kMaxDataDir = 2047;

// Reads [DATABASE] ODBC, USER, PASSWORD and [DATA] DIR of an INI file into the globals; a
// missing key gives empty text.
void ReadSettings(const std::string& iniPath)
{
    g_dsn = ReadProfileString(iniPath, "DATABASE", "ODBC", "", kMaxDsn);
    g_dbUser = ReadProfileString(iniPath, "DATABASE", "USER", "", kMaxUser);
    g_dbPassword = ReadProfileString(iniPath, "DATABASE", "PASSWORD", "", kMaxPassword);
    g_dbDataDir = ReadProfileString(iniPath, "DATA", "DIR", "", kMaxDataDir);
}

// A failed attempt leaves the connection closed for the next source or the dialog.
bool ConnectQuietly()
{
    if (DbConnect(false))
        return true;
    DbDisconnect();
    return false;
}

} // namespace

CDbSettings::CDbSettings() : CDbSettings(std::vector<std::string>{}) {}

CDbSettings::CDbSettings(const std::vector<std::string>& arguments)
{
    const char* kdxIni = std::getenv("KDX_INI");
    kdxIniPath = (kdxIni != nullptr && *kdxIni != '\0') ? kdxIni : "/etc/KDX.ini";
    programIniPath = !g_iniPath.empty() ? g_iniPath : IniPathForExecutable(ExecutablePath());
    SetCommandLine(arguments);
}

CDbSettings::~CDbSettings() = default;

void CDbSettings::SetCommandLine(const std::vector<std::string>& arguments)
{
    m_tokens.clear();
    m_originalTokens.clear();
    commandTail.clear();
    bool found = false;
    for (const std::string& argument : arguments)
    {
        std::string original = argument;
        if (!found)
        {
            std::size_t at = ToUpperAscii(argument).find("ODBC=");
            if (at == std::string::npos)
                continue;
            found = true;
            original = argument.substr(at);
        }
        m_tokens.push_back(ToUpperAscii(original));
        m_originalTokens.push_back(original);
        if (!commandTail.empty())
            commandTail += ' ';
        commandTail += m_tokens.back();
    }
}

void CDbSettings::ListDataSources()
{
    // An environment of its own: the shared connection's must not be replaced under it.
    COdbcEnvironment environment;
    if (!environment.Allocate())
        return;
    dataSources.clear();
    auto list = [&](SQLUSMALLINT direction, int kind)
    {
        for (;;)
        {
            SQLCHAR name[512] = {};
            SQLCHAR description[512] = {};
            SQLSMALLINT nameLength = 0;
            SQLSMALLINT descriptionLength = 0;
            if (!OdbcCheck(SQLDataSources(environment.Get(), direction, name, sizeof name,
                                          &nameLength, description, sizeof description,
                                          &descriptionLength),
                           SQL_HANDLE_ENV, environment.Get()))
                break;
            direction = SQL_FETCH_NEXT;
            if (dataSources.size() < kMaxDataSources && name[0] != '\0')
                dataSources.push_back({reinterpret_cast<const char*>(name), kind});
        }
    };
    list(SQL_FETCH_FIRST_SYSTEM, 1);
    list(SQL_FETCH_FIRST_USER, 0);
}

bool CDbSettings::LoadAndConnect()
{
    // 1. The command line: ODBC=, USER=, PASSWORD=, DATA= in this order; a token that is not
    // the next expected key ends the scan, so no key can be skipped.
    static const char* const kKeys[] = {"ODBC=", "USER=", "PASSWORD=", "DATA="};
    std::string* const targets[] = {&g_dsn, &g_dbUser, &g_dbPassword, &g_dbDataDir};
    std::size_t taken = 0;
    for (std::size_t i = 0; i < m_tokens.size() && taken < 4; ++i)
    {
        if (m_tokens[i].rfind(kKeys[taken], 0) != 0)
            break;
        const std::string& token = taken == 3 ? m_originalTokens[i] : m_tokens[i];
        *targets[taken] = token.substr(token.find('=') + 1);
        ++taken;
    }

    bool failed = false;
    if (taken > 0)
    {
        if (ConnectQuietly())
            return true;
        failed = true;
    }

    // 2. The program INI, unless the command line named a data source that failed.
    if (!failed && PathExists(programIniPath))
    {
        ReadSettings(programIniPath);
        if (!g_dsn.empty())
        {
            if (ConnectQuietly())
                return true;
            failed = true;
            if (!g_dbDataDir.empty())
                g_dbDataDir = ReadProfileString(kdxIniPath, "DATA", "DIR", "", kMaxDataDir);
        }
    }
    if (failed)
        return false;

    // 3. KDX.ini: a data source named there is the last one tried.
    if (PathExists(kdxIniPath))
    {
        ReadSettings(kdxIniPath);
        if (!g_dsn.empty())
            return ConnectQuietly();
    }

    // 4. The built-in defaults.
    g_dsn = kDefaultDsn;
    g_dbUser = kDefaultDbUser;
    g_dbPassword = kDefaultDbPassword;
    g_dbDataDir = kDefaultDataDir;
    return ConnectQuietly();
}

} // namespace tarvell
