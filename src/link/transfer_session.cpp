#include "link/transfer_session.h"

#include <cstdio>

#include "link/framed_transport.h"
#include "link/packet_decoding.h"
#include "link/transfer_error.h"
#include "link/transfer_request.h"
#include "link/wire.h"
#include "log/event_log.h"
#include "platform/unique_fd.h"

namespace tarvell
{

std::atomic<std::int64_t> g_receivedTotal{0};

namespace
{

int Fail(int code)
{
    g_transferError = code;
    return -1;
}

void ReportSkipped(CLinkConnection& link, const RawPacket& packet, PacketFault fault)
{
    ++link.skippedPackets;
    link.Counters().packetsSkipped.fetch_add(1, std::memory_order_relaxed);
    // Once per kind and connection: a server that keeps sending such packets must not fill
    // the event log.
    if (!link.FirstReport(1u << static_cast<unsigned>(fault)))
        return;
    char line[512];
    std::snprintf(line, sizeof line,
                  "Packet from server %s skipped: %s (station index %d, channel index %d, "
                  "%d samples, %d bytes); further ones are skipped without a message",
                  link.host.c_str(), PacketFaultText(fault), packet.stationIndex,
                  packet.channelIndex, packet.count, packet.byteCount);
    LogEvent(line);
}

// Reads the status message that follows a break into *status. Returns 0, or -1 with the
// read's code, or code 10 for a status message shorter than its 4-byte code.
int RecvStatus(CLinkConnection& link, int socket, std::int32_t* status)
{
    unsigned char* buffer = link.MessageBuffer();
    std::uint32_t length = 0;
    if (RecvFramed(link, socket, buffer, kMessageBufferSize, &length) != 0)
        return -1;
    if (length < 4)
        return Fail(kTransferTooLarge);
    *status = ReadBE32Signed(buffer);
    return 0;
}

} // namespace

int ConnectServer(CLinkConnection& link, std::string_view host, int port,
                  const TransferRequest& request, ServerConfig& config, int retryMode)
{
    link.currentTimeout = request.timeout;
    link.BeginConnection(host);
    const int sendBuffer =
        request.sendBufferSize <= 0 ? kDefaultSocketBuffer : request.sendBufferSize;
    const int receiveBuffer =
        request.receiveBufferSize <= 0 ? kDefaultSocketBuffer : request.receiveBufferSize;

    for (int step = 0;; step = (step + 1) % 4)
    {
        // The pause grows with each attempt and starts again after four, so a server that
        // keeps asking the client to come back is not hammered and never waited on for long.
        if (!PauseUnlessStopped(link, step * request.timeout))
            return Fail(link.StopCode());
        const int opened = OpenConnection(link, host, port, sendBuffer, receiveBuffer);
        if (opened < 0)
            return opened;
        UniqueFd socket(opened);
        if (SendRequest(link, socket.Get(), request) == 0 &&
            RecvConfig(link, socket.Get(), config) == 0)
            return socket.Release();
        socket.Reset();

        if (link.StopRequested())
            return Fail(link.StopCode());
        if (retryMode == 0)
            return -1;
        if (g_transferError == kTransferRetryStatus)
            continue;
        if (retryMode > 0)
            return -1;
    }
}

int SendRequest(CLinkConnection& link, int socket, const TransferRequest& request)
{
    unsigned char* buffer = link.MessageBuffer();
    const int length = EncodeRequest(buffer + 4, request);
    if (length < 0)
        return -1;
    return SendFramed(link, socket, buffer, static_cast<std::uint32_t>(length));
}

int RecvConfig(CLinkConnection& link, int socket, ServerConfig& config)
{
    unsigned char* buffer = link.MessageBuffer();
    std::uint32_t length = 0;
    if (RecvFramed(link, socket, buffer, kMessageBufferSize, &length) != 0)
        return -1;
    if (length != 0)
    {
        const DecodeResult result = DecodeConfig(buffer, length, config);
        if (result.Failed())
            return Fail(result.code);
        if (config.unterminatedNames > 0)
        {
            char line[512];
            std::snprintf(line, sizeof line,
                          "Configuration from server %s: %d names fill their 8 bytes without "
                          "a terminator; they are kept whole",
                          link.host.c_str(), config.unterminatedNames);
            LogEvent(line);
        }
        return 0;
    }
    // A break instead of the configuration: the server's status says why.
    std::int32_t status = 0;
    if (RecvStatus(link, socket, &status) == 0)
        g_transferError = status;
    return -1;
}

int RecvPacket(CLinkConnection& link, int socket, const ServerConfig& config, RawPacket& packet)
{
    unsigned char* buffer = link.MessageBuffer();
    for (;;)
    {
        if (link.StopRequested())
            return Fail(link.StopCode());
        std::uint32_t length = 0;
        if (RecvFramed(link, socket, buffer, kMessageBufferSize, &length) != 0)
            return -1;
        g_receivedTotal.fetch_add(length, std::memory_order_relaxed);
        if (length > 0)
        {
            const DecodeResult result = DecodePacket(config, packet, buffer, length);
            if (result.Failed())
                return Fail(result.code);
            if (result.Skipped())
            {
                ReportSkipped(link, packet, result.fault);
                continue;
            }
            link.Counters().packetsReceived.fetch_add(1, std::memory_order_relaxed);
            return 0;
        }
        std::int32_t status = 0;
        if (RecvStatus(link, socket, &status) != 0)
            return -1;
        if (status == 1)
        {
            g_transferError = kTransferEndOfStream;
            return 1;
        }
        if (status != 0)
            return Fail(status);
        // Status 0: the server is alive and has nothing to send yet.
    }
}

} // namespace tarvell
