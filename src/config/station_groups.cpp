#include "config/station_groups.h"

#include <string>

#include "metrics/metrics_registry.h"
#include "platform/text.h"

namespace tarvell
{

CChannelRecord::CChannelRecord(std::string_view channelName, double rate)
    : name(channelName), sampleRate(rate)
{
}

CStationGroup::CStationGroup(std::string_view stationName, int sectionNumber)
    : section(sectionNumber), station(stationName)
{
}

bool LinkConfig::SameServer(const LinkConfig& other) const
{
    return port == other.port && EqualsIgnoreCase(host, other.host);
}

std::string LinkConfig::Name() const
{
    return host + ":" + std::to_string(port);
}

std::string LinkConfig::LeaseName() const
{
    return ToLowerAscii(host) + ":" + std::to_string(port);
}

std::string ChannelKey(std::string_view station, std::string_view channel)
{
    // Built in place: every packet is looked up by it.
    std::string key;
    key.reserve(station.size() + 1 + channel.size());
    key += station;
    key += '\n';
    key += channel;
    UpperAsciiInPlace(key);
    return key;
}

ConfiguredChannel CConfiguration::Find(std::string_view station, std::string_view channel) const
{
    auto found = m_index.find(ChannelKey(station, channel));
    return found == m_index.end() ? ConfiguredChannel{} : found->second;
}

std::size_t CConfiguration::ChannelCount() const
{
    std::size_t count = 0;
    for (const CStationGroup& group : groups)
        count += group.channels.size();
    return count;
}

void CConfiguration::Index()
{
    m_index.clear();
    for (std::size_t l = 0; l < links.size(); ++l)
    {
        for (std::size_t g : links[l].groups)
        {
            for (const CChannelRecord& channel : groups[g].channels)
                m_index.try_emplace(ChannelKey(groups[g].station, channel.name),
                                    ConfiguredChannel{&groups[g], &channel, l});
        }
    }
}

} // namespace tarvell
