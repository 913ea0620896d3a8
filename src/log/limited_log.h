#pragma once
// A kind of event that can come in a flood (a connection the status server refuses): the
// first is logged at once, later ones at most once a minute with the number that were
// not logged in between, so that a flood costs a few lines rather than the event log. The
// counters in /metrics count every one. Any thread.

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

namespace tarvell
{

class CLimitedLogLine
{
public:
    // Logs text, unless a line of this kind was logged less than a minute ago: then it
    // is only counted. A line logged after some were not ends with how many there were.
    // Returns true when the line was logged.
    bool Log(const std::string& text);

private:
    std::mutex m_lock;
    bool m_logged = false;                          // guarded by m_lock
    std::chrono::steady_clock::time_point m_last{}; // guarded by m_lock
    std::int64_t m_unlogged = 0;                    // guarded by m_lock
};

} // namespace tarvell
