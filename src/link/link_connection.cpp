#include "link/link_connection.h"

#include <algorithm>
#include <cstring>

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

std::size_t CLinkConnection::TakeReadAhead(int socket, unsigned char* destination,
                                           std::size_t count)
{
    if (socket != m_aheadSocket)
        DropReadAhead();
    const std::size_t taken = std::min(count, m_aheadEnd - m_aheadBegin);
    if (taken > 0)
        std::memcpy(destination, m_readAhead.get() + m_aheadBegin, taken);
    m_aheadBegin += taken;
    if (m_aheadBegin == m_aheadEnd)
        DropReadAhead();
    return taken;
}

unsigned char* CLinkConnection::ReadAheadRoom(int socket)
{
    if (!m_readAhead)
        m_readAhead.reset(new unsigned char[kReadAheadSize]);
    m_aheadSocket = socket;
    DropReadAhead();
    return m_readAhead.get();
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
    DropReadAhead();
}

} // namespace tarvell
