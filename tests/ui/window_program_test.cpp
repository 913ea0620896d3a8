// The program with its window, in this process, against xfer-sim on loopback and a real
// SQLite KDX database: silent mode as the check box sets it, and the orderly stop from the
// tray menu's exit command and from SIGTERM, which must write every buffered sample.

#include <atomic>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <thread>

#include <QCheckBox>
#include <QtTest>

#include <pthread.h>

#include "app/acquisition.h"
#include "app/application.h"
#include "app/channel_rows.h"
#include "app/command_line.h"
#include "app/run_control.h"
#include "config/load_groups.h"
#include "config/server_link.h"
#include "config/station_groups.h"
#include "db/connection.h"
#include "db/db_access.h"
#include "e2e/child_process.h"
#include "platform/time_conversions.h"
#include "log/event_log.h"
#include "platform/ini_profile.h"
#include "platform/program_paths.h"
#include "support/kdx_database.h"
#include "support/sandbox.h"
#include "ui/CWindowFront.h"
#include "ui/ui_test_support.h"
#include "xfer-sim/synthetic_signal.h"

namespace tarvell
{
namespace
{

constexpr long long kStart = 1796648700; // 2026-12-07 13:05:00 UTC
constexpr int kRate = 100;
constexpr int kSeconds = 30; // 3000 samples: less than a chunk, so all of it stays buffered

// Counts the packet lines of the status line (they start with a blank; "Connecting...",
// "Connected to server: ..." and "Connection closed" do not) on their way to the window.
class CCountingView final : public IOperatorView
{
public:
    explicit CCountingView(IOperatorView& window) : m_window(window) {}

    void SetStatusLine(std::string_view text) override
    {
        if (!text.empty() && text[0] == ' ')
            ++packetLines;
        m_window.SetStatusLine(text);
    }
    void SetReceivedTotal(std::int64_t total) override { m_window.SetReceivedTotal(total); }
    bool IsWindowVisible() const override { return m_window.IsWindowVisible(); }
    void SetWaitDisplay(std::string_view text) override { m_window.SetWaitDisplay(text); }
    void SetChannelRows(const std::vector<ChannelRow>& rows) override
    {
        m_window.SetChannelRows(rows);
    }
    void SetChannelText(std::string_view station, std::string_view channel, ChannelColumn column,
                        std::string_view text) override
    {
        m_window.SetChannelText(station, channel, column, text);
    }
    void ShowMessage(std::string_view caption, std::string_view text, MessageIcon icon,
                     bool callerWaits) override
    {
        m_window.ShowMessage(caption, text, icon, callerWaits);
    }

    std::atomic<int> packetLines{0};

private:
    IOperatorView& m_window;
};

} // namespace

class CWindowProgramTest : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        m_box = std::make_unique<test::Sandbox>();
        m_db = std::make_unique<test::KdxDatabase>(test::Backend::Sqlite, *m_box);
        m_db->AddSiteChan("ABC", "BHZ", kRate);
        m_db->AddSiteChan("ABC", "BHN", kRate);
        ResetRunFlagForTest();
        g_silent = 0;
        g_showWindow = 0;
    }

    void cleanup()
    {
        SetOperatorView(nullptr);
        ResetRunFlagForTest();
        ResetLogForTest();
        m_sim.reset();
        m_db.reset();
        m_box.reset();
    }

    void silentModeLeavesTheRowsAndTheStatusLineAlone()
    {
        const int port = StartSim({"--end-status", "1"});
        WriteIni(port, "DETAIL");
        const std::shared_ptr<const CConfiguration> config = LoadGroups(g_iniPath, g_waveRoot);
        QCOMPARE(config->links.size(), std::size_t{1});

        CMainDlg window(true);
        CWindowView windowView(window);
        CCountingView view(windowView);
        SetOperatorView(&view);
        view.SetChannelRows(ChannelRows(*config));
        window.Start();
        window.ActivateCommand();
        auto* silent = window.findChild<QCheckBox*>("silentMode");

        for (bool quiet : {true, false})
        {
            if (silent->isChecked() != quiet)
                QTest::mouseClick(silent, Qt::LeftButton);
            QCOMPARE(g_silent.load(), quiet ? 1 : 0);
            ChannelStates none;
            CRunningLink link(config, 0, none); // a link of its own: everything again
            view.packetLines = 0;
            std::atomic<bool> ended{false};
            std::thread acquisition(
                [&]
                {
                    RunConnection(link);
                    ended = true;
                });
            QTRY_VERIFY_WITH_TIMEOUT(ended.load(), 60000);
            acquisition.join();
            QTest::qWait(120); // the view's next updates
            const std::string shown =
                quiet ? std::string("---------") : util_dttostr(kStart + kSeconds - 1, 0);
            for (int row = 0; row < 2; ++row)
                QCOMPARE(window.List().Text(row, 2), shown);
            QCOMPARE(view.packetLines.load(), quiet ? 0 : 2 * kSeconds);
            QCOMPARE(window.StatusText(), QString("Connection closed"));
        }
    }

    void anOrderlyStopWritesEveryBufferedSample_data()
    {
        QTest::addColumn<bool>("exitCommand"); // else SIGTERM
        QTest::newRow("exit command") << true;
        QTest::newRow("SIGTERM") << false;
    }

    void anOrderlyStopWritesEveryBufferedSample()
    {
        QFETCH(bool, exitCommand);
        const int port = StartSim({});
        const std::string ini = WriteIni(port, "DETAIL", "SCREEN=FULL\n");
        CommandLine line;
        line.iniPath = ini;

        CWindowFront front(true);
        CMainDlg& window = front.Window();
        const std::string last = util_dttostr(kStart + kSeconds - 1, 0);
        bool stopSent = false;
        bool shownAtStart = false;
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, &poll,
                         [&]
                         {
                             const CChannelListModel& list = window.List();
                             if (stopSent || list.rowCount() != 2 || list.Text(0, 2) != last ||
                                 list.Text(1, 2) != last)
                                 return;
                             stopSent = true;
                             shownAtStart = window.isVisible() && window.TrayIcon()->isVisible();
                             // Nothing is on disk yet: every sample is still in the buffers.
                             QVERIFY(!std::filesystem::exists(m_box->File("data/ABC")));
                             if (exitCommand)
                                 TriggerMenuItem(window.TrayMenu(), "Завершить работу");
                             else
                                 pthread_kill(pthread_self(), SIGTERM);
                         });
        poll.start(20);
        QCOMPARE(RunProgram(line, front), 0);
        QVERIFY(stopSent);
        QVERIFY(shownAtStart);
        QVERIFY(!window.TrayIcon()->isVisible());
        QVERIFY(!window.isVisible());

        for (const char* channel : {"BHZ", "BHN"})
        {
            QCOMPARE(WrittenSamples(channel), static_cast<long long>(kRate) * kSeconds);
            QCOMPARE(ReadProfileInt(ini, "GROUP1", channel, 0), kStart + kSeconds);
        }
        const std::string log = LogText();
        QVERIFY2(log.ends_with("#[TARVELL] TARVELL stopped...#\r\n"), log.c_str());
        // The exit command also keeps the column widths; the stop command alone does not.
        QCOMPARE(ReadProfileString(ini, "LISTBOXHEADER", "HDRSIZE", "", 127).empty(), !exitCommand);
    }

