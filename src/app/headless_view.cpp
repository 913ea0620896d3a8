#include "app/headless_view.h"

#include <string>

#include "log/event_log.h"

namespace tarvell
{

namespace
{
LogSeverity SeverityOf(MessageIcon icon)
{
    switch (icon)
    {
    case MessageIcon::Information:
        return LogSeverity::Info;
    case MessageIcon::Warning:
        return LogSeverity::Warning;
    case MessageIcon::Error:
        return LogSeverity::Error;
    }
    return LogSeverity::Error;
}
} // namespace

void CHeadlessView::ShowMessage(std::string_view caption, std::string_view text, MessageIcon icon,
                                bool /*callerWaits*/)
{
    LogAndTell(SeverityOf(icon), MessageLine(caption, text));
}

} // namespace tarvell
