#pragma once
// tarvell --check-config: what the program would do with its INI file and database, and
// what in them breaks the limits the program relies on. Main thread only.

#include <cstdio>

namespace tarvell
{

struct CommandLine;

// Reads the INI file and the database settings, connects, loads the groups, and prints to
// out the resolved groups, servers, channel modes (time-named files or loop file, with
// paths) and resume times, followed by every problem found: sections without STATION,
// names longer than 7 characters or unsafe in a path ("/", "\", "..", bytes that are no
// printable ASCII), channels unknown to SITECHAN or without a positive rate,
// more than 64 channels in a group, 64 groups on one host or 64 hosts; and what the machine
// would refuse: a data root that is missing or not writable by this user, a server name that
// does not resolve, a [STATUS] LISTEN address that cannot be listened on. Returns 0 when
// there is no problem, 1 when there is one, 2 when the database cannot be opened.
int CheckConfig(const CommandLine& line, std::FILE* out);

} // namespace tarvell
