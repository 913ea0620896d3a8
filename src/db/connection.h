#pragma once
// The one ODBC connection of the process and its settings. DbOpen runs once at start-up on
// the main thread; the other operations may run on any thread.

#include <string>

namespace tarvell
{

class CDbSettings;

// Connection settings and the data root; set at start-up before other threads exist.
extern std::string g_dsn;
extern std::string g_dbUser;
extern std::string g_dbPassword;
extern std::string g_dbDataDir;
extern std::string g_waveRoot; // the data root under which all data files lie

// Connects with g_dsn, g_dbUser, g_dbPassword; report shows the success box with the table
// list. A failed connect shows the error box whatever report says. True when connected.
bool DbConnect(bool report);

// Disconnects the shared connection if there is one; the handles stay until the next connect.
void DbDisconnect();

// Probes the connection with a real round trip to the database (SELECT 1); false when it is
// gone or was never made.
bool DbIsAlive();

// The database the shared connection reaches, as far as a statement's form depends on it.
enum class DbDialect
{
    SQLite,
    PostgreSQL,
    Other, // plain SQL only
};
DbDialect ConnectedDialect();

// Probes, and reconnects quietly when the probe fails (a failed reconnect shows its error
// box). The caller goes on whatever the outcome.
void DbEnsureConnected();

// Disconnects and frees the connection's handles (tools and tests; the program never closes
// its connection, the end of the process does).
void DbClose();

// The database start-up step: the search of settings (their command line and INI paths;
// the connection dialog if it fails), the log lines "Connected to database. ODBC: ..." and
// "Catalog with data: ...", g_waveRoot, and the adoption of g_dbNames. False when no
// connection could be made.
bool DbOpen(CDbSettings& settings);

// Adopts the database's letter case into g_dbNames on the shared connection (DbOpen's last
// step; also for tools and tests that connect with DbConnect).
void DbAdoptNames();

// Shows the connection dialog modally (the window fills in this hook): true when the dialog
// was shown and closed. Without a window there is no dialog: it shows NoDatabaseText as an
// error and returns false.
bool RunConnectDialog();

// What failed when no database setting connected, in plain words: the data source and user
// of the last attempt with the driver's message, and where unixODBC reads its data sources
// (ODBCINI, ODBCSYSINI). Any thread.
std::string NoDatabaseText();
using ConnectDialogHook = bool (*)();

// Opens the system's ODBC data source administrator modally, owned by parentWindow (the
// dialog's button "Вызов ODBC Data Source Administrator"); false when the system has none,
// as on Debian, whose installer library answers false.
bool DbManageDataSources(void* parentWindow);

// Installs the dialog (nullptr: none). Called at start-up before other threads exist.
void SetConnectDialogHook(ConnectDialogHook hook);

} // namespace tarvell
