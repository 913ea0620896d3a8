#include "config/loop_files.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

#include "log/event_log.h"
#include "platform/file_system.h"
#include "platform/text_format.h"

namespace tarvell
{
namespace
{

// Makes the loop file at path of the given size. A file that cannot be written to its full
// size is removed again: a short loop file would pass for a prepared one.
void MakeLoopFile(const std::string& path, std::int64_t bytes)
{
    if (CreateFilledFile(path, bytes, '0'))
    {
        LogEvent(FormatText("File created (%s)", path.c_str()));
        return;
    }
    if (errno != EEXIST)
    {
        LogEvent(FormatText("Loop file not created '%s': %s", path.c_str(), std::strerror(errno)));
    }
}

} // namespace

void PrepareLoopFiles(const CConfiguration& config)
{
    bool reportedNoRoot = false;
    for (const CStationGroup& group : config.groups)
    {
        for (const CChannelRecord& channel : group.channels)
        {
            if (channel.loopFile.empty())
                continue;
            if (config.dataRoot.empty())
            {
                if (!reportedNoRoot)
                    LogEvent("Loop files not prepared: there is no data root");
                reportedNoRoot = true;
                continue;
            }
            MakeDirectory(config.dataRoot);
            const std::string directory = config.dataRoot + "/" + group.station;
            MakeDirectory(directory);
            const std::string path = directory + "/" + channel.loopFile;
            if (PathExists(path))
                continue;
            MakeLoopFile(path, group.ringSize);
        }
    }
}

} // namespace tarvell
