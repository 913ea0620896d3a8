#pragma once
// The server links of a configuration, and the per-server record handed to one acquisition
// thread: the stations and channels to request from one server. Built on the main thread or
// the reload thread; a CServerLink is afterwards read by its own thread only.

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

// One link per distinct server of groups, a server being a host and a port (hosts compared
// without regard to case; two groups on one host at different ports are two servers); the
// first group of a server gives its server type. Stations in group order. Servers beyond 64
// and stations beyond 64 per server do not fit and are logged and left out.
std::vector<LinkConfig> BuildServerLinks(const std::vector<CStationGroup>& groups);

// The record of link: its stations and channels in slot order, every channel asked from
// kFromOldestData to kOpenEnd (the acquisition thread puts each channel's resume point in
// the request of every connection). Channels beyond 64 per station do not fit the request
// and are logged and left out. A group without channels still takes its station slot.
CServerLink MakeServerLink(const CConfiguration& config, const LinkConfig& link);

} // namespace tarvell
