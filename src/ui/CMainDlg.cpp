#include "ui/CMainDlg.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QCursor>
#include <QDialogButtonBox>
#include <QFontMetrics>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMenuBar>
#include <QPushButton>
#include <QStyle>
#include <QTableView>
#include <QVBoxLayout>

#include "app/configurator.h"
#include "app/run_control.h"
#include "link/transfer_session.h"
#include "log/event_log.h"
#include "metrics/metrics_registry.h"
#include "platform/ini_profile.h"
#include "platform/operator_view.h"
#include "platform/program_paths.h"
#include "platform/text.h"
#include "ui/app_icon.h"
#include "ui/channel_trouble.h"
#include "ui/column_widths.h"

namespace tarvell
{

std::atomic<int> g_showWindow{0};

namespace
{

constexpr int kTotalRefreshMs = 3000;
constexpr QSize kDefaultSize(820, 460);

QLabel* SunkenLabel(const char* objectName)
{
    auto* label = new QLabel;
    label->setObjectName(QString::fromLatin1(objectName));
    label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    return label;
}

} // namespace

CMainDlg::CMainDlg(bool trayAvailable, QWidget* parent)
    : QDialog(parent), m_trayAvailable(trayAvailable)
{
    setWindowTitle(QStringLiteral("TARVELL"));
    setWindowIcon(ApplicationIcon());
    // A plain top-level window with minimise and close boxes, listed in the task bar.
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    BuildWindow();
    BuildMenus();
    resize(kDefaultSize);

    if (m_trayAvailable)
    {
        m_tray = new QSystemTrayIcon(ApplicationIcon(), this);
        m_tray->setToolTip(QStringLiteral("NRTS->KDX"));
        connect(m_tray, &QSystemTrayIcon::activated, this, &CMainDlg::TrayActivated);
    }
    connect(&m_totalTimer, &QTimer::timeout, this,
            [this]
            {
                SetReceivedTotalText(g_receivedTotal.load(std::memory_order_relaxed));
                RefreshTroubles();
            });
}

CMainDlg::~CMainDlg() = default;

void CMainDlg::BuildWindow()
{
    m_listView = new QTableView;
    m_listView->setObjectName(QStringLiteral("channelList"));
    m_listView->setModel(&m_model);
    m_listView->setSelectionMode(QAbstractItemView::SingleSelection);
    m_listView->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_listView->setShowGrid(true);
    m_listView->setWordWrap(false);
    m_listView->setAlternatingRowColors(true);
    m_listView->setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    m_listView->verticalHeader()->hide();
    // Every row is one line high: with thousands of channels nothing is measured per row.
    m_listView->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    m_listView->verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 6);
    QHeaderView* header = m_listView->horizontalHeader();
    header->setSectionsClickable(true);
    header->setSortIndicatorShown(true);
    header->setSortIndicator(-1, Qt::AscendingOrder);
    header->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    header->setHighlightSections(false);
    header->setStretchLastSection(true);
    connect(header, &QHeaderView::sectionClicked, this, &CMainDlg::SortByColumn);

    m_status = SunkenLabel("statusLine");
    // The status line is a packet line of fixed-width pieces; a fixed-width font keeps it
    // from jumping with every packet.
    QFont fixed(QStringLiteral("Monospace"));
    fixed.setStyleHint(QFont::TypeWriter);
    m_status->setFont(fixed);
    // A long line is cut at the window's edge; it must never widen the window.
    m_status->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    m_received = SunkenLabel("receivedTotal");
    m_received->setMinimumWidth(fontMetrics().horizontalAdvance(QStringLiteral("0000000000000")));
    m_received->setText(QStringLiteral("0"));
    m_received->setToolTip(QStringLiteral("Received bytes"));
    m_wait = new QLabel;
    m_wait->setObjectName(QStringLiteral("waitDisplay"));
    m_wait->setToolTip(QStringLiteral("Waiting for data (minutes:seconds)"));
    m_silent = new QCheckBox(QStringLiteral("Silent mode"));
    m_silent->setObjectName(QStringLiteral("silentMode"));
    connect(m_silent, &QCheckBox::clicked, this,
            [](bool checked) { g_silent.store(checked ? 1 : 0); });

    auto* counters = new QHBoxLayout;
    counters->addWidget(m_received);
    counters->addSpacing(24);
    counters->addWidget(m_silent);
    counters->addStretch(1);
    counters->addWidget(m_wait);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(8, 8, 8, 8);
    layout->setSpacing(6);
    layout->addWidget(m_listView, 1);
    layout->addWidget(m_status);
    layout->addLayout(counters);
}

