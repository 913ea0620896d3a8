#include "ui/CWindowView.h"

#include <algorithm>

#include <QMessageBox>

#include "ui/CMainDlg.h"

namespace tarvell
{
namespace
{

constexpr int kApplyPeriodMs = 50;

QMessageBox::Icon BoxIcon(MessageIcon icon)
{
    switch (icon)
    {
    case MessageIcon::Information:
        return QMessageBox::Information;
    case MessageIcon::Warning:
        return QMessageBox::Warning;
    case MessageIcon::Error:
        return QMessageBox::Critical;
    }
    return QMessageBox::NoIcon;
}

// The system's texts break lines with CR LF; a label wants LF alone.
QString BoxText(const std::string& text)
{
    QString shown = QString::fromUtf8(text);
    shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    shown.remove(QLatin1Char('\r'));
    return shown;
}

} // namespace

CWindowView::CWindowView(CMainDlg& window)
    : m_window(window), m_userInterfaceThread(std::this_thread::get_id())
{
    QObject::connect(&m_applyTimer, &QTimer::timeout, &m_applyTimer, [this] { ApplyPending(); });
    m_applyTimer.start(kApplyPeriodMs);
}

CWindowView::~CWindowView()
{
    m_applyTimer.stop();
}

bool CWindowView::OnUserInterfaceThread() const
{
    return std::this_thread::get_id() == m_userInterfaceThread;
}

void CWindowView::SetStatusLine(std::string_view text)
{
    std::lock_guard lock(m_lock);
    m_pending.statusLine = std::string(text);
}

void CWindowView::SetReceivedTotal(std::int64_t total)
{
    std::lock_guard lock(m_lock);
    m_pending.receivedTotal = total;
}

bool CWindowView::IsWindowVisible() const
{
    return g_showWindow.load() != 0;
}

void CWindowView::SetWaitDisplay(std::string_view text)
{
    std::lock_guard lock(m_lock);
    m_pending.waitDisplay = std::string(text);
}

void CWindowView::SetChannelRows(const std::vector<ChannelRow>& rows)
{
    std::lock_guard lock(m_lock);
    // Texts for the old rows must not land in the new ones.
    m_pending.texts.clear();
    m_pending.textIndex.clear();
    m_pending.rows = rows;
}

void CWindowView::SetChannelText(std::string_view station, std::string_view channel,
                                 ChannelColumn column, std::string_view text)
{
    std::string key(station);
    key += '\n';
    key += channel;
    key += '\n';
    key += static_cast<char>('0' + static_cast<int>(column));
    std::lock_guard lock(m_lock);
    auto [slot, added] = m_pending.textIndex.try_emplace(std::move(key), m_pending.texts.size());
    if (added)
        m_pending.texts.push_back({std::string(station), std::string(channel), column, {}});
    m_pending.texts[slot->second].text = text; // only the latest text of a row counts
}

void CWindowView::ShowMessage(std::string_view caption, std::string_view text, MessageIcon icon,
                              bool callerWaits)
{
    auto box = std::make_shared<Box>();
    box->caption = caption;
    box->text = text;
    box->icon = icon;
    {
        std::unique_lock lock(m_lock);
        if (!m_closed)
        {
            if (OnUserInterfaceThread() && callerWaits)
            {
                lock.unlock();
                ShowBox(box);
                return;
            }
            m_pending.boxes.push_back(box);
            if (callerWaits)
                m_boxClosed.wait(lock, [&] { return box->done || m_closed; });
            return;
        }
    }
    m_withoutWindow.ShowMessage(caption, text, icon, callerWaits);
}

void CWindowView::ShowBox(const std::shared_ptr<Box>& box)
{
    QMessageBox shown(BoxIcon(box->icon),
                      box->caption.empty() ? QStringLiteral("TARVELL")
                                           : QString::fromUtf8(box->caption),
                      BoxText(box->text), QMessageBox::Ok);
    m_openBoxes.push_back(&shown);
    shown.exec(); // modal here; the update timer goes on meanwhile
    m_openBoxes.erase(std::find(m_openBoxes.begin(), m_openBoxes.end(), &shown));
    Finish(box);
}

void CWindowView::Finish(const std::shared_ptr<Box>& box)
{
    {
        std::lock_guard lock(m_lock);
        box->done = true;
    }
    m_boxClosed.notify_all();
}

void CWindowView::ApplyPending()
{
    Pending taken;
    {
        std::lock_guard lock(m_lock);
        std::swap(taken, m_pending);
    }
    if (taken.rows)
        m_window.List().SetRows(*taken.rows);
    if (!taken.texts.empty())
        m_window.List().SetTexts(taken.texts);
    if (taken.statusLine)
        m_window.SetStatusText(*taken.statusLine);
    if (taken.receivedTotal)
        m_window.SetReceivedTotalText(*taken.receivedTotal);
    if (taken.waitDisplay)
        m_window.SetWaitText(*taken.waitDisplay);
    for (const std::shared_ptr<Box>& box : taken.boxes)
        PostBox(box);
}

void CWindowView::PostBox(const std::shared_ptr<Box>& box)
{
    // Shown from an event of its own: inside this timer's handler the box's loop would hold
    // the timer, and with it every update, until the operator answered.
    m_postedBoxes.push_back(box);
    QMetaObject::invokeMethod(
        &m_applyTimer,
        [this, box]
        {
            auto posted = std::find(m_postedBoxes.begin(), m_postedBoxes.end(), box);
            if (posted == m_postedBoxes.end())
                return; // Close has taken it
            m_postedBoxes.erase(posted);
            ShowBox(box);
        },
        Qt::QueuedConnection);
}

void CWindowView::Close()
{
    std::deque<std::shared_ptr<Box>> unshown;
    {
        std::lock_guard lock(m_lock);
        m_closed = true;
        std::swap(unshown, m_pending.boxes);
    }
    unshown.insert(unshown.end(), m_postedBoxes.begin(), m_postedBoxes.end());
    m_postedBoxes.clear();
    for (const std::shared_ptr<Box>& box : unshown)
    {
        m_withoutWindow.ShowMessage(box->caption, box->text, box->icon, false);
        Finish(box);
    }
    // Their exec returns once control is back in the event loop.
    for (QMessageBox* open : m_openBoxes)
        open->reject();
    m_boxClosed.notify_all();
}

} // namespace tarvell
