#pragma once
// Conditions of a channel's writing that are logged once when they begin and once when they
// end, not for every chunk while they last. The thread that writes the channel.

#include <string>

namespace tarvell
{

class CChannelState;

// Logs text unless the problem (a WriteProblem bit) is already logged for the channel; keeps
// it as the channel's last problem either way.
void ReportProblem(CChannelState& channel, unsigned problem, const std::string& text);

// True while the problem (a WriteProblem bit) is reported for the channel: a caller on the
// path of every chunk asks first, before it makes the text of ProblemOver.
bool ProblemReported(const CChannelState& channel, unsigned problem);

// The problem is over: logs text (when not empty) if it had been reported.
void ProblemOver(CChannelState& channel, unsigned problem, const std::string& text = {});

} // namespace tarvell