void CMainDlg::BuildMenus()
{
    m_configure = m_trayMenu.addAction(QStringLiteral("Конфигурация"));
    m_trayMenu.addSeparator();
    m_activate = m_trayMenu.addAction(QStringLiteral("Активизировать программу"));
    m_exit = m_trayMenu.addAction(QStringLiteral("Завершить работу"));
    connect(m_configure, &QAction::triggered, this, &CMainDlg::ConfigureCommand);
    connect(m_activate, &QAction::triggered, this, &CMainDlg::ActivateCommand);
    connect(m_exit, &QAction::triggered, this, &CMainDlg::ExitCommand);

    auto* bar = new QMenuBar(this);
    if (!m_trayAvailable)
    {
        // No tray to reach the program by: its commands are here instead.
        QMenu* program = bar->addMenu(QStringLiteral("&Program"));
        program->addAction(m_configure);
        program->addSeparator();
        program->addAction(m_exit);
    }
    QMenu* help = bar->addMenu(QStringLiteral("&Help"));
    QAction* about = help->addAction(QStringLiteral("&About TARVELL..."));
    connect(about, &QAction::triggered, this, &CMainDlg::ShowAboutBox);
    layout()->setMenuBar(bar);
}

void CMainDlg::Start()
{
    const std::string screen =
        ToUpperAscii(ReadProfileString(g_iniPath, "SYSTEM", "SCREEN", "SILENT", 15));
    if (screen == "HIDE")
        g_showWindow.store(0);
    else if (screen == "FULL")
        g_showWindow.store(1);
    m_silent->setChecked(g_silent.load() != 0);

    // The window is still hidden: its layout is applied at its size now, so that the list's
    // width is the one the operator will see, less a vertical scroll bar (many channels).
    layout()->activate();
    layout()->setGeometry(rect());
    const int listWidth = m_listView->maximumViewportSize().width() -
                          m_listView->style()->pixelMetric(QStyle::PM_ScrollBarExtent);
    m_initialWidths = FitColumnWidths(listWidth, NeededColumnWidths());
    for (int column = 0; column < CChannelListModel::kColumnCount; ++column)
    {
        m_listView->horizontalHeader()->resizeSection(
            column, m_initialWidths[static_cast<std::size_t>(column)]);
    }
    RestoreColumnWidths();

    if (m_tray)
        m_tray->show();
    SetReceivedTotalText(g_receivedTotal.load(std::memory_order_relaxed));
    m_totalTimer.start(kTotalRefreshMs);
    ApplyShowWindow();
}

void CMainDlg::ApplyShowWindow()
{
    if (!m_trayAvailable)
        g_showWindow.store(1); // nothing else would let the operator reach the program
    if (g_showWindow.load() != 0)
        show();
    else
        hide();
}

void CMainDlg::SetStatusText(const std::string& text)
{
    m_status->setText(QString::fromUtf8(text));
}

void CMainDlg::SetReceivedTotalText(long long total)
{
    m_received->setText(QString::number(total));
}

void CMainDlg::SetWaitText(const std::string& text)
{
    m_wait->setText(QString::fromUtf8(text));
}

QString CMainDlg::StatusText() const
{
    return m_status->text();
}

QString CMainDlg::ReceivedTotalText() const
{
    return m_received->text();
}

QString CMainDlg::WaitText() const
{
    return m_wait->text();
}

void CMainDlg::SortByColumn(int column)
{
    bool* nextDescending = nullptr;
    if (column == CChannelListModel::kStation)
        nextDescending = &m_column0Descending;
    else if (column == CChannelListModel::kLastCountTime || column == CChannelListModel::kServer)
        nextDescending = &m_column24Descending;
    if (nextDescending)
    {
        const bool descending = *nextDescending;
        *nextDescending = !descending;
        m_model.Sort(column, descending);
        m_sortedColumn = column;
        m_sortedOrder = descending ? Qt::DescendingOrder : Qt::AscendingOrder;
    }
    // The heading flips its arrow on every click; it shows the sort that was really made.
    m_listView->horizontalHeader()->setSortIndicator(m_sortedColumn, m_sortedOrder);
}

void CMainDlg::SaveColumnWidths()
{
    std::array<int, kSavedColumns> widths{};
    for (int column = 0; column < kSavedColumns; ++column)
        widths[static_cast<std::size_t>(column)] =
            m_listView->horizontalHeader()->sectionSize(column);
    if (!WriteProfileString(g_iniPath, "LISTBOXHEADER", "HDRSIZE", FormatColumnWidths(widths)))
        LogEvent("Column widths not saved: " + g_iniPath + " cannot be written");
}

