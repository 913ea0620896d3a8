#include "datafiles/write_problems.h"

#include "datafiles/channel_state.h"
#include "log/event_log.h"

namespace tarvell
{

void ReportProblem(CChannelState& channel, unsigned problem, const std::string& text)
{
    channel.lastProblem = text;
    if ((channel.reported & problem) != 0)
        return;
    channel.reported |= problem;
    LogEvent(text);
}

bool ProblemReported(const CChannelState& channel, unsigned problem)
{
    return (channel.reported & problem) != 0;
}

void ProblemOver(CChannelState& channel, unsigned problem, const std::string& text)
{
    if ((channel.reported & problem) == 0)
        return;
    channel.reported &= ~problem;
    if (!text.empty())
        LogEvent(text);
}

} // namespace tarvell
