#pragma once
// tarvell --status: asks the status server of a running program (the address in [STATUS]
// LISTEN of its INI file) and prints its channel table for an operator on a terminal, or
// the JSON as it came. Main thread only.

#include <cstdio>
#include <string>

namespace tarvell
{

// Exit status of --status: 0 all well: every channel archived here flows on a connected
// server, the database is up and the data root is there (channels another instance of the
// fleet archives do not count); 1 not so, with the reasons in one line on err; 2 no answer (no
// LISTEN in the INI, nothing listening, the token refused or unreadable, or an answer that is no
// status: not JSON, cut short, a field missing or of another type). The token of [STATUS]
// TOKEN_FILE is sent when one is named. Never throws.
inline constexpr int kStatusWell = 0;
inline constexpr int kStatusTrouble = 1;
inline constexpr int kStatusNoAnswer = 2;

int PrintStatus(const std::string& iniPath, bool json, std::FILE* out, std::FILE* err);

} // namespace tarvell
