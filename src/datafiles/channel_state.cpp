#include "datafiles/channel_state.h"

namespace tarvell
{

CChannelState::CChannelState(const CChannelRecord& config)
    : name(config.name), sampleRate(config.sampleRate), loopFile(config.loopFile),
      counters(config.counters ? config.counters
                               : std::make_shared<CChannelCounters>("", config.name))
{
}

void CChannelState::EmptyBuffer()
{
    bufferStart = 0;
    bufferDuration = 0;
    bufferCount = 0;
    bufferArrivedMs = 0;
    bufferTakenMs = 0;
}

} // namespace tarvell
