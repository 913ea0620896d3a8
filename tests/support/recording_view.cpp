#include "support/recording_view.h"

namespace tarvell::test
{

CRecordingView::CRecordingView()
{
    SetOperatorView(this);
}

CRecordingView::~CRecordingView()
{
    SetOperatorView(nullptr);
}

void CRecordingView::SetStatusLine(std::string_view text)
{
    std::lock_guard lock(m_lock);
    m_statusLines.emplace_back(text);
}

void CRecordingView::SetReceivedTotal(std::int64_t total)
{
    std::lock_guard lock(m_lock);
    m_receivedTotal = total;
}

bool CRecordingView::IsWindowVisible() const
{
    std::lock_guard lock(m_lock);
    return m_visible;
}

void CRecordingView::SetWaitDisplay(std::string_view text)
{
    std::lock_guard lock(m_lock);
    m_waitDisplays.emplace_back(text);
}

void CRecordingView::SetChannelText(std::string_view station, std::string_view channel,
                                    ChannelColumn column, std::string_view text)
{
    std::lock_guard lock(m_lock);
    m_channelTexts.push_back(
        {std::string(station), std::string(channel), column, std::string(text)});
}

void CRecordingView::ShowMessage(std::string_view caption, std::string_view text,
                                 MessageIcon icon, bool callerWaits)
{
    std::lock_guard lock(m_lock);
    m_messages.push_back({std::string(caption), std::string(text), icon, callerWaits});
}

void CRecordingView::SetVisible(bool visible)
{
    std::lock_guard lock(m_lock);
    m_visible = visible;
}

std::vector<std::string> CRecordingView::StatusLines() const
{
    std::lock_guard lock(m_lock);
    return m_statusLines;
}

std::vector<std::string> CRecordingView::WaitDisplays() const
{
    std::lock_guard lock(m_lock);
    return m_waitDisplays;
}

std::vector<RecordedChannelText> CRecordingView::ChannelTexts() const
{
    std::lock_guard lock(m_lock);
    return m_channelTexts;
}

std::vector<RecordedMessage> CRecordingView::Messages() const
{
    std::lock_guard lock(m_lock);
    return m_messages;
}

std::int64_t CRecordingView::ReceivedTotal() const
{
    std::lock_guard lock(m_lock);
    return m_receivedTotal;
}

} // namespace tarvell::test
