#pragma once
// The failure codes of the server link and the per-connection code g_transferError.
// Any thread; g_transferError belongs to the calling thread.

#include <string>
#include <string_view>

namespace tarvell
{

// Codes left in g_transferError. They share one number space with the status codes the
// server sends in a break message: any code not listed here is such a status.
enum TransferCode : int
{
    kTransferEndOfStream = 0,     // the server ended the data stream (status 1)
    kTransferBadVersion = 1,      // request: protocol version other than 1
    kTransferBadType = 2,         // request: type other than 1 or 2
    kTransferBadFormat = 3,       // configuration or packet format not supported
    kTransferTooLarge = 10,       // buffer smaller than the prefix; more than 64 stations or
                                  // channels; more than 1024 sample bytes; a message shorter
                                  // than the fields it declares
    kTransferBadValue = 11,       // negative byte count; word size not 2 or 4; compression not
                                  // 0 or 1
    kTransferTooLong = 12,        // message longer than the receive buffer
    kTransferRetryStatus = 13,    // server status: ask again (the opening exchange is repeated)
    kTransferBroken = 15,         // connection broken while sending
    kTransferSocketError = 16,    // other socket error, orderly close by the server, or silence
    kTransferHostNotFound = 17,   // host name not found
    kTransferStopped = 18,        // the program asked the connection to stop (run flag clear)
    kTransferReconnectAsked = 19, // a new connection was asked for: by the stall watchdog, or
                                  // for a channel whose fault is over
    kTransferTooSlow = 20,        // a message did not arrive whole within the receive limit
};

// The code of the last failure of the calling thread's connection, or the last status the
// server sent on it. One connection belongs to one thread, so connections running at the
// same time never see each other's codes.
extern thread_local int g_transferError;

// A short English text for code, for tools and log lines ("server status 42" for a code
// that only a server can have sent). The text is a constant or lives in a buffer of the
// calling thread, valid until its next call.
const char* TransferErrorText(int code);

// code in words with the cause behind it: for codes 15 and 16 the system's error of the
// connection (CLinkConnection::systemError: 0 for a connection the server closed, ETIMEDOUT
// for silence, else the errno of the call), so that "the server closed the connection" and
// "no data within the silence limit" are told apart; TransferErrorText for the others.
std::string LinkFailureText(int code, int systemError);

// Why ConnectServer returned result (negative) for host, in words for the log: the step that
// failed with its cause, and the failure code where the step leaves one. -1 is the opening
// exchange (its code and systemError), or no host name at all; -2 a name that does not
// resolve (code 17); -4 a port outside 1..65535; -5 no socket and -6 no connection (both
// with systemError, which tells a refused port from one that does not answer).
std::string ConnectFailureText(int result, std::string_view host, int code, int systemError);

} // namespace tarvell
