#pragma once
// tarvell --status: asks the status server of a running program (the address in [STATUS]
// LISTEN of its INI file) and prints its channel table for an operator on a terminal, or
// the JSON as it came. Main thread only.

#include <cstdio>
#include <string>

namespace tarvell
{

// Exit status of --status: 0 all well, 1 a channel is silent or the database is away,
// 2 no answer (no LISTEN in the INI, nothing listening, the token refused or unreadable, or an
// answer that is no status: not JSON, cut short, a field missing or of another type). The
// token of [STATUS] TOKEN_FILE is sent when one is named. Never throws.
inline constexpr int kStatusWell = 0;
inline constexpr int kStatusTrouble = 1;
inline constexpr int kStatusNoAnswer = 2;

int PrintStatus(const std::string& iniPath, bool json, std::FILE* out, std::FILE* err);

} // namespace tarvell
