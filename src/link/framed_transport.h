#pragma once
// The framed transport under the transfer protocol: resolving and connecting to the server,
// and length-prefixed messages in both directions with complete-write and complete-read
// loops that give up on silence and on a stop request. Each call works for one connection
// (its CLinkConnection: timeout, silence limit, run flag, counters) on that connection's
// thread. Nothing here decodes a message, writes to the event log or shows anything: what
// the operator sees of a wait is reported to the connection, for its owner to show.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "link/link_connection.h"

namespace tarvell
{

// Sleeps milliseconds in short slices; returns false as soon as the connection's stop is
// requested (see CLinkConnection::StopRequested), else true. For a caller that waits before
// connecting again, so that a server refusing connections is not tried in a busy loop.
bool PauseUnlessStopped(const CLinkConnection& link, int milliseconds);

// Resolves host (a name or a dotted IPv4 address), creates a TCP socket with SO_KEEPALIVE
// and, when positive, the given SO_SNDBUF and SO_RCVBUF, and connects it. Returns the
// connected non-blocking socket (the caller owns it), or: -1 without a host name or when the
// link's current timeout is not positive, -2 host not found (code 17), -4 port not positive,
// -5 socket not created, -6 connection refused or failed (also when it cannot be made
// within the silence limit, or a stop was requested); -5 and -6 leave the system's error in
// link.systemError (ETIMEDOUT for no answer within the limit).
int OpenConnection(CLinkConnection& link, std::string_view host, int port, int sendBufferSize,
                   int receiveBufferSize);

// Writes count bytes, waiting for room at most the silence limit. Returns the number of
// bytes written: count on success, less with g_transferError 15 (connection broken) or 16
// (any other error, no room within the limit), or 18/19 on a stop request; the system's
// error goes to link.systemError.
int SendAll(CLinkConnection& link, int socket, const unsigned char* bytes, int count);

// Reads exactly count bytes, counting them in the link's counters. What the server sent
// beyond them (up to kReadAheadSize) is read in the same call and kept by the link for the
// next read of the same socket. Returns count, or -1
// with g_transferError 16 when the server closed the connection, an error occurred or no
// data arrived within the silence limit, 20 when the message being read (RecvFramed) is not
// whole by its deadline (18/19 on a stop request). link.systemError says which: 0 for a
// connection the server closed, ETIMEDOUT for silence or a deadline, else the read's errno.
int RecvAll(CLinkConnection& link, int socket, unsigned char* destination, int count);

// Waits until the socket is readable: bytes pending, or the server closed the connection
// or an error is pending (so that the read that follows reports it at once instead of
// after the whole limit). Polls in steps of 500 ms, reporting the whole seconds waited to
// the link (CLinkConnection::ReportWait). Returns 1 when readable, 0 when more than
// limitSeconds whole seconds passed, the poll failed, or a stop was requested.
int WaitReadable(const CLinkConnection& link, int socket, int limitSeconds);

// Writes bodyLength as a 4-byte big-endian prefix into buffer[0..3] and sends prefix and
// body (at buffer + 4) as one piece. Returns 0 when all was written, else -1.
int SendFramed(CLinkConnection& link, int socket, unsigned char* buffer, std::uint32_t bodyLength);

// Reads one message: its 4-byte big-endian length L, then L bytes into destination, all of it
// within the link's message limit from the call (else -1 with code 20: a server that
// trickles bytes never falls silent, so the silence limit alone would never end it).
// Returns 0 with *length = L (0 for a break, after which nothing more is read), or -1:
// code 10 for a destination smaller than 4 bytes, 12 when L exceeds destinationSize (a
// prefix of 2^31 or more included; the body is left unread), or the code of the read.
int RecvFramed(CLinkConnection& link, int socket, unsigned char* destination,
               std::size_t destinationSize, std::uint32_t* length);

} // namespace tarvell
