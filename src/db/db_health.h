#pragma once
// Whether the database can be reached, and the one way back after an outage. While the
// database is away, statements fail at once instead of each trying to log in again; one
// thread at a time tries to reconnect, outside the connection lock, after a pause that grows
// from 1 s to 30 s while the database stays away. The event log says once that the
// database is unreachable (with the reason) and once that it is back (how long it was away,
// how many chunks were requested again). Any thread.

#include <cstdint>
#include <ctime>
#include <string>

namespace tarvell
{

// True unless the database is known to be away. Costs one atomic load.
bool DbReachable();

// The database is away right now: when the pause since the last attempt has passed and no
// other thread is trying, this thread tries to reconnect (outside the connection lock) and
// returns true when it succeeded. With immediately the pause is not waited for (a connection
// lost by a statement is tried again at once, so a database restart costs no row). True at
// once while the database is reachable.
bool DbRestore(bool immediately);

// A statement found the connection gone (reason: the driver's message). Marks the database
// away until a reconnect succeeds; logs the loss once.
void DbNoteConnectionLost(const std::string& reason);

// A connection was made (start-up, the dialog): the database is reachable.
void DbNoteConnected();

// A chunk was taken back because the database could not register it; counted for the line
// that says the database is back.
void DbCountTakenBackChunk();

// Forgets every outage (tests that run the program's pieces more than once).
void ResetDbHealthForTest();

} // namespace tarvell
