#include "datafiles/channel_display.h"

#include <string>

#include "config/station_groups.h"
#include "datafiles/channel_ini.h"
#include "platform/operator_view.h"

namespace tarvell
{

void ShowChannelFile(std::string_view text, std::string_view station, std::string_view channel,
                     bool loopFile)
{
    ChannelLocation where = FindChannel(station, channel);
    if (!where)
        return;
    std::string shown(text);
    if (loopFile)
        shown += " (DL)";
    OperatorView().SetChannelText(where.group->station, where.channel->name, ChannelColumn::File,
                                  shown);
}

void ShowChannelFile(std::string_view text, std::string_view station, std::string_view channel)
{
    ShowChannelFile(text, station, channel, IsLoopFileChannel(station, channel));
}

} // namespace tarvell
