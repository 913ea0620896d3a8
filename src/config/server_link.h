#pragma once
// The per-server record handed to one acquisition thread: the stations and channels to
// request from one server host. Built on the main thread before the acquisition threads
// start; afterwards read by its own thread only.

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "config/station_groups.h"
#include "link/transfer_request.h"

namespace tarvell
{

inline constexpr int kMaxServerLinks = 64;
inline constexpr int kMaxLinkStations = 64;
inline constexpr int kMaxSlotChannels = 64;
inline constexpr int kSlotNameSize = 8; // 7 characters and the terminator

struct ChannelSlot
{
    char name[kSlotNameSize] = {};
    double startTime = 0; // epoch seconds, or kFromOldestData
    double endTime = 0;   // epoch seconds, or kOpenEnd
};

struct StationSlot
{
    char name[kSlotNameSize] = {};
    int channelCount = 0;
    std::array<ChannelSlot, kMaxSlotChannels> channels{};
};

class CServerLink
{
public:
    std::string host = kDefaultServerHost;
    std::string serverType = kDefaultServerType;
    int port = kDefaultServerPort;
    int stationCount = 0; // used slots of stations
    std::array<StationSlot, kMaxLinkStations> stations{};
};

// One link per distinct server host of g_groups (hosts compared without regard to case; the
// first group of a host gives its port and server type), stations in group order. A channel
// asks for data from its resumeTime when that is not 0, else from kFromOldestData; every end
// is kOpenEnd. A group without channels still takes its station slot. Hosts beyond 64,
// stations beyond 64 per host and channels beyond 64 per station do not fit the request and
// are logged and left out. Same threads as the model (see config/station_groups.h).
std::vector<std::unique_ptr<CServerLink>> BuildServerLinks();

} // namespace tarvell
