#include "app/headless_view.h"

#include <cstdio>
#include <string>

#include "log/event_log.h"

namespace tarvell
{

namespace
{
const char* IconName(MessageIcon icon)
{
    switch (icon)
    {
    case MessageIcon::Information:
        return "info";
    case MessageIcon::Warning:
        return "warning";
    case MessageIcon::Error:
        return "error";
    }
    return "message";
}
} // namespace

void CHeadlessView::ShowMessage(std::string_view caption, std::string_view text,
                                MessageIcon icon, bool /*callerWaits*/)
{
    const std::string line = MessageLine(caption, text);
    LogEvent(line);
    std::fprintf(stderr, "tarvell: %s: %s\n", IconName(icon), line.c_str());
}

} // namespace tarvell
