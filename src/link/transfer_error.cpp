#include "link/transfer_error.h"

#include <cstdio>

namespace tarvell
{

thread_local int g_transferError = 0;

const char* TransferErrorText(int code)
{
    switch (code)
    {
    case kTransferEndOfStream:
        return "the server ended the data stream";
    case kTransferBadVersion:
        return "protocol version other than 1";
    case kTransferBadType:
        return "request type other than 1 or 2";
    case kTransferBadFormat:
        return "configuration or packet format not supported";
    case kTransferTooLarge:
        return "too many stations, channels or sample bytes, or a message shorter than its "
               "fields";
    case kTransferBadValue:
        return "negative byte count, word size other than 2 or 4, or compression other than "
               "0 or 1";
    case kTransferTooLong:
        return "message longer than the receive buffer";
    case kTransferRetryStatus:
        return "the server asked to be asked again";
    case kTransferBroken:
        return "connection broken while sending";
    case kTransferSocketError:
        return "socket error, connection closed by the server, or no data within the limit";
    case kTransferHostNotFound:
        return "host name not found";
    case kTransferStopped:
        return "stop requested";
    case kTransferReconnectAsked:
        return "a new connection was asked for (a silent channel, or one archived again)";
    case kTransferTooSlow:
        return "a message did not arrive whole within the receive limit";
    default:
        break;
    }
    thread_local char text[32];
    std::snprintf(text, sizeof text, "server status %d", code);
    return text;
}

} // namespace tarvell
