#include "link/link_state.h"

#include "link/connection.h"

namespace tarvell
{

unsigned char* CLinkState::MessageBuffer()
{
    if (!m_messageBuffer)
        m_messageBuffer = std::make_unique<unsigned char[]>(kMessageBufferSize);
    return m_messageBuffer.get();
}

void CLinkState::BeginConnection(std::string_view serverHost)
{
    host.assign(serverHost);
    reportedFaults = 0;
    skippedPackets = 0;
}

CLinkState& ThreadLinkState()
{
    thread_local CLinkState state;
    return state;
}

} // namespace tarvell
