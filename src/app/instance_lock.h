#pragma once
// Keeps a second tarvell from running on the same INI file: two writers would corrupt the
// archive and the resume times. Main thread only.

#include <string>

#include "platform/unique_fd.h"

namespace tarvell
{

class CInstanceLock
{
public:
    // Takes the lock on "<iniPath>.lock" (created if missing) and writes our process id into
    // it. False, with a message for the operator in *error, when another process holds it or
    // the lock file cannot be made. The lock lasts as long as this object (or the process).
    [[nodiscard]] bool Acquire(const std::string& iniPath, std::string* error);

    bool Held() const { return static_cast<bool>(m_fd); }

private:
    UniqueFd m_fd;
};

} // namespace tarvell
