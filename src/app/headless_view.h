#pragma once
// The operator view of a program without a window (service mode): message boxes become
// event-log lines and stderr and never block; everything else is dropped. Any thread.

#include "platform/operator_view.h"

namespace tarvell
{

class CHeadlessView final : public CWindowlessView
{
public:
    // Writes "<caption>: <text>" (line breaks as blanks) to the event log and to stderr, with
    // the journal's priority of the icon in headless mode (LogAndTell).
    void ShowMessage(std::string_view caption, std::string_view text, MessageIcon icon,
                     bool callerWaits) override;
};

} // namespace tarvell
