#include "db/db_settings.h"

#include <cstdlib>

#include "db/connection.h"
#include "db/odbc_private.h"
#include "log/event_log.h"
#include "platform/file_system.h"
#include "platform/ini_profile.h"
#include "platform/program_paths.h"
#include "platform/secret_file.h"
#include "platform/text.h"
#include "platform/text_format.h"

namespace tarvell
{
namespace
{

// The lengths of the settings as the INI files give them.
constexpr std::size_t kMaxDsn = 511;
constexpr std::size_t kMaxUser = 127;
constexpr std::size_t kMaxPassword = 127;
constexpr std::size_t kMaxDataDir = 2047;

// A problem with a secret goes to the operator at once, on the terminal and in the event log:
// the connection that follows would fail with a message that hides the reason.
void ReportSecretProblem(const std::string& text, LogSeverity severity = LogSeverity::Error)
{
    LogAndTell(severity, text);
}

// Reads the password from the file at path into g_dbPassword. False (reported) when the file
// cannot be used.
bool ReadPasswordFile(const std::string& path, const char* what)
{
    std::string password;
    std::string error;
    if (!ReadSecretFile(path, &password, &error))
    {
        ReportSecretProblem(
            FormatText("The database password of %s cannot be used: %s", what, error.c_str()));
        return false;
    }
    if (password.size() > kMaxPassword)
    {
        ReportSecretProblem(FormatText("The database password of %s is longer than %zu "
                                       "characters",
                                       what, kMaxPassword));
        return false;
    }
    g_dbPassword = std::move(password);
    return true;
}

// The service manager's credential, when it hands one over, is the password whichever source
// names the data source: it is the one way of giving a password that no file of the program
// and no process listing shows. False (reported) when it is there but cannot be used.
bool TakePasswordCredential()
{
    const char* directory = std::getenv("CREDENTIALS_DIRECTORY");
    if (directory == nullptr || *directory == '\0')
        return true;
    const std::string path = std::string(directory) + "/" + kPasswordCredential;
    if (!PathExists(path))
        return true;
    return ReadPasswordFile(path, "the service credential");
}

// Reads [DATABASE] ODBC, USER, PASSWORD (or the file PASSWORD_FILE names) and [DATA] DIR of an
// INI file into the globals; a missing key gives empty text. False (reported) when the
// password file or credential cannot be used.
bool ReadSettings(const std::string& iniPath)
{
    g_dsn = ReadProfileString(iniPath, "DATABASE", "ODBC", "", kMaxDsn);
    g_dbUser = ReadProfileString(iniPath, "DATABASE", "USER", "", kMaxUser);
    g_dbPassword = ReadProfileString(iniPath, "DATABASE", "PASSWORD", "", kMaxPassword);
    g_dbDataDir = ReadProfileString(iniPath, "DATA", "DIR", "", kMaxDataDir);
    const std::string passwordFile =
        ReadProfileString(iniPath, "DATABASE", "PASSWORD_FILE", "", kMaxDataDir);
    if (!passwordFile.empty() &&
        !ReadPasswordFile(passwordFile, ("[DATABASE] PASSWORD_FILE of " + iniPath).c_str()))
        return false;
    return TakePasswordCredential();
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

    if (taken > 2)
    {
        ReportSecretProblem("The database password was given on the command line, where other "
                            "users of this machine can read it: give it in a file named by "
                            "[DATABASE] PASSWORD_FILE, or as the service credential " +
                                std::string(kPasswordCredential),
                            LogSeverity::Warning);
    }

    bool failed = false;
    if (taken > 0)
    {
        if (TakePasswordCredential() && ConnectQuietly())
            return true;
        failed = true;
    }

    // 2. The program INI, unless the command line named a data source that failed.
    if (!failed && PathExists(programIniPath))
    {
        const bool usable = ReadSettings(programIniPath);
        if (!g_dsn.empty())
        {
            if (usable && ConnectQuietly())
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
        const bool usable = ReadSettings(kdxIniPath);
        if (!g_dsn.empty())
            return usable && ConnectQuietly();
    }

    // 4. The built-in defaults.
    g_dsn = kDefaultDsn;
    g_dbUser = kDefaultDbUser;
    g_dbPassword = kDefaultDbPassword;
    g_dbDataDir = kDefaultDataDir;
    return TakePasswordCredential() && ConnectQuietly();
}

} // namespace tarvell
