#include "ui/CWindowFront.h"

#include <QEventLoop>
#include <QSocketNotifier>

#include "app/configurator.h"
#include "db/connection.h"
#include "log/event_log.h"
#include "ui/CDbConnectDlg.h"

namespace tarvell
{

CWindowFront::CWindowFront(bool trayAvailable) : m_window(trayAvailable), m_view(m_window)
{
    SetConnectDialogHook(&RunDbConnectDialog);
}

CWindowFront::~CWindowFront()
{
    SetConnectDialogHook(nullptr);
}

void CWindowFront::Starting()
{
    m_view.ApplyPending(); // the rows, before the window is first seen
    m_window.Start();
}

void CWindowFront::TakeCommandSignals()
{
    while (std::optional<CommandSignal> command = m_signals.Read())
    {
        if (*command == CommandSignal::Stop)
        {
            m_window.StopCommand();
            return;
        }
        // Another program has changed the configuration: reload as after the configurator.
        LogEvent("Configuration reload");
        ReloadInBackground();
    }
}

void CWindowFront::RunUntilStop()
{
    QEventLoop loop;
    QObject::connect(&m_window, &CMainDlg::StopRequested, &loop, &QEventLoop::quit);
    if (m_signals.Fd() >= 0)
    {
        m_signalNotifier = std::make_unique<QSocketNotifier>(m_signals.Fd(), QSocketNotifier::Read);
        QObject::connect(m_signalNotifier.get(), &QSocketNotifier::activated, &m_window,
                         [this] { TakeCommandSignals(); });
    }
    loop.exec();
    m_signalNotifier.reset();
}

void CWindowFront::Stopping()
{
    // Acquisition threads waiting for a box must be free to end before they are joined.
    m_view.Close();
    m_window.hide();
}

} // namespace tarvell
