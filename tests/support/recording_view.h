#pragma once
// An operator view that records every call, for tests. Any thread.

#include <mutex>
#include <string>
#include <vector>

#include "platform/operator_view.h"

namespace tarvell::test
{

struct RecordedMessage
{
    std::string caption;
    std::string text;
    MessageIcon icon;
    bool callerWaits;
};

struct RecordedChannelText
{
    std::string station;
    std::string channel;
    ChannelColumn column;
    std::string text;
};

class CRecordingView final : public IOperatorView
{
public:
    // Installs itself as the operator view; the destructor restores the do-nothing view.
    CRecordingView();
    ~CRecordingView() override;

    void SetStatusLine(std::string_view text) override;
    void SetReceivedTotal(std::int64_t total) override;
    bool IsWindowVisible() const override;
    void SetWaitDisplay(std::string_view text) override;
    void SetChannelText(std::string_view station, std::string_view channel, ChannelColumn column,
                        std::string_view text) override;
    void ShowMessage(std::string_view caption, std::string_view text, MessageIcon icon,
                     bool callerWaits) override;

    void SetVisible(bool visible);

    // Snapshots of what was recorded so far.
    std::vector<std::string> StatusLines() const;
    std::vector<std::string> WaitDisplays() const;
    std::vector<RecordedChannelText> ChannelTexts() const;
    std::vector<RecordedMessage> Messages() const;
    std::int64_t ReceivedTotal() const;

private:
    mutable std::mutex m_lock;
    bool m_visible = false;
    std::int64_t m_receivedTotal = 0;
    std::vector<std::string> m_statusLines;
    std::vector<std::string> m_waitDisplays;
    std::vector<RecordedChannelText> m_channelTexts;
    std::vector<RecordedMessage> m_messages;
};

} // namespace tarvell::test
