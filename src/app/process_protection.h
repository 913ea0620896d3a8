#pragma once
// What the process does for itself before it reads a password or a token: it raises its
// limit of open descriptors as far as it may, so that a flood of status connections or a
// large configuration never leaves the archive short of files, and it forbids core dumps
// (unless [SYSTEM] CORE_DUMPS=1 asks for them), so that no core file and no other process
// of the same user can read the secrets in its memory. Main thread only.

#include <string>

namespace tarvell
{

// Raises the descriptor limit and forbids core dumps unless [SYSTEM] CORE_DUMPS of iniPath
// is 1. Called first, before other threads start.
void ProtectProcess(const std::string& iniPath);

// Writes to the event log what the process allows itself: its descriptor limit and, when
// they are on, that core dumps may hold the secrets. After InitLog.
void LogProcessProtection();

} // namespace tarvell
