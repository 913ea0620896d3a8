#pragma once
// The transport under the transfer protocol: resolving and connecting to the server, the
// opening exchange with its retry rule, and length-prefixed messages in both directions.
// Any thread, each for its own connection: the scratch state of a connection (the message
// buffer, the code in g_transferError, the current timeout) belongs to the calling thread.
// Nothing here writes to the event log.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>

namespace tarvell
{

struct ServerConfig;
struct TransferRequest;

// Size of the message buffer and so the limit for an incoming message body.
inline constexpr std::size_t kMessageBufferSize = 362256;

// Seconds of silence after which a read fails (code 16); see SetSilenceLimit.
inline constexpr int kDefaultSilenceLimit = 60;

// Total of the lengths of all messages received by RecvPacket, over all connections.
extern std::atomic<std::int64_t> g_receivedTotal;

// Makes the calling thread's link operations give up soon (within about half a second)
// once *runFlag reads 0: pauses between attempts, connecting, and waits for data end with
// -1 and code 18. nullptr (the default) means never. The flag must outlive its use.
void SetLinkRunFlag(const std::atomic<int>* runFlag);

// Work of the calling thread that is done while it waits for data from its server (about
// every half second of the wait): work returning false ends the wait as a stop request
// does. An empty function (the default) means none.
void SetLinkIdleWork(std::function<bool()> work);

// Sleeps milliseconds in short slices; returns false as soon as the calling thread's run
// flag reads 0 (see SetLinkRunFlag), else true. For a caller that waits before connecting
// again, so that a server refusing connections is not tried in a busy loop.
bool PauseUnlessStopped(int milliseconds);

// Seconds of silence after which the calling thread's reads fail with code 16 (default 60,
// so the wait ends after 61 whole seconds). Also bounds a connect and a send that cannot
// progress.
void SetSilenceLimit(int seconds);

// Resolves host (a name or a dotted IPv4 address), creates a TCP socket with SO_KEEPALIVE
// and, when positive, the given SO_SNDBUF and SO_RCVBUF, and connects it. Returns the
// connected non-blocking socket (the caller owns it), or: -1 without a host name or when the
// current timeout (set by ConnectServer) is not positive, -2 host not found (code 17),
// -4 port not positive, -5 socket not created, -6 connection refused or failed (also when
// it cannot be made within the silence limit, or a stop was requested).
int OpenConnection(std::string_view host, int port, int sendBufferSize, int receiveBufferSize);

// The opening exchange: connects, sends request, receives the server's configuration into
// config. Attempt k first pauses (k mod 4) x request.timeout ms (0, 260, 520, 780, 0, ...).
// A failed OpenConnection ends the call at once with its negative code, whatever the mode.
// When the request or the configuration fails, the socket is closed and: retryMode 0
// returns -1; a server status 13 starts the next attempt; otherwise retryMode > 0 returns
// -1 and retryMode < 0 starts the next attempt. A stop request returns -1 with code 18.
// Returns the connected socket (the caller owns and closes it), or a negative value.
int ConnectServer(std::string_view host, int port, const TransferRequest& request,
                  ServerConfig& config, int retryMode);

// Writes count bytes, waiting for room at most the silence limit. Returns the number of
// bytes written: count on success, less with g_transferError 15 (connection broken) or 16
// (any other error, no room within the limit, or code 18 on a stop request).
int SendAll(int socket, const unsigned char* bytes, int count);

// Reads exactly count bytes. Returns count, or -1 with g_transferError 16 when the server
// closed the connection, an error occurred or no data arrived within the silence limit
// (18 on a stop request).
int RecvAll(int socket, unsigned char* destination, int count);

// Waits until the socket is readable: bytes pending, or the server closed the connection
// or an error is pending (so that the read that follows reports it at once instead of
// after the whole limit). Polls in steps of 500 ms, showing the whole seconds waited with
// ShowWaitTime. Returns 1 when readable, 0 when more than limitSeconds whole seconds
// passed, the poll failed, or a stop was requested.
int WaitReadable(int socket, int limitSeconds);

// Shows seconds as "%02d:%02d" in the wait display of the operator view, when the window
// is visible and the value differs from the last one shown (process-wide).
void ShowWaitTime(int seconds);

// Writes bodyLength as a 4-byte big-endian prefix into buffer[0..3] and sends prefix and
// body (at buffer + 4) as one piece. Returns 0 when all was written, else -1.
int SendFramed(int socket, unsigned char* buffer, std::uint32_t bodyLength);

// Reads one message: its 4-byte big-endian length L, then L bytes into destination.
// Returns 0 with *length = L (0 for a break, after which nothing more is read), or -1:
// code 10 for a destination smaller than 4 bytes, 12 when L exceeds destinationSize (a
// prefix of 2^31 or more included; the body is left unread), or the code of the read.
int RecvFramed(int socket, unsigned char* destination, std::size_t destinationSize,
               std::uint32_t* length);

} // namespace tarvell
