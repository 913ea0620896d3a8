#include "datafiles/write_problems.h"

#include "config/station_groups.h"
#include "log/event_log.h"

namespace tarvell
{

void ReportProblem(CChannelRecord& channel, unsigned problem, const std::string& text)
{
    channel.lastProblem = text;
    if ((channel.reported & problem) != 0)
        return;
    channel.reported |= problem;
    LogEvent(text);
}

void ProblemOver(CChannelRecord& channel, unsigned problem, const std::string& text)
{
    if ((channel.reported & problem) == 0)
        return;
    channel.reported &= ~problem;
    if (!text.empty())
        LogEvent(text);
}

} // namespace tarvell