private:
    int StartSim(std::vector<std::string> switches)
    {
        const std::string portFile = m_box->File("port");
        std::vector<std::string> arguments = {"--port", "0", "--port-file", portFile};
        for (const char* channel : {"BHZ", "BHN"})
            arguments.insert(
                arguments.end(),
                {"--synthetic", std::string("ABC:") + channel + ":" + std::to_string(kRate) + ":" +
                                    std::to_string(kStart) + ":" + std::to_string(kSeconds)});
        arguments.insert(arguments.end(), switches.begin(), switches.end());
        m_sim = std::make_unique<test::ChildProcess>(XFER_SIM_BINARY, arguments,
                                                     m_box->File("sim.out"));
        int port = 0;
        test::WaitUntil([&] { return (port = std::atoi(test::ReadFile(portFile).c_str())) > 0; });
        return port;
    }

    std::string WriteIni(int port, const std::string& mode, const std::string& system = "")
    {
        std::filesystem::create_directories(m_box->File("log"));
        g_iniPath = m_box->Write(
            "tarvell.ini", "[SYSTEM]\nGROUPS=1\nSERVER=127.0.0.1\nPORT=" + std::to_string(port) +
                               "\nMODE=" + mode + "\n" + system +
                               "[GROUP1]\nSTATION=ABC\nCHAN=BHZ,BHN\nSIZEMB=100\n"
                               "[DATA]\nDIR=" +
                               g_waveRoot + "\n[DATABASE]\nODBC=" + m_db->Dsn() +
                               "\nUSER=" + m_db->User() + "\nPASSWORD=" + m_db->Password() +
                               "\n[LOG]\nDIR=" + m_box->File("log") + "\n");
        return g_iniPath;
    }

    static void TriggerMenuItem(QMenu& menu, const QString& text)
    {
        for (QAction* action : menu.actions())
        {
            if (action->text() == text)
                action->trigger();
        }
    }

    // The samples of the channel's FILELIST rows, each compared with what the server sent;
    // -1 when one differs or lies outside the data.
    long long WrittenSamples(const std::string& channel)
    {
        DbOutcome rows = m_db->Query("select CPATH, TBEGIN from FILELIST where STA='ABC' and CH='" +
                                         channel + "'",
                                     {DbType::Text, DbType::Double});
        if (!rows.ok)
            return -1;
        long long samples = 0;
        for (const DbRow& row : rows.rows)
        {
            const std::string bytes = test::ReadFile(g_waveRoot + "/" + row[0].text);
            const long long first = std::llround((row[1].number - kStart) * kRate);
            for (std::size_t at = 512; at + 4 <= bytes.size(); at += 4, ++samples)
            {
                float value = 0;
                std::memcpy(&value, bytes.data() + at, 4);
                const long long k = first + static_cast<long long>(at - 512) / 4;
                if (k < 0 || k >= kRate * kSeconds ||
                    value != static_cast<float>(sim::SyntheticSample(k)))
                    return -1;
            }
        }
        return samples;
    }

    std::string LogText() const
    {
        std::string all;
        for (const auto& entry : std::filesystem::directory_iterator(m_box->File("log")))
            all += test::ReadFile(entry.path().string());
        return all;
    }

    std::unique_ptr<test::Sandbox> m_box;
    std::unique_ptr<test::KdxDatabase> m_db;
    std::unique_ptr<test::ChildProcess> m_sim;
};

} // namespace tarvell

TARVELL_UI_TEST_MAIN(tarvell::CWindowProgramTest)
#include "window_program_test.moc"