void CMainDlg::RestoreColumnWidths()
{
    const SavedWidths widths =
        ParseColumnWidths(ReadProfileString(g_iniPath, "LISTBOXHEADER", "HDRSIZE", "", 127));
    for (int column = 0; column < kSavedColumns; ++column)
    {
        if (const auto& width = widths[static_cast<std::size_t>(column)])
            m_listView->horizontalHeader()->resizeSection(column, *width);
    }
}

std::array<int, kListColumns> CMainDlg::NeededColumnWidths() const
{
    // Typical contents: names of up to 7 characters, a packet time, a file of the data root,
    // a server with its type. A longer file name or server runs into the next column's room.
    static const char* const kSamples[kListColumns] = {
        "ABCDEFG", "ABCDEFG", "2026:343-03:27:37.990", "ABC/13/07122026-130455-BHZ.ABC",
        "192.168.100.200 (xfer)"};
    const QFontMetrics cells = m_listView->fontMetrics();
    const QFontMetrics headings = m_listView->horizontalHeader()->fontMetrics();
    constexpr int kPadding = 16; // the cell's margins and the sort arrow
    std::array<int, kListColumns> needed{};
    for (int column = 0; column < kListColumns; ++column)
    {
        const QString heading = m_model.headerData(column, Qt::Horizontal).toString();
        needed[static_cast<std::size_t>(column)] =
            std::max(cells.horizontalAdvance(QString::fromLatin1(kSamples[column])),
                     headings.horizontalAdvance(heading)) +
            kPadding;
    }
    return needed;
}

void CMainDlg::RefreshTroubles()
{
    for (const auto& counters : Metrics().Channels())
    {
        if (counters->configured.load(std::memory_order_relaxed))
            m_model.SetTrouble(counters->station, counters->channel, TroubleOf(*counters));
    }
}

void CMainDlg::TrayActivated(QSystemTrayIcon::ActivationReason reason)
{
    if (m_menuBusy)
        return;
    m_menuBusy = true;
    if (reason == QSystemTrayIcon::Trigger)
    {
        // Right-aligned to the cursor, as the tray sits at the right of the screen.
        const QPoint cursor = QCursor::pos();
        m_trayMenu.exec(QPoint(cursor.x() - m_trayMenu.sizeHint().width(), cursor.y()));
    }
    m_menuBusy = false;
}

void CMainDlg::ConfigureCommand()
{
    if (!LaunchConfigurator())
        OperatorView().ShowMessage("", "Не удалось обнаружить файл IniTarvell.exe",
                                   MessageIcon::Warning, true);
}

void CMainDlg::ActivateCommand()
{
    g_showWindow.store(1);
    showNormal();
    raise();
    activateWindow();
}

void CMainDlg::ExitCommand()
{
    SaveColumnWidths();
    // Posted, as a command: the menu that chose it has closed before the program stops.
    QMetaObject::invokeMethod(this, &CMainDlg::StopCommand, Qt::QueuedConnection);
}

void CMainDlg::StopCommand()
{
    if (m_tray)
        m_tray->hide();
    m_totalTimer.stop();
    hide();
    emit StopRequested();
}

void CMainDlg::ShowAboutBox()
{
    QDialog about(this);
    about.setWindowTitle(QStringLiteral("About TARVELL"));
    auto* icon = new QLabel;
    icon->setPixmap(ApplicationIcon().pixmap(48, 48));
    auto* text = new QLabel(QStringLiteral("TARVELL Version 1.0"));
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok);
    connect(buttons, &QDialogButtonBox::accepted, &about, &QDialog::accept);
    auto* row = new QHBoxLayout;
    row->addWidget(icon);
    row->addSpacing(12);
    row->addWidget(text, 1);
    auto* layout = new QVBoxLayout(&about);
    layout->addLayout(row);
    layout->addWidget(buttons);
    about.exec();
}

void CMainDlg::HideToTray()
{
    if (!m_trayAvailable)
    {
        // Hidden, it could not be shown again: it goes to the task bar instead.
        showMinimized();
        return;
    }
    g_showWindow.store(0);
    hide();
}

void CMainDlg::closeEvent(QCloseEvent* event)
{
    // The close box never ends the program.
    event->ignore();
    HideToTray();
}

void CMainDlg::showEvent(QShowEvent* event)
{
    g_showWindow.store(1);
    QDialog::showEvent(event);
}

void CMainDlg::hideEvent(QHideEvent* event)
{
    // Minimised the window is still the operator's; only a hidden one stops the wait display.
    if (!isMinimized())
        g_showWindow.store(0);
    QDialog::hideEvent(event);
}

void CMainDlg::accept() {}

void CMainDlg::reject()
{
    HideToTray();
}

} // namespace tarvell
