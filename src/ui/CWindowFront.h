#pragma once
// The program with its operator window: the front of RunProgram that shows the window, runs
// the event loop until the stop command (the exit command, SIGTERM or SIGINT) and takes SIGHUP
// as "the configuration has changed". Main (user-interface) thread; a QApplication must
// exist.

#include <memory>

#include <QSystemTrayIcon>

#include "app/application.h"
#include "platform/command_signals.h"
#include "ui/CMainDlg.h"
#include "ui/CWindowView.h"

class QSocketNotifier;

namespace tarvell
{

class CWindowFront final : public IProgramFront
{
public:
    // Builds the hidden window and its view, and installs the connection dialog of start-up.
    explicit CWindowFront(bool trayAvailable = QSystemTrayIcon::isSystemTrayAvailable());
    ~CWindowFront() override;
    CWindowFront(const CWindowFront&) = delete;
    CWindowFront& operator=(const CWindowFront&) = delete;

    IOperatorView& View() override { return m_view; }
    void Starting() override;
    void RunUntilStop() override;
    void Stopping() override;

    CMainDlg& Window() { return m_window; }
    CWindowView& WindowView() { return m_view; }

private:
    void TakeCommandSignals();

    CMainDlg m_window;
    CWindowView m_view;
    CCommandSignalFd m_signals;
    std::unique_ptr<QSocketNotifier> m_signalNotifier;
};

} // namespace tarvell
