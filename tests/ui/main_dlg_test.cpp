// The operator window on its own: the list, its sorting and widths, MODE and SCREEN, the
// tray menu, the configurator launch and its reload, and updates and boxes from other
// threads through the window's operator view.

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <QCheckBox>
#include <QHeaderView>
#include <QMenu>
#include <QTableView>
#include <QtTest>

#include <sys/stat.h>

#include "config/server_link.h"
#include "db/connection.h"
#include "app/acquisition_gate.h"
#include "app/application.h"
#include "app/channel_rows.h"
#include "app/configurator.h"
#include "app/run_control.h"
#include "config/load_groups.h"
#include "config/station_groups.h"
#include "metrics/metrics_registry.h"
#include "platform/ini_profile.h"
#include "platform/program_paths.h"
#include "support/kdx_database.h"
#include "support/sandbox.h"
#include "ui/CMainDlg.h"
#include "ui/CWindowView.h"
#include "ui/column_widths.h"
#include "ui/ui_test_support.h"

namespace tarvell
{

using test::CBoxWatcher;

namespace
{

// A group made without the database (the list needs no sampling rates).
void AddTestGroup(CConfiguration& config, const std::string& station,
                  const std::vector<std::string>& channels, const std::string& server)
{
    CStationGroup& group =
        config.groups.emplace_back(station, static_cast<int>(config.groups.size()) + 1);
    group.server = server;
    group.serverType = "xfer";
    for (const std::string& channel : channels)
        group.channels.emplace_back(channel, 100);
    config.links = BuildServerLinks(config.groups);
    config.Index();
}

// The rows as "STATION CHANNEL", top to bottom.
QStringList RowNames(const CChannelListModel& list)
{
    QStringList names;
    for (int row = 0; row < list.rowCount(); ++row)
        names << QString::fromStdString(list.Text(row, 0) + " " + list.Text(row, 1));
    return names;
}

void ClickHeading(CMainDlg& window, int column)
{
    QHeaderView* header = window.ListView().horizontalHeader();
    const QPoint at(header->sectionViewportPosition(column) + header->sectionSize(column) / 2,
                    header->height() / 2);
    QTest::mouseClick(header->viewport(), Qt::LeftButton, Qt::NoModifier, at);
}

int ColumnWidth(CMainDlg& window, int column)
{
    return window.ListView().horizontalHeader()->sectionSize(column);
}

// A stand-in for the configuration program: each run takes the next number n, waits until
// the file release<n> exists, then puts ini<n> (if there is one) in place of the INI file.
std::string WriteFakeConfigurator(const test::Sandbox& box)
{
    const std::string dir = box.File("bin");
    std::filesystem::create_directories(dir);
    const std::string path = dir + "/" + kConfiguratorName;
    const std::string work = box.Path();
    box.Write("bin/IniTarvell", "#!/bin/sh\n"
                                "n=1\n"
                                "while ! mkdir '" +
                                    work +
                                    "/run'$n 2>/dev/null; do n=$((n + 1)); done\n"
                                    "while [ ! -e '" +
                                    work +
                                    "/release'$n ]; do sleep 0.02; done\n"
                                    "[ -e '" +
                                    work + "/ini'$n ] && cp '" + work + "/ini'$n '" + g_iniPath +
                                    "'\n"
                                    "exit 0\n");
    ::chmod(path.c_str(), 0755);
    return dir;
}

// PATH for one test.
class CPathSetting
{
public:
    explicit CPathSetting(const std::string& path) : m_old(qgetenv("PATH"))
    {
        qputenv("PATH", QByteArray::fromStdString(path));
    }
    ~CPathSetting() { qputenv("PATH", m_old); }

private:
    QByteArray m_old;
};

} // namespace

class CMainDlgTest : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        m_box = std::make_unique<test::Sandbox>();
        g_iniPath = m_box->Write("tarvell.ini", "[SYSTEM]\nGROUPS=0\n");
        ResetRunFlagForTest();
        g_silent = 0;
        g_showWindow = 0;
    }

    void cleanup()
    {
        QTRY_COMPARE(ReloadsInFlight(), 0);
        SetOperatorView(nullptr);
        m_box.reset();
    }

    void theListIsFilledFromTheGroups()
    {
        CConfiguration config;
        AddTestGroup(config, "ABC", {"BHZ", "BHN"}, "host1");
        AddTestGroup(config, "DEF", {}, "host2"); // no channel: no row
        AddTestGroup(config, "GHI", {"LHZ"}, "Host1");
        CMainDlg window(true);
        CWindowView view(window);
        view.SetChannelRows(ChannelRows(config));
        view.ApplyPending();

        const CChannelListModel& list = window.List();
        QCOMPARE(list.columnCount(), 5);
        const QStringList headings = {"Station", "Channel", "Last count time", "File (type)",
                                      "Server (type)"};
        for (int column = 0; column < 5; ++column)
            QCOMPARE(list.headerData(column, Qt::Horizontal).toString(), headings[column]);
        QCOMPARE(RowNames(list), QStringList({"ABC BHZ", "ABC BHN", "GHI LHZ"}));
        for (int row = 0; row < 3; ++row)
        {
            QCOMPARE(list.Text(row, 2), std::string("---------"));
            QCOMPARE(list.Text(row, 3), std::string());
        }
        // One link per server (host and port): GHI shares ABC's, under ABC's spelling.
        QCOMPARE(list.Text(0, 4), std::string("host1:14002 (xfer)"));
        QCOMPARE(list.Text(2, 4), std::string("host1:14002 (xfer)"));
    }

    void headingClicksSort_data()
    {
        QTest::addColumn<QList<int>>("clicks");
        QTest::addColumn<QStringList>("order");
        QTest::addColumn<int>("indicator"); // the column the heading marks, -1 none
        // Fill order: B1, A1, C1, A2. Last count times and servers are chosen so that each
        // column sorts differently; servers compare as unsigned bytes ("Z" < "a" < "\xc3").
        QTest::newRow("station ascending")
            << QList<int>{0} << QStringList{"A1 BHZ", "A2 BHZ", "B1 BHZ", "C1 BHZ"} << 0;
        QTest::newRow("station twice: descending")
            << QList<int>{0, 0} << QStringList{"C1 BHZ", "B1 BHZ", "A2 BHZ", "A1 BHZ"} << 0;
        QTest::newRow("time, then server: one shared alternation")
            << QList<int>{2, 4} << QStringList{"C1 BHZ", "A2 BHZ", "B1 BHZ", "A1 BHZ"} << 4;
        QTest::newRow("server ascending: unsigned bytes, case-sensitive")
            << QList<int>{4} << QStringList{"A1 BHZ", "B1 BHZ", "A2 BHZ", "C1 BHZ"} << 4;
        QTest::newRow("station does not touch the time alternation")
            << QList<int>{2, 0, 2} << QStringList{"A1 BHZ", "B1 BHZ", "A2 BHZ", "C1 BHZ"} << 2;
        QTest::newRow("channel and file do not sort")
            << QList<int>{1, 3} << QStringList{"B1 BHZ", "A1 BHZ", "C1 BHZ", "A2 BHZ"} << -1;
        QTest::newRow("a click on the file column keeps the sort shown")
            << QList<int>{0, 3} << QStringList{"A1 BHZ", "A2 BHZ", "B1 BHZ", "C1 BHZ"} << 0;
    }

    void headingClicksSort()
    {
        QFETCH(QList<int>, clicks);
        QFETCH(QStringList, order);
        QFETCH(int, indicator);
        CMainDlg window(true);
        window.show();
        window.List().SetRows({{"B1", "BHZ", "Zulu (xfer)"},
                               {"A1", "BHZ", "Alpha (xfer)"},
                               {"C1", "BHZ", "\xc3\xa9t\xc3\xa9 (xfer)"},
                               {"A2", "BHZ", "alpha (xfer)"}});
        window.List().SetTexts(
            {{"B1", "BHZ", ChannelColumn::LastCountTime, "2026:341-13:05:02.000"},
             {"A1", "BHZ", ChannelColumn::LastCountTime, "2026:341-13:05:03.000"},
             {"C1", "BHZ", ChannelColumn::LastCountTime, "2026:341-13:05:00.000"},
             {"A2", "BHZ", ChannelColumn::LastCountTime, "2026:341-13:05:01.000"}});
        for (int column : clicks)
            ClickHeading(window, column);
        QCOMPARE(RowNames(window.List()), order);
        QCOMPARE(window.ListView().horizontalHeader()->sortIndicatorSection(), indicator);
    }

    // An acquisition thread sends texts for every channel while the operator sorts; every
    // text must end in its own channel's row.
    void updatesFromAnotherThreadLandOnTheirChannelWhileSorting()
    {
        constexpr int kChannels = 300;
        constexpr int kRounds = 60;
        std::vector<ChannelRow> rows;
        for (int c = 0; c < kChannels; ++c)
        {
            char station[8];
            std::snprintf(station, sizeof station, "S%03d", (c * 7919) % kChannels);
            rows.push_back({station, "BHZ", "h" + std::to_string(c % 5) + " (xfer)"});
        }
        CMainDlg window(true);
        window.show();
        CWindowView view(window);
        view.SetChannelRows(rows);
        view.ApplyPending();

        std::atomic<bool> done{false};
        std::thread acquisition(
            [&]
            {
                for (int round = 1; round <= kRounds; ++round)
                {
                    for (const ChannelRow& row : rows)
                    {
                        const std::string mark = row.station + "#" + std::to_string(round);
                        view.SetChannelText(row.station, row.channel, ChannelColumn::LastCountTime,
                                            mark);
                        view.SetChannelText(row.station, row.channel, ChannelColumn::File,
                                            mark + ".f");
                    }
                    std::this_thread::sleep_for(std::chrono::milliseconds(2));
                }
                done = true;
            });
        const int columns[] = {0, 2, 4, 2, 0};
        for (int i = 0; !done.load(); ++i)
        {
            ClickHeading(window, columns[i % 5]);
            QTest::qWait(7);
        }
        acquisition.join();
        QTest::qWait(120); // the view's next updates
        const CChannelListModel& list = window.List();
        QCOMPARE(list.rowCount(), kChannels);
        for (int row = 0; row < list.rowCount(); ++row)
        {
            const std::string mark = list.Text(row, 0) + "#" + std::to_string(kRounds);
            QCOMPARE(list.Text(row, 2), mark);
            QCOMPARE(list.Text(row, 3), mark + ".f");
        }
    }

    void hdrsizeRestoresTheWidthsItCan_data()
    {
        QTest::addColumn<QString>("value");
        QTest::addColumn<QList<int>>("widths"); // 0: the initial width
        QTest::newRow("missing") << QString() << QList<int>{0, 0, 0, 0};
        QTest::newRow("four") << "60,61,120,200" << QList<int>{60, 61, 120, 200};
        QTest::newRow("zero and text") << "80,0,abc" << QList<int>{80, 0, 0, 0};
        QTest::newRow("one") << "70" << QList<int>{70, 0, 0, 0};
        QTest::newRow("empty pieces") << "70,,90" << QList<int>{70, 0, 90, 0};
        QTest::newRow("leading digits") << "x,50px,-5,33" << QList<int>{0, 50, 0, 33};
        QTest::newRow("the fifth is not read")
            << "100,101,102,103,104" << QList<int>{100, 101, 102, 103};
        QTest::newRow("too wide") << "99999999999" << QList<int>{kMaxColumnWidth, 0, 0, 0};
    }

    void hdrsizeRestoresTheWidthsItCan()
    {
        QFETCH(QString, value);
        QFETCH(QList<int>, widths);
        if (!value.isNull())
            QVERIFY(WriteProfileString(g_iniPath, "LISTBOXHEADER", "HDRSIZE", value.toStdString()));
        CMainDlg window(true);
        window.Start();
        for (int column = 0; column < 4; ++column)
        {
            QCOMPARE(ColumnWidth(window, column),
                     widths[column] ? widths[column] : window.InitialColumnWidth(column));
        }
        if (value.isNull())
        {
            // At the window's own size every column starts inside the list, the file column
            // is the widest, and the server keeps the room its text needs.
            window.show();
            QVERIFY(QTest::qWaitForWindowExposed(&window));
            const int list = window.ListView().viewport()->width();
            const int server = window.InitialColumnWidth(4);
            QVERIFY(window.InitialColumnWidth(3) > window.InitialColumnWidth(2));
            QVERIFY2(
                window.ListView().horizontalHeader()->sectionViewportPosition(4) + server <= list,
                qPrintable(
                    QString("list %1 px, server column at %2")
                        .arg(list)
                        .arg(window.ListView().horizontalHeader()->sectionViewportPosition(4))));
        }
    }

    // The rows of a silent and of a held channel are marked with the reason and since when,
    // and the mark goes when the channel is well again.
    void silentAndHeldChannelsAreMarked()
    {
        CConfiguration config;
        AddTestGroup(config, "ABC", {"BHZ", "BHN", "BHE"}, "host1");
        CMainDlg window(true);
        CWindowView view(window);
        view.SetChannelRows(ChannelRows(config));
        view.ApplyPending();
        const auto silent = Metrics().Channel("ABC", "BHN");
        const auto held = Metrics().Channel("ABC", "BHE");
        silent->silentSince.store(1796648695.0);
        silent->stalled.store(true);
        held->Held(1, 1796648700.0, "File create error 'x': Permission denied");
        window.RefreshTroubles();

        const CChannelListModel& list = window.List();
        auto background = [&](int row, int column)
        { return list.data(list.index(row, column), Qt::BackgroundRole); };
        auto tip = [&](int row, int column)
        { return list.data(list.index(row, column), Qt::ToolTipRole).toString(); };
        QVERIFY(!background(0, 0).isValid());
        QCOMPARE(tip(0, 2), QString("---------"));
        for (int column = 0; column < 5; ++column)
        {
            QVERIFY(background(1, column).isValid());
            QVERIFY(background(2, column).isValid());
            QCOMPARE(tip(1, column),
                     QString("Silent since 2026:341-13:04:55.000: its server is connected and "
                             "sends nothing for it"));
            QCOMPARE(tip(2, column), QString("Not archived since 2026:341-13:05:00.000: File "
                                             "create error 'x': Permission denied"));
        }
        QVERIFY(background(1, 0) != background(2, 0)); // a hold is not a silence

        silent->stalled.store(false);
        held->Held(0, 0, "");
        window.RefreshTroubles();
        QVERIFY(!background(1, 0).isValid());
        QVERIFY(!background(2, 0).isValid());
        QCOMPARE(tip(1, 1), QString("BHN"));
    }

    void theWidthsAreSavedAsFourNumbers()
    {
        m_box->Write("tarvell.ini", "; kept\n[SYSTEM]\nGROUPS=0\n[LISTBOXHEADER]\nHDRSIZE=1,2\n");
        {
            CMainDlg window(true);
            window.Start();
            QHeaderView* header = window.ListView().horizontalHeader();
            const int widths[] = {61, 62, 123, 204};
            for (int column = 0; column < 4; ++column)
                header->resizeSection(column, widths[column]);
            window.SaveColumnWidths();
        }
        QCOMPARE(ReadProfileString(g_iniPath, "LISTBOXHEADER", "HDRSIZE", "", 127),
                 std::string("61,62,123,204"));
        QVERIFY(test::ReadFile(g_iniPath).rfind("; kept\n", 0) == 0);
        CMainDlg again(true);
        again.Start();
        QCOMPARE(ColumnWidth(again, 2), 123);
    }

    void modeAndScreenSetSilentModeAndTheWindow_data()
    {
        QTest::addColumn<QString>("mode");   // empty: no key
        QTest::addColumn<QString>("screen"); // empty: no key
        QTest::addColumn<bool>("tray");
        QTest::addColumn<int>("silentBefore");
        QTest::addColumn<int>("shownBefore");
        QTest::addColumn<bool>("silent");
        QTest::addColumn<bool>("shown");
        QTest::newRow("defaults: silent and hidden") << ""
                                                     << "" << true << 0 << 0 << true << false;
        QTest::newRow("detail and full") << "DETAIL"
                                         << "FULL" << true << 1 << 0 << false << true;
        QTest::newRow("lower case") << "detail"
                                    << "full" << true << 1 << 0 << false << true;
        QTest::newRow("hide") << "SILENT"
                              << "HIDE" << true << 0 << 1 << true << false;
        QTest::newRow("other values leave both") << "LOUD"
                                                 << "HALF" << true << 0 << 1 << false << true;
        QTest::newRow("no tray: shown anyway") << ""
                                               << "HIDE" << false << 0 << 0 << true << true;
    }

    void modeAndScreenSetSilentModeAndTheWindow()
    {
        QFETCH(QString, mode);
        QFETCH(QString, screen);
        QFETCH(bool, tray);
        QFETCH(int, silentBefore);
        QFETCH(int, shownBefore);
        QFETCH(bool, silent);
        QFETCH(bool, shown);
        if (!mode.isEmpty())
            QVERIFY(WriteProfileString(g_iniPath, "SYSTEM", "MODE", mode.toStdString()));
        if (!screen.isEmpty())
            QVERIFY(WriteProfileString(g_iniPath, "SYSTEM", "SCREEN", screen.toStdString()));
        g_silent = silentBefore;
        g_showWindow = shownBefore;
        CMainDlg window(tray);
        ApplyMode();
        window.Start();
        QCOMPARE(g_silent.load() != 0, silent);
        auto* box = window.findChild<QCheckBox*>("silentMode");
        QVERIFY(box);
        QCOMPARE(box->isChecked(), silent);
        QCOMPARE(window.isVisible(), shown);
        QCOMPARE(g_showWindow.load() != 0, shown);
        QCOMPARE(window.TrayIcon() != nullptr, tray);

        // The check box is silent mode.
        window.show();
        QTest::mouseClick(box, Qt::LeftButton);
        QCOMPARE(g_silent.load() != 0, !silent);
        QTest::mouseClick(box, Qt::LeftButton);
        QCOMPARE(g_silent.load() != 0, silent);
    }

    // Neither the close box nor Enter nor Escape ends the program: that is the stop command's.
    void closeEnterAndEscapeOnlyHideTheWindow()
    {
        CMainDlg window(true);
        QSignalSpy stops(&window, &CMainDlg::StopRequested);
        window.Start();
        window.ActivateCommand();
        QVERIFY(window.isVisible());
        QCOMPARE(g_showWindow.load(), 1);
        window.close();
        QVERIFY(!window.isVisible());
        QCOMPARE(g_showWindow.load(), 0);
        window.ActivateCommand();
        QVERIFY(window.isVisible());
        QTest::keyClick(&window, Qt::Key_Return);
        QVERIFY(window.isVisible());
        QTest::keyClick(&window, Qt::Key_Escape);
        QVERIFY(!window.isVisible());
        QCOMPARE(stops.count(), 0);

        CMainDlg withoutTray(false);
        withoutTray.Start();
        withoutTray.close();
        QVERIFY(!withoutTray.isHidden()); // minimised at most: nothing else could show it
        QCOMPARE(stops.count(), 0);
    }

    void theTrayMenuOpensOnALeftClickOnlyAndOnceAtATime()
    {
        CMainDlg window(true);
        window.Start();
        QMenu& menu = window.TrayMenu();
        QStringList items;
        for (QAction* action : menu.actions())
            items << (action->isSeparator() ? QString("-") : action->text());
        QCOMPARE(items, QStringList(
                            {"Конфигурация", "-", "Активизировать программу", "Завершить работу"}));

        int opened = 0;
        QObject::connect(&menu, &QMenu::aboutToShow, [&] { ++opened; });
        window.TrayActivated(QSystemTrayIcon::Context);
        window.TrayActivated(QSystemTrayIcon::DoubleClick);
        window.TrayActivated(QSystemTrayIcon::MiddleClick);
        QCOMPARE(opened, 0);
        QVERIFY(!window.MenuBusy());

        const QPoint cursor(400, 300);
        QCursor::setPos(cursor);
        bool busyWhileOpen = false;
        QRect where;
        QTimer::singleShot(50,
                           [&]
                           {
                               busyWhileOpen = window.MenuBusy();
                               where = menu.geometry();
                               // A second click while the menu is open is ignored.
                               window.TrayActivated(QSystemTrayIcon::Trigger);
                               menu.close();
                           });
        window.TrayActivated(QSystemTrayIcon::Trigger);
        QCOMPARE(opened, 1);
        QVERIFY(busyWhileOpen);
        QVERIFY(!window.MenuBusy());
        QVERIFY(qAbs(where.right() + 1 - cursor.x()) <= 2); // right-aligned to the cursor
        QCOMPARE(where.top(), cursor.y());
    }

    void aMissingConfiguratorIsReportedAndChangesNothing()
    {
        CPathSetting path(m_box->File("empty"));
        CMainDlg window(true);
        CWindowView view(window);
        SetOperatorView(&view);
        CBoxWatcher boxes;
        window.ConfigureCommand();
        QCOMPARE(boxes.Boxes().size(), std::size_t{1});
        QCOMPARE(boxes.Boxes()[0].text, QString("Не удалось обнаружить файл IniTarvell.exe"));
        QCOMPARE(boxes.Boxes()[0].icon, QMessageBox::Warning);
        QVERIFY(!AcquisitionGate().IsPaused());
        QCOMPARE(ReloadsInFlight(), 0);
    }

    // Two runs of the configuration program: the list shows the new groups when the first
    // ends, and acquisition stays paused until the second has ended too.
    void theConfiguratorsEndRebuildsTheRowsAndResumesAfterTheLastRun()
    {
        test::KdxDatabase db(test::Backend::Sqlite, *m_box);
        db.AddSiteChan("ABC", "BHZ", 100);
        db.AddSiteChan("ABC", "BHN", 100);
        db.AddSiteChan("DEF", "HHZ", 40);
        m_box->Write("tarvell.ini", "[SYSTEM]\nGROUPS=1\nSERVER=h1\n[GROUP1]\nSTATION=ABC\n"
                                    "CHAN=BHZ,BHN\n");
        m_box->Write("ini1", "[SYSTEM]\nGROUPS=2\nSERVER=h1\n[GROUP1]\nSTATION=ABC\nCHAN=BHZ\n"
                             "[GROUP2]\nSTATION=DEF\nCHAN=HHZ\n");
        CPathSetting path(WriteFakeConfigurator(*m_box) + ":/usr/bin:/bin");
        CMainDlg window(true);
        CWindowView view(window);
        SetOperatorView(&view);
        view.SetChannelRows(ChannelRows(*LoadGroups(g_iniPath, g_waveRoot)));
        view.ApplyPending();
        QCOMPARE(RowNames(window.List()), QStringList({"ABC BHZ", "ABC BHN"}));

        window.ConfigureCommand();
        window.ConfigureCommand();
        QTRY_VERIFY(std::filesystem::exists(m_box->File("run2")));
        QTRY_VERIFY(AcquisitionGate().IsPaused());
        QCOMPARE(ReloadsInFlight(), 2);

        m_box->Write("release1", "");
        QTRY_COMPARE(RowNames(window.List()), QStringList({"ABC BHZ", "DEF HHZ"}));
        for (int row = 0; row < 2; ++row)
        {
            QCOMPARE(window.List().Text(row, 2), std::string("---------"));
            QCOMPARE(window.List().Text(row, 4), std::string("h1:14002 (xfer)"));
        }
        QTRY_COMPARE(ReloadsInFlight(), 1);
        QVERIFY(AcquisitionGate().IsPaused());

        m_box->Write("release2", "");
        QTRY_COMPARE(ReloadsInFlight(), 0);
        QVERIFY(!AcquisitionGate().IsPaused());
        QCOMPARE(RowNames(window.List()), QStringList({"ABC BHZ", "DEF HHZ"}));
    }

    // A box raised on another thread is modal on this one, which goes on updating the window;
    // the raising thread waits for the operator, and the stop releases it.
    void aBoxFromAnotherThreadHoldsOnlyThatThread()
    {
        CMainDlg window(true);
        CWindowView view(window);
        std::atomic<bool> answered{false};
        bool checkedWhileOpen = false;
        {
            CBoxWatcher boxes(
                [&](QMessageBox& box)
                {
                    std::thread other([&] { view.SetStatusLine("Connected to server: h1"); });
                    other.join();
                    QTRY_COMPARE(window.StatusText(), QString("Connected to server: h1"));
                    QVERIFY(!answered.load());
                    box.accept();
                    checkedWhileOpen = true;
                });
            std::thread raiser(
                [&]
                {
                    view.ShowMessage("Ошибка при подключении к базе данных", "line 1\r\nline 2",
                                     MessageIcon::Error, true);
                    answered = true;
                });
            QTRY_VERIFY(answered.load());
            raiser.join();
            QVERIFY(checkedWhileOpen);
            QCOMPARE(boxes.Boxes().size(), std::size_t{1});
            QCOMPARE(boxes.Boxes()[0].title, QString("Ошибка при подключении к базе данных"));
            QCOMPARE(boxes.Boxes()[0].text, QString("line 1\nline 2"));
            QCOMPARE(boxes.Boxes()[0].icon, QMessageBox::Critical);
        }

        answered = false;
        CBoxWatcher boxes(
            [&](QMessageBox&)
            {
                view.Close(); // the stop command while the box is open
                QTRY_VERIFY(answered.load());
            });
        std::thread held(
            [&]
            {
                view.ShowMessage("", "held", MessageIcon::Warning, true);
                answered = true;
            });
        QTRY_VERIFY(answered.load());
        held.join();
        QTRY_VERIFY(CBoxWatcher::OpenBox() == nullptr);
        QCOMPARE(boxes.Boxes().size(), std::size_t{1});
        QCOMPARE(boxes.Boxes()[0].title, QString("TARVELL"));
        // Once closed, a box does not wait at all and is not shown.
        view.ShowMessage("", "after the stop", MessageIcon::Warning, true);
        QTest::qWait(60);
        QCOMPARE(boxes.Boxes().size(), std::size_t{1});
    }

private:
    std::unique_ptr<test::Sandbox> m_box;
};

} // namespace tarvell

TARVELL_UI_TEST_MAIN(tarvell::CMainDlgTest)
#include "main_dlg_test.moc"
