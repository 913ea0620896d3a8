#pragma once
// The operator view: the one way the core reaches the operator (the window when there is
// one, the event log and stderr in headless mode). Any thread may call it; an
// implementation carries each call over to its own thread where it must.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tarvell
{

enum class MessageIcon
{
    Information,
    Warning,
    Error,
};

// The columns of a channel's row that the acquisition and data-file sides write.
enum class ChannelColumn
{
    LastCountTime = 2, // time of the channel's last packet
    File = 3,          // the channel's current file, or its loop file with " (DL)"
};

// One row of the channel list: a configured channel and the server that carries it
// ("host (type)"; empty when not known).
struct ChannelRow
{
    std::string station;
    std::string channel;
    std::string server;
};

class IOperatorView
{
public:
    virtual ~IOperatorView() = default;

    // The status line (for example "Connecting...", or the last packet).
    virtual void SetStatusLine(std::string_view text) = 0;

    // The total of received message bytes, shown by the window's timer.
    virtual void SetReceivedTotal(std::int64_t total) = 0;

    // True when the window is shown; the wait display is written only then.
    virtual bool IsWindowVisible() const = 0;

    // The wait display, "%02d:%02d" minutes and seconds of the current wait for data.
    virtual void SetWaitDisplay(std::string_view text) = 0;

    // Replaces every row of the channel list with rows, in their order, each with "---------"
    // as its last count time and no file; texts set for earlier rows are dropped. A view
    // without a list ignores it.
    virtual void SetChannelRows(const std::vector<ChannelRow>& /*rows*/) {}

    // One text of the row of channel (station, channel); the row is found by the channel at
    // the moment of the update, so it cannot land in another channel's row. A channel
    // without a row is left alone.
    virtual void SetChannelText(std::string_view station, std::string_view channel,
                                ChannelColumn column, std::string_view text) = 0;

    // A message box. With callerWaits the call returns only when the operator has closed
    // it (a headless view never waits).
    virtual void ShowMessage(std::string_view caption, std::string_view text, MessageIcon icon,
                             bool callerWaits) = 0;
};

// A view without a window: everything but message boxes is dropped. Programs and modes
// without a window derive from it and say where their messages go.
class CWindowlessView : public IOperatorView
{
public:
    void SetStatusLine(std::string_view) override {}
    void SetReceivedTotal(std::int64_t) override {}
    bool IsWindowVisible() const override { return false; }
    void SetWaitDisplay(std::string_view) override {}
    void SetChannelText(std::string_view, std::string_view, ChannelColumn,
                        std::string_view) override
    {
    }
};

// A message box as one line of text: "<caption>: <text>" (just the text without a caption),
// line breaks and tabs as blanks, trailing blanks dropped.
std::string MessageLine(std::string_view caption, std::string_view text);

// The view every subsystem talks to. Until one is installed, a view that does nothing.
IOperatorView& OperatorView();

// Installs view (not owned; it must outlive every call), or the do-nothing view for nullptr.
// Called at start-up before other threads exist, and by tests.
void SetOperatorView(IOperatorView* view);

} // namespace tarvell
