#include "ui/CDbConnectDlg.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "db/connection.h"
#include "platform/operator_view.h"

namespace tarvell
{
namespace
{

constexpr char kSystemSuffix[] = " (System DSN)";
constexpr char kUserSuffix[] = " (User DSN)";
constexpr int kMaxLoginChars = 127;

QLabel* FieldLabel(const char* text)
{
    auto* label = new QLabel(QString::fromUtf8(text));
    label->setContentsMargins(2, 4, 0, 0);
    return label;
}

std::string LimitedText(const QLineEdit& edit)
{
    return edit.text().left(kMaxLoginChars).toStdString();
}

} // namespace

CDbConnectDlg::CDbConnectDlg(QWidget* parent)
    : QDialog(parent), m_settings(std::vector<std::string>{})
{
    setWindowTitle(QStringLiteral("Подключение к базе данных..."));
    // A fixed frame without a system menu: the dialog is left by its buttons.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);

    m_administrator = new QPushButton(QStringLiteral("Вызов ODBC Data Source Administrator"));
    m_dataSources = new QComboBox;
    m_dataSources->setObjectName(QStringLiteral("dataSource"));
    m_user = new QLineEdit(QString::fromUtf8(g_dbUser));
    m_user->setObjectName(QStringLiteral("user"));
    m_password = new QLineEdit(QString::fromUtf8(g_dbPassword));
    m_password->setObjectName(QStringLiteral("password"));
    m_password->setEchoMode(QLineEdit::Password);
    auto* ok = new QPushButton(QStringLiteral("OK"));
    ok->setObjectName(QStringLiteral("ok"));
    ok->setDefault(true);
    auto* cancel = new QPushButton(QStringLiteral("Отмена"));
    cancel->setObjectName(QStringLiteral("cancel"));
    m_test = new QPushButton(QStringLiteral("Тест"));
    m_test->setObjectName(QStringLiteral("test"));

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(ok);
    buttons->addWidget(cancel);
    buttons->addWidget(m_test);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_administrator);
    layout->addWidget(FieldLabel("Название источника данных"));
    layout->addWidget(m_dataSources);
    layout->addWidget(FieldLabel("Имя пользователя"));
    layout->addWidget(m_user);
    layout->addWidget(FieldLabel("Пароль пользователя"));
    layout->addWidget(m_password);
    layout->addSpacing(6);
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);

    connect(m_administrator, &QPushButton::clicked, this, &CDbConnectDlg::AdministratorCommand);
    connect(ok, &QPushButton::clicked, this, &CDbConnectDlg::accept);
    connect(cancel, &QPushButton::clicked, this, &CDbConnectDlg::reject);
    connect(m_test, &QPushButton::clicked, this, &CDbConnectDlg::TestCommand);

    m_settings.ListDataSources();
    for (const DataSourceEntry& source : m_settings.dataSources)
        m_dataSources->addItem(
            QString::fromUtf8(source.name + (source.kind == 1 ? kSystemSuffix : kUserSuffix)));
    m_dataSources->setCurrentIndex(m_dataSources->count() > 0 ? 0 : -1);
}

std::optional<std::string> CDbConnectDlg::SelectedDataSource() const
{
    const std::string item = m_dataSources->currentText().toStdString();
    for (const char* suffix : {kSystemSuffix, kUserSuffix})
    {
        const std::size_t at = item.find(suffix);
        if (at != std::string::npos)
            return item.substr(0, at);
    }
    return std::nullopt;
}

void CDbConnectDlg::ReadControls(bool emptyWithoutSuffix)
{
    if (std::optional<std::string> source = SelectedDataSource())
        g_dsn = *source;
    else if (emptyWithoutSuffix)
        g_dsn.clear();
    g_dbUser = LimitedText(*m_user);
    g_dbPassword = LimitedText(*m_password);
}

void CDbConnectDlg::TestCommand()
{
    ReadControls(true);
    DbDisconnect();
    DbConnect(true);
}

void CDbConnectDlg::accept()
{
    ReadControls(false);
    DbDisconnect();
    if (DbConnect(false))
        QDialog::accept();
}

void CDbConnectDlg::AdministratorCommand()
{
    if (!DbManageDataSources(this))
        OperatorView().ShowMessage(
            "Подключение к базе данных...",
            "На этой системе нет ODBC Data Source Administrator.\r\n"
            "Источники данных описаны в файлах odbc.ini и odbcinst.ini\r\n"
            "(их места показывает команда odbcinst -j; ODBCSYSINI и ODBCINI их меняют).",
            MessageIcon::Information, true);
}

bool RunDbConnectDialog()
{
    CDbConnectDlg dialog;
    if (dialog.exec() == QDialog::Accepted)
        return true;
    return DbIsAlive();
}

} // namespace tarvell
