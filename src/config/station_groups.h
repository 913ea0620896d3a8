#pragma once
// The configuration as a value: the groups, their channels and the server links of the
// program INI, checked against SITECHAN, with the data root and the server defaults of [SYSTEM]. It
// is read once at start and at every reload into an immutable snapshot (CConfiguration) and
// handed to whoever needs it; nothing reads the INI on the packet or chunk path. A snapshot
// is made by LoadGroups (config/load_groups.h) on the main thread or the reload thread; after
// that any thread may read it, and nothing writes it.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "config/link_lease.h"
#include "metrics/counters.h"

namespace tarvell
{

// The most samples one chunk holds: a packet is appended to a channel's buffer only while the
// buffer stays at or below kMaxChunkSamples.
inline constexpr int kMaxChunkSamples = 4900;

// The most [GROUP<n>] sections read: 64 servers of 64 stations each. A larger GROUPS value
// is a typing error, not a plan.
inline constexpr long long kMaxGroupSections = 4096;

// The server of a group when neither its section nor [SYSTEM] names one.
inline constexpr char kDefaultServerHost[] = "localhost";
inline constexpr int kDefaultServerPort = 14002;
inline constexpr char kDefaultServerType[] = "xfer";

// One channel of a group as configured and checked against SITECHAN.
class CChannelRecord
{
public:
    CChannelRecord(std::string_view channelName, double rate);

    std::string name;      // upper case, at most 7 characters
    double sampleRate = 0; // samples per second from SITECHAN; always > 0
    std::string loopFile;  // FILE_<channel>: its loop file's name; empty: time-named files
    // What the status server reports of the channel: the registry's object, kept by station
    // and channel name, so its counts go on across reloads.
    std::shared_ptr<CChannelCounters> counters;
};

// One [GROUP<n>] section with a STATION.
class CStationGroup
{
public:
    CStationGroup(std::string_view stationName, int sectionNumber);

    // The number n of the INI section GROUP<n> the group was read from. Sections without a
    // STATION make no group, so n is not the group's index + 1 in general.
    int section = 0;
    std::string station;             // upper case
    std::int64_t loopSize = 1048576; // SIZEMB x 1048576 bytes: the station's disk loop
    std::int64_t ringSize = 1048576; // the ring of its loop files: the same; 0 when not valid
    int fileLength = 60;             // FILELENGTH(MIN): minutes per time-named file
    std::string server;              // server host as written in the INI
    std::string serverType;
    int port = kDefaultServerPort;
    std::vector<CChannelRecord> channels; // CHAN order, no two names alike
    // This instance purges the station's disk loop: the station's first link (by LeaseName)
    // is held here. In a fleet, a station whose channels come over two links is purged by one
    // instance only.
    bool purgesStation = true;

    // The station's disk-loop counters (shared by every group of the station).
    std::shared_ptr<CStationCounters> counters;
};

// One server link: a host and a port (two groups on one host at different ports are two
// links), and the groups whose stations it asks for, in INI order.
struct LinkConfig
{
    std::string host; // as the first group of the link writes it
    int port = kDefaultServerPort;
    std::string serverType;
    std::vector<std::size_t> groups; // indices into CConfiguration::groups
    // The lease under which this instance archives the link (app/fleet.h); nullptr: no fleet.
    std::shared_ptr<CLinkLease> lease;

    // True when other is the same server: the host compared without regard to case.
    bool SameServer(const LinkConfig& other) const;
    std::string Name() const;      // "host:port"
    std::string LeaseName() const; // "host:port" with the host in lower case: the fleet's key
};

// What a packet's station and channel name: its group and channel, or nothing.
struct ConfiguredChannel
{
    const CStationGroup* group = nullptr;
    const CChannelRecord* channel = nullptr;
    std::size_t link = 0; // index into CConfiguration::links

    explicit operator bool() const { return channel != nullptr; }
};

class CConfiguration
{
public:
    std::string iniPath;  // the program INI it was read from
    std::string dataRoot; // the one data root the settings search chose
    // [SYSTEM] MAX_LATENCY: a buffer older than this many seconds is written and committed
    // though it is not full; 0: only full buffers (and stops) are written.
    double maxLatencySeconds = 0;
    std::vector<CStationGroup> groups; // in INI order
    std::vector<LinkConfig> links;     // in the order of their first group
    // Names the groups ask for that are not acquired (no SITECHAN rate, a name that cannot
    // be requested, a channel another group has, a station refused): each logged once.
    int channelsNotAcquired = 0;

    // Finds a channel as a packet names it: groups in order, the station compared without
    // regard to case, then the group's channels, first name equal without regard to case. A
    // group of the station without the channel does not end the search. One hash lookup.
    ConfiguredChannel Find(std::string_view station, std::string_view channel) const;

    // The number of channels of all groups.
    std::size_t ChannelCount() const;

    // Builds the index of Find; the loader calls it once, when the groups are complete.
    void Index();

private:
    std::unordered_map<std::string, ConfiguredChannel> m_index;
};

// "STATION\nCHANNEL" in upper case: how a channel is known across snapshots and links.
std::string ChannelKey(std::string_view station, std::string_view channel);

} // namespace tarvell
