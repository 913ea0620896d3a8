#pragma once
// The stall watchdog: a channel whose link is connected but which has sent nothing for the
// stall limit is logged once ("Channel ... silent since ...") and flagged in the status, and
// logged again when it flows again. With reconnect set, its link is asked to connect again,
// which asks every channel of the server from its resume time. The monitor thread only.

namespace tarvell
{

class CStallWatchdog
{
public:
    // stallSeconds: the limit; a channel's own limit is never less than three of its
    // packets' duration, so a slow channel is not called silent between two packets.
    CStallWatchdog(int stallSeconds, bool reconnect);

    // Checks every configured channel at now (epoch seconds).
    void Check(double now);

private:
    int m_stallSeconds;
    bool m_reconnect;
};

} // namespace tarvell
