#pragma once
// The operator view of the window: any thread may call it; what they send is kept here and
// applied on the user-interface thread every 50 ms, the latest text of each row and label
// only, so that thousands of channels cost one repaint per period and never a widget touched
// from another thread. Message boxes are shown on the user-interface thread, modal there,
// and hold only the thread that raised them.

#include <deque>
#include <memory>
#include <mutex>
#include <condition_variable>
#include <optional>
#include <thread>
#include <unordered_map>
#include <vector>

#include <QTimer>

#include "app/headless_view.h"
#include "platform/operator_view.h"
#include "ui/CChannelListModel.h"

class QMessageBox;

namespace tarvell
{

class CMainDlg;

class CWindowView final : public IOperatorView
{
public:
    // Made on the user-interface thread; window must outlive the view.
    explicit CWindowView(CMainDlg& window);
    ~CWindowView() override;
    CWindowView(const CWindowView&) = delete;
    CWindowView& operator=(const CWindowView&) = delete;

    void SetStatusLine(std::string_view text) override;
    void SetReceivedTotal(std::int64_t total) override;
    bool IsWindowVisible() const override;
    void SetWaitDisplay(std::string_view text) override;
    void SetChannelRows(const std::vector<ChannelRow>& rows) override;
    void SetChannelText(std::string_view station, std::string_view channel, ChannelColumn column,
                        std::string_view text) override;

    // On the user-interface thread the box is shown at once (a box that does not make its
    // caller wait is shown with the next update instead). From another thread it is shown
    // with the next update, and with callerWaits the call returns when the operator has
    // closed it. After Close, boxes go to the event log and stderr as without a window.
    void ShowMessage(std::string_view caption, std::string_view text, MessageIcon icon,
                     bool callerWaits) override;

    // Applies everything that has come since the last time. User-interface thread (the
    // view's timer calls it).
    void ApplyPending();

    // The program is stopping and nobody will answer boxes any more: open boxes are closed,
    // boxes not shown yet go to the event log, waiting callers return, and later boxes go to
    // the event log at once. User-interface thread.
    void Close();

private:
    struct Box
    {
        std::string caption;
        std::string text;
        MessageIcon icon = MessageIcon::Information;
        bool done = false; // guarded by m_lock
    };

    struct Pending
    {
        std::optional<std::string> statusLine;
        std::optional<std::int64_t> receivedTotal;
        std::optional<std::string> waitDisplay;
        std::optional<std::vector<ChannelRow>> rows;
        std::vector<ChannelText> texts;
        std::unordered_map<std::string, std::size_t> textIndex; // channel and column -> texts
        std::deque<std::shared_ptr<Box>> boxes;
    };

    bool OnUserInterfaceThread() const;
    void PostBox(const std::shared_ptr<Box>& box);
    void ShowBox(const std::shared_ptr<Box>& box);
    void Finish(const std::shared_ptr<Box>& box);

    CMainDlg& m_window;
    const std::thread::id m_userInterfaceThread;
    CHeadlessView m_withoutWindow; // where boxes go once the view is closed

    mutable std::mutex m_lock;
    std::condition_variable m_boxClosed;
    Pending m_pending;     // guarded by m_lock
    bool m_closed = false; // guarded by m_lock

    // User-interface thread only: boxes waiting for their event, and the boxes on screen.
    std::vector<std::shared_ptr<Box>> m_postedBoxes;
    std::vector<QMessageBox*> m_openBoxes;
    QTimer m_applyTimer;
};

} // namespace tarvell
