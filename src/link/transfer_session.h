#pragma once
// The transfer session on one connection: the opening exchange with its retry rule
// (request out, configuration in), then the stream of packets with the server's breaks and
// statuses, and the reporting of packets that are skipped. Built on the framed transport
// and the pure decoders. Each call works for one connection on that connection's thread;
// failures leave their code in the calling thread's g_transferError.

#include <atomic>
#include <cstdint>
#include <string_view>

#include "link/link_connection.h"

namespace tarvell
{

struct RawPacket;
struct ServerConfig;
struct TransferRequest;

// Total of the lengths of all messages received by RecvPacket, over all connections.
extern std::atomic<std::int64_t> g_receivedTotal;

// The opening exchange: connects, sends request, receives the server's configuration into
// config. Attempt k first pauses (k mod 4) x request.timeout ms (0, 260, 520, 780, 0, ...).
// A failed OpenConnection ends the call at once with its negative code, whatever the mode.
// When the request or the configuration fails, the socket is closed and: retryMode 0
// returns -1; a server status 13 starts the next attempt; otherwise retryMode > 0 returns
// -1 and retryMode < 0 starts the next attempt. A stop request returns -1 with code 18
// (19 for a reconnect the stall watchdog asked for). Returns the connected socket (the
// caller owns and closes it), or a negative value.
int ConnectServer(CLinkConnection& link, std::string_view host, int port,
                  const TransferRequest& request, ServerConfig& config, int retryMode);

// Encodes request into the link's message buffer and sends it with its length prefix as
// one piece. Returns 0, or -1 with g_transferError set (nothing is sent when the encoding
// fails).
int SendRequest(CLinkConnection& link, int socket, const TransferRequest& request);

// Reads one message from the server and decodes it as the configuration. A break instead
// of the configuration is followed by a status message whose code goes to g_transferError.
// Returns 0, or -1 with g_transferError set.
int RecvConfig(CLinkConnection& link, int socket, ServerConfig& config);

// Reads messages until one is a waveform packet and decodes it into packet, adding every
// message length to g_receivedTotal and counting packets in the link's counters. A break
// followed by status 0 (the server is alive with nothing to send) and a skipped packet are
// passed over; each kind of skipped packet is logged once per connection. Returns 0 for a
// decoded packet (format 1 or 3), 1 when the server ended the stream (status 1;
// g_transferError 0), -1 on failure (g_transferError: the read's code, a decoding code, or
// the server's status).
int RecvPacket(CLinkConnection& link, int socket, const ServerConfig& config, RawPacket& packet);

} // namespace tarvell
