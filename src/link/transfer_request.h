#pragma once
// The request a client sends once on each new connection: who it is, its socket buffer
// sizes, and the stations and channels it wants with their time windows.
// Any thread; a request and the buffer it is encoded into belong to one connection.

#include <cstddef>

namespace tarvell
{

inline constexpr int kMaxRequestStations = 64;
inline constexpr int kMaxRequestChannels = 64;
inline constexpr int kNameFieldSize = 8; // wire name field: at most 7 characters and a NUL

// The socket buffer size sent (and applied to the client's socket) for a size <= 0.
inline constexpr int kDefaultSocketBuffer = 16384;

// Body size of the largest request: 64 stations of 64 channels.
inline constexpr std::size_t kMaxRequestBody =
    30 + kMaxRequestStations * (10 + 24 * static_cast<std::size_t>(kMaxRequestChannels));

// The request times that name no instant (both go out as seconds -1, microseconds 0). A begin
// time of kFromOldestData asks for the channel's data from the oldest the server holds: a
// channel without a resume time asks so, and a first start loses nothing the server still
// keeps. An end time of kOpenEnd asks for no end: the server goes on as new data come in.
inline constexpr double kFromOldestData = -1.0;
inline constexpr double kOpenEnd = -1.0;

struct RequestChannel
{
    char name[kNameFieldSize] = {}; // NUL-terminated, at most 7 characters
    double beginTime = kFromOldestData; // epoch seconds
    double endTime = kOpenEnd;          // epoch seconds
};

struct RequestStation
{
    char name[kNameFieldSize] = {};
    int channelCount = 0;
    RequestChannel channels[kMaxRequestChannels];
};

struct TransferRequest
{
    int protocolVersion = 1;
    int requestType = 2;       // 2: waveforms of a station list; 1 ends after the client flag
    int timeout = 260;         // also the step of the pause between connection attempts (ms)
    int sendBufferSize = 0;    // <= 0 is sent and applied as 16384
    int receiveBufferSize = 0; // <= 0 is sent and applied as 16384
    int clientId = 0;          // the process identifier
    int clientFlag = 1;
    int option1 = 1;
    int option2 = 1;
    int option3 = 1;
    int stationCount = 0;
    RequestStation stations[kMaxRequestStations];
};

// Writes the body of request (everything after the length prefix) at destination, which
// must hold kMaxRequestBody bytes. Returns the number of bytes written, or -1 with
// g_transferError set: 1 for a version other than 1 (the first five fields are written
// already), 2 for a type other than 1 or 2, 10 for a station count or a station's channel
// count outside 0..64 (nothing beyond the client flag is written then).
int EncodeRequest(unsigned char* destination, const TransferRequest& request);

// The two 32-bit fields a time is sent as: whole seconds and microseconds, both truncated
// toward zero (-1.5 is -1 and -500000). A time that is no finite number goes out as -1.
struct WireTime
{
    int seconds;
    int microseconds;
};
WireTime SplitWireTime(double time);

} // namespace tarvell
