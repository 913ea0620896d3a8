#pragma once
// The registry of every counter object of the process. Objects are made on first request
// and kept for the program's life, keyed by their names, so that a reload of the
// configuration finds the same counters again and a reader never meets a freed one. Any
// thread; the registry's lock is held only to find or list objects, never by the packet
// path (channels and stations keep their own pointers).

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "metrics/counters.h"

namespace tarvell
{

class CMetricsRegistry
{
public:
    std::shared_ptr<CChannelCounters> Channel(std::string_view station, std::string_view channel);
    std::shared_ptr<CStationCounters> Station(std::string_view station);
    std::shared_ptr<CLinkCounters> Link(std::string_view host, int port);

    // The objects made so far, in the order they were first asked for.
    std::vector<std::shared_ptr<const CChannelCounters>> Channels() const;
    std::vector<std::shared_ptr<const CStationCounters>> Stations() const;
    std::vector<std::shared_ptr<const CLinkCounters>> Links() const;
    // The channels for the stall watchdog, which writes their stall fields.
    std::vector<std::shared_ptr<CChannelCounters>> ChannelsForStallWatch() const;

    ProcessCounters process;

private:
    mutable std::mutex m_lock;
    std::vector<std::shared_ptr<CChannelCounters>> m_channels; // in the order first asked for
    std::map<std::string, std::shared_ptr<CChannelCounters>> m_channelsByName; // "STA CHA"
    std::vector<std::shared_ptr<CStationCounters>> m_stations;
    std::vector<std::shared_ptr<CLinkCounters>> m_links;
};

// The registry of the process.
CMetricsRegistry& Metrics();

// Notes whether the database connection works; a change from reachable to not counts one
// outage. Any thread, without waiting for the database.
void NoteDatabaseReachable(bool reachable);

// Notes whether the data root was there when last looked for; returns what was noted before.
// Any thread.
bool NoteDataRootMissing(bool missing);

} // namespace tarvell
