#pragma once
// The connection dialog of start-up: the data sources the driver manager knows, the user and
// the password, a test connect and the system's data source administrator. User-interface
// thread only.

#include <optional>
#include <string>

#include <QDialog>

#include "db/db_settings.h"

class QComboBox;
class QLineEdit;
class QPushButton;

namespace tarvell
{

class CDbConnectDlg final : public QDialog
{
    Q_OBJECT

public:
    // Shows g_dbUser and g_dbPassword, and lists the data sources, system ones first, each as
    // "<name> (System DSN)" or "<name> (User DSN)", the first one selected.
    explicit CDbConnectDlg(QWidget* parent = nullptr);

    // "Тест": the selected data source (none when the item has no suffix: an empty name),
    // the user and the password become the settings; then a connect that reports its result
    // in a box. The dialog stays open, and a successful test stays connected.
    void TestCommand();

    // "Вызов ODBC Data Source Administrator": the system's administrator, or a box that says
    // there is none.
    void AdministratorCommand();

    QComboBox& DataSources() { return *m_dataSources; }
    QLineEdit& User() { return *m_user; }
    QLineEdit& Password() { return *m_password; }
    QPushButton& TestButton() { return *m_test; }
    QPushButton& AdministratorButton() { return *m_administrator; }

public slots:
    // OK: as the test, but an item without a suffix leaves the data source as it was, and
    // the connect reports only a failure; the dialog closes when it connected.
    void accept() override;

private:
    // The data source of the selected item: the text before " (System DSN)" or
    // " (User DSN)"; nothing when the item has neither (or there is no item).
    std::optional<std::string> SelectedDataSource() const;
    void ReadControls(bool emptyWithoutSuffix);

    CDbSettings m_settings;
    QPushButton* m_administrator = nullptr;
    QComboBox* m_dataSources = nullptr;
    QLineEdit* m_user = nullptr;
    QLineEdit* m_password = nullptr;
    QPushButton* m_test = nullptr;
};

// The connection dialog of start-up (the hook of RunConnectDialog), run modally: true when a
// connection was made with OK, or when the operator cancelled after a test that connected
// (that connection is then used); false when cancelled without a connection, so that
// start-up ends with "KDX database open error" instead of running without a database.
bool RunDbConnectDialog();

} // namespace tarvell
