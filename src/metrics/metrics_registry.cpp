#include "metrics/metrics_registry.h"

#include "platform/text.h"

namespace tarvell
{
namespace
{

template <typename T>
std::vector<std::shared_ptr<const T>> Copy(std::mutex& lock,
                                           const std::vector<std::shared_ptr<T>>& objects)
{
    std::lock_guard<std::mutex> guard(lock);
    return {objects.begin(), objects.end()};
}

} // namespace

std::shared_ptr<CChannelCounters> CMetricsRegistry::Channel(std::string_view station,
                                                            std::string_view channel)
{
    // Names are upper case in the model; a blank cannot be part of one.
    const std::string stationName = ToUpperAscii(station);
    const std::string channelName = ToUpperAscii(channel);
    const std::string key = stationName + ' ' + channelName;
    std::lock_guard<std::mutex> guard(m_lock);
    std::shared_ptr<CChannelCounters>& counters = m_channelsByName[key];
    if (!counters)
    {
        counters = std::make_shared<CChannelCounters>(stationName, channelName);
        m_channels.push_back(counters);
    }
    return counters;
}

std::shared_ptr<CStationCounters> CMetricsRegistry::Station(std::string_view station)
{
    std::lock_guard<std::mutex> guard(m_lock);
    for (const auto& counters : m_stations)
    {
        if (EqualsIgnoreCase(counters->station, station))
            return counters;
    }
    m_stations.push_back(std::make_shared<CStationCounters>(ToUpperAscii(station)));
    return m_stations.back();
}

std::shared_ptr<CLinkCounters> CMetricsRegistry::Link(std::string_view host, int port)
{
    std::lock_guard<std::mutex> guard(m_lock);
    for (const auto& counters : m_links)
    {
        if (EqualsIgnoreCase(counters->host, host) && counters->port == port)
            return counters;
    }
    m_links.push_back(std::make_shared<CLinkCounters>(host, port));
    return m_links.back();
}

std::vector<std::shared_ptr<const CChannelCounters>> CMetricsRegistry::Channels() const
{
    return Copy(m_lock, m_channels);
}

std::vector<std::shared_ptr<const CStationCounters>> CMetricsRegistry::Stations() const
{
    return Copy(m_lock, m_stations);
}

std::vector<std::shared_ptr<const CLinkCounters>> CMetricsRegistry::Links() const
{
    return Copy(m_lock, m_links);
}

std::vector<std::shared_ptr<CChannelCounters>> CMetricsRegistry::ChannelsForStallWatch() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_channels;
}

CMetricsRegistry& Metrics()
{
    static CMetricsRegistry registry;
    return registry;
}

void NoteDatabaseReachable(bool reachable)
{
    ProcessCounters& process = Metrics().process;
    if (process.databaseReachable.exchange(reachable, std::memory_order_relaxed) && !reachable)
        process.databaseOutages.fetch_add(1, std::memory_order_relaxed);
}

bool NoteDataRootMissing(bool missing)
{
    return Metrics().process.dataRootMissing.exchange(missing, std::memory_order_relaxed);
}

} // namespace tarvell
