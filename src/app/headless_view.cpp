#include "app/headless_view.h"

#include <cstdio>
#include <string>

#include "log/event_log.h"

namespace tarvell
{

namespace
{
// One log line per message: the texts carry CR LF and tabs meant for a message box.
std::string OneLine(std::string_view text)
{
    std::string line;
    line.reserve(text.size());
    for (char c : text)
    {
        if (c == '\r')
            continue;
        line += (c == '\n' || c == '\t') ? ' ' : c;
    }
    while (!line.empty() && line.back() == ' ')
        line.pop_back();
    return line;
}

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
    std::string line = caption.empty() ? OneLine(text) : OneLine(caption) + ": " + OneLine(text);
    LogEvent(line);
    std::fprintf(stderr, "tarvell: %s: %s\n", IconName(icon), line.c_str());
}

} // namespace tarvell
