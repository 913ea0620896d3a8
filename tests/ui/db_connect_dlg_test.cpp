// The connection dialog against real ODBC data sources: what Test, OK and Cancel read from
// its controls, what they connect to, and what the operator is told.

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QtTest>

#include "db/connection.h"
#include "support/kdx_database.h"
#include "support/recording_view.h"
#include "support/sandbox.h"
#include "ui/CDbConnectDlg.h"
#include "ui/ui_test_support.h"

namespace tarvell
{

class CDbConnectDlgTest : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        m_box = std::make_unique<test::Sandbox>();
        m_db = std::make_unique<test::KdxDatabase>(test::Backend::Sqlite, *m_box);
        // A user data source whose database cannot be opened: its connect fails.
        test::AddTestDataSource(
            "BROKEN", {"Driver=SQLite3", "Database=" + m_box->File("no/such/dir/x.db")}, true);
        DbDisconnect();
        g_dsn = "PREVIOUS";
        g_dbUser = "op";
        g_dbPassword = "secret";
        m_view = std::make_unique<test::CRecordingView>();
    }

    void cleanup()
    {
        m_view.reset();
        m_db.reset();
        m_box.reset();
    }

    void itOpensWithTheLoginAndTheSystemSourcesFirst()
    {
        CDbConnectDlg dialog;
        QCOMPARE(dialog.windowTitle(), QString("Подключение к базе данных..."));
        QCOMPARE(dialog.User().text(), QString("op"));
        QCOMPARE(dialog.Password().text(), QString("secret"));
        QCOMPARE(dialog.Password().echoMode(), QLineEdit::Password);
        QComboBox& sources = dialog.DataSources();
        QVERIFY(sources.count() >= 2);
        QCOMPARE(sources.currentIndex(), 0);
        QCOMPARE(sources.itemText(0), QString("KDX (System DSN)"));
        QCOMPARE(sources.itemText(sources.count() - 1), QString("BROKEN (User DSN)"));
        for (int i = 0; i + 1 < sources.count(); ++i)
            QVERIFY(sources.itemText(i).endsWith(" (System DSN)"));
        QStringList buttons;
        for (QPushButton* button : dialog.findChildren<QPushButton*>())
            buttons << button->text();
        buttons.sort();
        QCOMPARE(buttons,
                 QStringList({"OK", "Вызов ODBC Data Source Administrator", "Отмена", "Тест"}));
    }

    void testAndOkReadTheControls_data()
    {
        QTest::addColumn<QString>("item");    // empty: an empty list
        QTest::addColumn<bool>("ok");         // OK, else Тест
        QTest::addColumn<QString>("dsn");     // g_dsn afterwards
        QTest::addColumn<bool>("connected");  // the dialog connected
        QTest::addColumn<bool>("accepted");   // the dialog closed with OK
        QTest::addColumn<QString>("caption"); // of the box the operator saw; empty: none
        QTest::newRow("test: the report box") << "KDX (System DSN)" << false << "KDX" << true
                                              << false << "Подключение к источнику данных!";
        QTest::newRow("ok: closes without a box")
            << "KDX (System DSN)" << true << "KDX" << true << true << "";
        QTest::newRow("ok: a failed connect stays open")
            << "BROKEN (User DSN)" << true << "BROKEN" << false << false
            << "Ошибка при подключении к базе данных";
        QTest::newRow("test with no source: the empty name")
            << "" << false << "" << false << false << "Ошибка при подключении к базе данных";
        QTest::newRow("ok with no source: the previous name")
            << "" << true << "PREVIOUS" << false << false << "Ошибка при подключении к базе данных";
    }

    void testAndOkReadTheControls()
    {
        QFETCH(QString, item);
        QFETCH(bool, ok);
        QFETCH(QString, dsn);
        QFETCH(bool, connected);
        QFETCH(bool, accepted);
        QFETCH(QString, caption);
        CDbConnectDlg dialog;
        if (item.isEmpty())
            dialog.DataSources().clear();
        else
            dialog.DataSources().setCurrentIndex(dialog.DataSources().findText(item));
        dialog.User().setText(QString::fromStdString(m_db->User()));
        dialog.Password().setText(QString::fromStdString(m_db->Password()));
        dialog.show();
        if (ok)
            QTest::mouseClick(dialog.findChild<QPushButton*>("ok"), Qt::LeftButton);
        else
            QTest::mouseClick(&dialog.TestButton(), Qt::LeftButton);

        QCOMPARE(QString::fromStdString(g_dsn), dsn);
        QCOMPARE(g_dbUser, m_db->User());
        QCOMPARE(g_dbPassword, m_db->Password());
        QCOMPARE(DbIsAlive(), connected);
        QCOMPARE(dialog.result() == QDialog::Accepted, accepted);
        QCOMPARE(dialog.isVisible(), !accepted);
        const auto messages = m_view->Messages();
        QCOMPARE(messages.size(), caption.isEmpty() ? std::size_t{0} : std::size_t{1});
        if (!caption.isEmpty())
            QCOMPARE(QString::fromStdString(messages[0].caption), caption);
        if (connected && !ok)
            QVERIFY(messages[0].text.rfind("Успешное подключение к DSN: KDX\t\r\n", 0) == 0);
    }

    void cancelChangesNothing()
    {
        CDbConnectDlg dialog;
        dialog.User().setText("someone");
        dialog.show();
        QTest::mouseClick(dialog.findChild<QPushButton*>("cancel"), Qt::LeftButton);
        QCOMPARE(dialog.result(), int(QDialog::Rejected));
        QCOMPARE(g_dsn, std::string("PREVIOUS"));
        QCOMPARE(g_dbUser, std::string("op"));
        QVERIFY(m_view->Messages().empty());
    }

    void theAdministratorButtonSaysWhenThereIsNone()
    {
        CDbConnectDlg dialog;
        dialog.show();
        QTest::mouseClick(&dialog.AdministratorButton(), Qt::LeftButton);
        const auto messages = m_view->Messages();
        QCOMPARE(messages.size(), std::size_t{1});
        QVERIFY(messages[0].text.find("ODBC Data Source Administrator") != std::string::npos);
        QVERIFY(dialog.isVisible());
    }

    // Start-up goes on after OK, or after Cancel when a test has connected; a Cancel without
    // a connection ends it.
    void theStartUpDialogSaysWhetherThereIsAConnection()
    {
        auto operate = [this](bool test)
        {
            QTimer::singleShot(20,
                               [this, test]
                               {
                                   auto* dialog = qobject_cast<CDbConnectDlg*>(
                                       QApplication::activeModalWidget());
                                   QVERIFY(dialog);
                                   dialog->User().setText(QString::fromStdString(m_db->User()));
                                   if (test)
                                       dialog->TestCommand();
                                   dialog->reject();
                               });
            return RunDbConnectDialog();
        };
        QVERIFY(!operate(false));
        QVERIFY(operate(true));
        QVERIFY(DbIsAlive());
        QCOMPARE(g_dsn, std::string("KDX"));
    }

private:
    std::unique_ptr<test::Sandbox> m_box;
    std::unique_ptr<test::KdxDatabase> m_db;
    std::unique_ptr<test::CRecordingView> m_view;
};

} // namespace tarvell

TARVELL_UI_TEST_MAIN(tarvell::CDbConnectDlgTest)
#include "db_connect_dlg_test.moc"
