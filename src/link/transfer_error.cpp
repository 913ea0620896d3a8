#include "link/transfer_error.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

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

std::string LinkFailureText(int code, int systemError)
{
    if (code == kTransferSocketError)
    {
        if (systemError == 0)
            return "the server closed the connection";
        if (systemError == ETIMEDOUT)
            return "no data from the server within the silence limit";
        return std::string("socket error: ") + std::strerror(systemError);
    }
    if (code == kTransferBroken && systemError != 0)
        return std::string("connection broken while sending: ") + std::strerror(systemError);
    return TransferErrorText(code);
}

std::string ConnectFailureText(int result, std::string_view host, int code, int systemError)
{
    char text[512];
    switch (result)
    {
    case -1:
        if (host.empty())
            return "no host name";
        std::snprintf(text, sizeof text, "the opening exchange failed: %s, code %d",
                      LinkFailureText(code, systemError).c_str(), code);
        return text;
    case -2:
        std::snprintf(text, sizeof text, "host name not found, code %d", kTransferHostNotFound);
        return text;
    case -4:
        return "port not between 1 and 65535";
    case -5:
        return std::string("no socket: ") + std::strerror(systemError);
    case -6:
        if (systemError == ECONNREFUSED)
            return "connection refused: nothing listens on the port";
        if (systemError == ETIMEDOUT)
            return "no answer to the connection within the silence limit";
        return std::string("connection failed: ") + std::strerror(systemError);
    default:
        std::snprintf(text, sizeof text, "connection failed (result %d)", result);
        return text;
    }
}

} // namespace tarvell
