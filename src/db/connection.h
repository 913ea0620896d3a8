#pragma once
// The one ODBC connection of the process and its settings. DbOpen runs once at start-up on
// the main thread; the other operations may run on any thread.

#include <string>

namespace tarvell
{

// Connection settings and the data root; set at start-up before other threads exist.
extern std::string g_dsn;
extern std::string g_dbUser;
extern std::string g_dbPassword;
extern std::string g_dbDataDir;
extern std::string g_waveRoot; // the data root under which all data files lie

// Connects with g_dsn, g_dbUser, g_dbPassword; report shows the success box with the table
// list. A failed connect shows the error box whatever report says. True when connected.
bool DbConnect(bool report);
void DbDisconnect();
bool DbIsAlive();
void DbEnsureConnected();

// The database start-up step: settings search (connection dialog if it fails), the log
// lines "Connected to database. ODBC: ..." and "Catalog with data: ...", g_waveRoot, and the
// adoption of g_dbNames. False when no connection could be made.
bool DbOpen();

// Shows the connection dialog modally (the window fills in this hook); without a window it
// reports that no dialog can be shown and returns false.
bool RunConnectDialog();
using ConnectDialogHook = bool (*)();
void SetConnectDialogHook(ConnectDialogHook hook);

} // namespace tarvell
