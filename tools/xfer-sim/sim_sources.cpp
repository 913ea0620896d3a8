#include "sim_sources.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <map>
#include <sstream>

#include <libmseed.h>

#include "platform/text.h"

namespace tarvell::sim
{
namespace
{

std::vector<std::string> Split(const std::string& text, char separator)
{
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(text);
    while (std::getline(in, part, separator))
        parts.push_back(part);
    if (!text.empty() && text.back() == separator)
        parts.emplace_back();
    return parts;
}

bool ParseDouble(const std::string& text, double* value)
{
    if (text.empty())
        return false;
    char* end = nullptr;
    *value = std::strtod(text.c_str(), &end);
    return *end == '\0' && std::isfinite(*value);
}

bool IntervalFromRate(double rate, std::uint32_t* intervalUs)
{
    if (!(rate > 0.0))
        return false;
    const double us = std::round(1000000.0 / rate);
    if (us < 1.0 || us > 4294967295.0)
        return false;
    *intervalUs = static_cast<std::uint32_t>(us);
    return true;
}

SimChannel* FindChannel(SimCatalog& catalog, const std::string& station, const std::string& channel)
{
    for (SimChannel& existing : catalog.channels)
        if (EqualsIgnoreCase(existing.station, station) &&
            EqualsIgnoreCase(existing.channel, channel))
            return &existing;
    return nullptr;
}

} // namespace

std::int64_t SimChannel::FirstUs() const
{
    if (synthetic)
        return startUs;
    return segments.empty() ? 0 : segments.front().startUs;
}

std::int64_t SimChannel::LastUs() const
{
    if (synthetic)
        return sampleCount < 0 ? std::numeric_limits<std::int32_t>::max() * std::int64_t{1000000}
                               : startUs + (sampleCount - 1) * std::int64_t{intervalUs};
    if (segments.empty())
        return 0;
    const SimSegment& last = segments.back();
    return last.startUs + static_cast<std::int64_t>(last.samples.size() - 1) * intervalUs;
}

bool AddSynthetic(SimCatalog& catalog, const std::string& text, std::int64_t nowUs,
                  std::string* error)
{
    const std::vector<std::string> parts = Split(text, ':');
    if (parts.size() < 3 || parts.size() > 5)
    {
        *error = "expected STA:CHA:RATE[:START[:SECONDS]], got '" + text + "'";
        return false;
    }
    SimChannel channel;
    channel.station = ToUpperAscii(parts[0]);
    channel.channel = ToUpperAscii(parts[1]);
    channel.auxName = "SIM";
    channel.synthetic = true;
    double rate = 0.0;
    if (!ParseDouble(parts[2], &rate) || !IntervalFromRate(rate, &channel.intervalUs))
    {
        *error = "bad sampling rate '" + parts[2] + "' in '" + text + "'";
        return false;
    }
    channel.startUs = nowUs - nowUs % 1000000;
    if (parts.size() >= 4 && !parts[3].empty() && parts[3] != "now")
    {
        double start = 0.0;
        if (!ParseDouble(parts[3], &start) || start < 0.0 || start > 2147483647.0)
        {
            *error = "bad start time '" + parts[3] + "' in '" + text + "'";
            return false;
        }
        channel.startUs = static_cast<std::int64_t>(std::llround(start * 1000000.0));
    }
    if (parts.size() == 5 && !parts[4].empty())
    {
        double seconds = 0.0;
        if (!ParseDouble(parts[4], &seconds) || seconds <= 0.0)
        {
            *error = "bad duration '" + parts[4] + "' in '" + text + "'";
            return false;
        }
        channel.sampleCount = std::max<std::int64_t>(
            1, static_cast<std::int64_t>(seconds * 1000000.0) / channel.intervalUs);
    }
    if (FindChannel(catalog, channel.station, channel.channel))
    {
        *error = "channel " + channel.station + ":" + channel.channel + " given twice";
        return false;
    }
    catalog.channels.push_back(std::move(channel));
    return true;
}

bool AddMiniSeed(SimCatalog& catalog, const std::string& path, std::string* error)
{
    MSFileParam* file = nullptr;
    MSRecord* record = nullptr;
    int result = MS_NOERROR;
    std::size_t added = 0;
    // Channels are keyed by station and channel; the location code is not part of the
    // protocol's names.
    while ((result = ms_readmsr_r(&file, &record, path.c_str(), 0, nullptr, nullptr, 1, 1, 0)) ==
           MS_NOERROR)
    {
        if (record->numsamples <= 0 || record->sampletype == 'a')
            continue;
        std::uint32_t intervalUs = 0;
        if (!IntervalFromRate(record->samprate, &intervalUs))
            continue;
        SimSegment segment;
        segment.startUs = static_cast<std::int64_t>(record->starttime);
        segment.samples.resize(static_cast<std::size_t>(record->numsamples));
        for (std::size_t i = 0; i < segment.samples.size(); ++i)
        {
            switch (record->sampletype)
            {
            case 'i':
                segment.samples[i] = static_cast<const std::int32_t*>(record->datasamples)[i];
                break;
            case 'f':
                segment.samples[i] = static_cast<std::int32_t>(
                    std::lround(static_cast<const float*>(record->datasamples)[i]));
                break;
            default:
                segment.samples[i] = static_cast<std::int32_t>(
                    std::llround(static_cast<const double*>(record->datasamples)[i]));
                break;
            }
        }
        SimChannel* channel = FindChannel(catalog, record->station, record->channel);
        if (channel == nullptr)
        {
            SimChannel fresh;
            fresh.station = ToUpperAscii(record->station);
            fresh.channel = ToUpperAscii(record->channel);
            fresh.auxName = record->network;
            fresh.intervalUs = intervalUs;
            catalog.channels.push_back(std::move(fresh));
            channel = &catalog.channels.back();
        }
        else if (channel->synthetic)
        {
            *error = "channel " + channel->station + ":" + channel->channel +
                     " is both synthetic and in " + path;
            ms_readmsr_r(&file, &record, nullptr, 0, nullptr, nullptr, 0, 0, 0);
            return false;
        }
        channel->segments.push_back(std::move(segment));
        ++added;
    }
    ms_readmsr_r(&file, &record, nullptr, 0, nullptr, nullptr, 0, 0, 0);
    if (result != MS_ENDOFFILE)
    {
        *error = "cannot read miniSEED file " + path + ": " + ms_errorstr(result);
        return false;
    }
    if (added == 0)
    {
        *error = "no samples in miniSEED file " + path;
        return false;
    }
    for (SimChannel& channel : catalog.channels)
        std::stable_sort(channel.segments.begin(), channel.segments.end(),
                         [](const SimSegment& a, const SimSegment& b)
                         { return a.startUs < b.startUs; });
    return true;
}

bool CheckCatalog(const SimCatalog& catalog, std::string* error)
{
    if (catalog.channels.empty())
    {
        *error = "no channels: give --synthetic or --mseed";
        return false;
    }
    std::map<std::string, int> perStation;
    for (const SimChannel& channel : catalog.channels)
    {
        for (const std::string* name : {&channel.station, &channel.channel})
        {
            if (name->empty() || name->size() > 7)
            {
                *error = "name '" + *name + "' must have 1 to 7 characters";
                return false;
            }
        }
        if (channel.auxName.size() > 7)
        {
            *error = "auxiliary name '" + channel.auxName + "' is longer than 7 characters";
            return false;
        }
        if (++perStation[channel.station] > 64)
        {
            *error = "station " + channel.station + " has more than 64 channels";
            return false;
        }
    }
    if (perStation.size() > 64)
    {
        *error = "more than 64 stations";
        return false;
    }
    return true;
}

} // namespace tarvell::sim
