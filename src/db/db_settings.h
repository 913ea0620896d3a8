#pragma once
// The search for the database settings: command line, program INI, KDX.ini, built-in
// defaults. Built and run at start-up on the main thread (and by the connection dialog on
// the user-interface thread).

#include <string>
#include <string_view>
#include <vector>

namespace tarvell
{

// The data source that the built-in defaults name, and its login.
inline constexpr const char* kDefaultDsn = "KDX";
inline constexpr const char* kDefaultDbUser = "KDX";
inline constexpr const char* kDefaultDbPassword = "QZT";
inline constexpr const char* kDefaultDataDir = "/var/lib/kdx/data";

// The name of the database password among the service manager's credentials
// ($CREDENTIALS_DIRECTORY/db-password, systemd's LoadCredential=db-password:FILE).
inline constexpr const char* kPasswordCredential = "db-password";

// One ODBC data source the driver manager knows.
struct DataSourceEntry
{
    std::string name;
    int kind = 0; // 1: system data source, 0: user data source
};

class CDbSettings
{
public:
    static constexpr std::size_t kMaxDataSources = 256;

    // Settings without a command line (the connection dialog's, which lists data sources):
    // the KDX.ini named by $KDX_INI (else /etc/KDX.ini), and the program INI g_iniPath (else
    // the executable's own).
    CDbSettings();

    // Settings with the given command-line arguments: those that follow the program's own
    // options (the value of an option such as an INI path must never be taken for a
    // setting), or a test's; the INI paths as above.
    explicit CDbSettings(const std::vector<std::string>& arguments);

    virtual ~CDbSettings();

    // Takes the command-line tail from arguments: from the first "ODBC=" (any letter case,
    // also inside an argument) to the end, every argument one token. Upper-cased, as every
    // value from the command line is, except the value of "DATA=": a path on this system is
    // case-sensitive.
    void SetCommandLine(const std::vector<std::string>& arguments);

    // Fills dataSources: the system data sources, then the user data sources (at most 256).
    void ListDataSources();

    // The settings search. Sources in this order: the command line, the program INI, KDX.ini,
    // the built-in defaults; the first that names a data source connects (DbConnect without
    // report) with the values it put into g_dsn, g_dbUser, g_dbPassword and g_dbDataDir.
    // True when a connection was made. A source that names a data source and fails ends the
    // search with false: after a failed command line or program INI neither KDX.ini nor the
    // defaults are tried, after a failed KDX.ini not the defaults.
    // The password of an INI file is the first line of the file its [DATABASE] PASSWORD_FILE
    // names, when it names one; the service manager's credential db-password, when it is
    // handed over, is the password of every source. A password file or credential that cannot
    // be used (unreadable, empty, open to others) fails its source without a connection
    // attempt, and a password on the command line is warned about; both on stderr and in the
    // event log.
    bool LoadAndConnect();

    // The command-line tail as one text (tokens joined by blanks), empty without "ODBC=".
    std::string commandTail;
    std::string kdxIniPath;
    std::string programIniPath;
    std::vector<DataSourceEntry> dataSources;

private:
    // The tokens of the tail, one per argument; the value of a "DATA=" token keeps its case.
    std::vector<std::string> m_tokens;
    std::vector<std::string> m_originalTokens;
};

} // namespace tarvell
