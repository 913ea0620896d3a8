#pragma once
// kdx-db availability: what the archive holds, from the FILELIST rows alone: per channel
// the first and last sample, the share of the window covered, and every gap longer than a
// threshold, as text, JSON or an SVG timeline. Reads rows only; never changes one. Any
// thread; ReadFileSpans uses the shared connection.

#include <string>
#include <vector>

namespace tarvell
{

// One FILELIST row: TQTY seconds of samples at SPS from TBEGIN.
struct FileSpan
{
    std::string station;
    std::string channel;
    double begin = 0;
    double seconds = 0;
    double rate = 0;
};

struct TimeStretch
{
    double begin = 0;
    double end = 0; // the end of the last sample's interval
};

struct ChannelAvailability
{
    std::string station;
    std::string channel;
    double firstSample = 0;
    double lastSample = 0; // the time of the last sample itself
    double coveredSeconds = 0;
    double share = 0; // covered / window, 0..1
    std::vector<TimeStretch> covered;
    std::vector<TimeStretch> gaps; // longer than the threshold, inside the window
};

struct AvailabilityWindow
{
    double from = 0;
    double to = 0;
};

// from/to NaN: the window runs from the earliest to the latest sample of all channels (and
// is not finite when there is no row; the text and JSON then say so).
// gapSeconds < 0: a gap is anything longer than 1.5 sample intervals of its channel.
std::vector<ChannelAvailability> ComputeAvailability(std::vector<FileSpan> spans, double from,
                                                     double to, double gapSeconds,
                                                     AvailabilityWindow* window);

std::string AvailabilityText(const std::vector<ChannelAvailability>& channels,
                             const AvailabilityWindow& window);
std::string AvailabilityJson(const std::vector<ChannelAvailability>& channels,
                             const AvailabilityWindow& window);
std::string AvailabilitySvg(const std::vector<ChannelAvailability>& channels,
                            const AvailabilityWindow& window);

// Reads the FILELIST rows of station and channel (empty: all) with TQTY > 0 on the shared
// connection, ordered by station, channel and TBEGIN. False with *error when the query fails.
bool ReadFileSpans(const std::string& station, const std::string& channel,
                   std::vector<FileSpan>* spans, std::string* error);

} // namespace tarvell
