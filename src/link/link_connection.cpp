#include "link/link_connection.h"

#include "link/transfer_error.h"

namespace tarvell
{

CLinkConnection::CLinkConnection(std::shared_ptr<CLinkCounters> counters)
    : m_counters(counters ? std::move(counters) : std::make_shared<CLinkCounters>("", 0))
{
}

unsigned char* CLinkConnection::MessageBuffer()
{
    // Not zeroed: a buffer this large is mapped on demand, so only the pages that messages
    // really fill (a packet holds about 1 KiB) become resident, not the whole 354 KiB.
    if (!m_messageBuffer)
        m_messageBuffer.reset(new unsigned char[kMessageBufferSize]);
    return m_messageBuffer.get();
}

bool CLinkConnection::StopRequested() const
{
    if (runFlag != nullptr && runFlag->load(std::memory_order_relaxed) == 0)
        return true;
    return m_counters->reconnectRequested.load(std::memory_order_relaxed);
}

int CLinkConnection::StopCode() const
{
    if (runFlag != nullptr && runFlag->load(std::memory_order_relaxed) == 0)
        return kTransferStopped;
    return kTransferReconnectAsked;
}

void CLinkConnection::BeginConnection(std::string_view serverHost)
{
    host.assign(serverHost);
    reportedFaults = 0;
    skippedPackets = 0;
}

} // namespace tarvell
