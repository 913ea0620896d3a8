#include "datafiles/channel_display.h"

#include <string>

#include "platform/operator_view.h"

namespace tarvell
{

void ShowChannelFile(std::string_view text, std::string_view station, std::string_view channel,
                     bool loopFile)
{
    std::string shown(text);
    if (loopFile)
        shown += " (DL)";
    OperatorView().SetChannelText(station, channel, ChannelColumn::File, shown);
}

} // namespace tarvell
