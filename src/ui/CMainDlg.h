#pragma once
// The operator window: the channel list, the status line, the received total, the wait
// display, the "Silent mode" check box, the window menu with the About box, and the tray icon
// with its popup menu. User-interface thread only; other threads reach it through
// CWindowView.

#include <array>
#include <atomic>

#include <QDialog>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTimer>

#include "ui/CChannelListModel.h"
#include "ui/column_widths.h"

class QCheckBox;
class QLabel;
class QTableView;

namespace tarvell
{

// The window is shown (1) or hidden (0); read by any thread (the wait display is written only
// while the window is shown), written on the user-interface thread.
extern std::atomic<int> g_showWindow;

class CMainDlg final : public QDialog
{
    Q_OBJECT

public:
    // Builds the window hidden. Without a system tray (trayAvailable false) there is no tray
    // icon: the window is then always shown and offers the tray menu's commands in its own
    // menu, so that the program can always be reached and ended.
    explicit CMainDlg(bool trayAvailable, QWidget* parent = nullptr);
    ~CMainDlg() override;

    // The start of the running window: SCREEN ("FULL" shows the window, "HIDE" hides it,
    // anything else leaves it as it is), the check box from g_silent, the column widths from
    // HDRSIZE, the tray icon, the 3000 ms timer of the received total.
    void Start();

    CChannelListModel& List() { return m_model; }
    QTableView& ListView() { return *m_listView; }
    QMenu& TrayMenu() { return m_trayMenu; }
    QSystemTrayIcon* TrayIcon() { return m_tray; }

    void SetStatusText(const std::string& text);
    void SetReceivedTotalText(long long total);
    void SetWaitText(const std::string& text);
    QString StatusText() const;
    QString ReceivedTotalText() const;
    QString WaitText() const;

    // A click on the heading of column: columns 0, 2 and 4 sort, ascending first, then
    // alternating (column 0 alternates on its own, columns 2 and 4 share one alternation);
    // clicks on columns 1 and 3 do nothing.
    void SortByColumn(int column);

    // The width column starts with: what its content needs, the file column also what the
    // others leave of the list (FitColumnWidths), so that every column is in view.
    int InitialColumnWidth(int column) const
    {
        return m_initialWidths[static_cast<std::size_t>(column)];
    }
    // [LISTBOXHEADER] HDRSIZE: the widths of columns 0 to 3.
    void SaveColumnWidths();
    void RestoreColumnWidths();

    // The tray icon was clicked: a left click opens the popup menu at the cursor, any other
    // click does nothing; while the menu is open, further clicks are ignored.
    void TrayActivated(QSystemTrayIcon::ActivationReason reason);

    // Marks the rows of channels that are silent or held (TroubleOf their counters), and
    // unmarks those that are well again; the 3000 ms timer calls it.
    void RefreshTroubles();
    bool MenuBusy() const { return m_menuBusy; }

    // The menu commands.
    void ConfigureCommand(); // "Конфигурация"
    void ActivateCommand();  // "Активизировать программу"
    void ExitCommand(); // "Завершить работу": saves the widths, then the stop command

    // The stop command (also SIGTERM and SIGINT): removes the tray icon, hides the window and
    // announces StopRequested; the orderly stop follows.
    void StopCommand();

    void ShowAboutBox();

signals:
    void StopRequested();

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

public slots:
    // Enter does not end the program; Escape does what the close box does.
    void accept() override;
    void reject() override;

private:
    void BuildWindow();
    std::array<int, kListColumns> NeededColumnWidths() const;
    void BuildMenus();
    void ApplyShowWindow();
    void HideToTray();

    const bool m_trayAvailable;
    CChannelListModel m_model;
    QTableView* m_listView = nullptr;
    QLabel* m_status = nullptr;
    QLabel* m_received = nullptr;
    QLabel* m_wait = nullptr;
    QCheckBox* m_silent = nullptr;
    QMenu m_trayMenu;
    QAction* m_configure = nullptr;
    QAction* m_activate = nullptr;
    QAction* m_exit = nullptr;
    QSystemTrayIcon* m_tray = nullptr;
    QTimer m_totalTimer;
    std::array<int, CChannelListModel::kColumnCount> m_initialWidths{};
    bool m_menuBusy = false;
    bool m_column0Descending = false;  // the next sort of column 0 is descending
    bool m_column24Descending = false; // the next sort of column 2 or 4 is descending
    int m_sortedColumn = -1;           // the sort the heading shows
    Qt::SortOrder m_sortedOrder = Qt::AscendingOrder;
};

} // namespace tarvell
