#pragma once
// Helpers of the window tests: a Qt Test main on the offscreen platform, and a watcher of the
// message boxes the window shows. User-interface thread only.

#include <functional>
#include <vector>

#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QtTest>

namespace tarvell::test
{

// A message box as the operator saw it.
struct SeenBox
{
    QString title;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
};

// Watches for modal message boxes while it lives and records each one. A box runs its own
// event loop, so whatever a test does while a box is open runs in onBox (from the watcher's
// timer inside that loop); without onBox, or when onBox leaves the box open, the watcher
// answers it with OK.
class CBoxWatcher
{
public:
    explicit CBoxWatcher(std::function<void(QMessageBox&)> onBox = {}) : m_onBox(std::move(onBox))
    {
        QObject::connect(&m_poll, &QTimer::timeout, &m_poll, [this] { Look(); });
        m_poll.start(5);
    }

    const std::vector<SeenBox>& Boxes() const { return m_boxes; }

    // The box that is open now, or nullptr.
    static QMessageBox* OpenBox()
    {
        return qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    }

private:
    void Look()
    {
        QMessageBox* box = OpenBox();
        if (box == nullptr || m_handling)
            return;
        m_handling = true;
        m_boxes.push_back({box->windowTitle(), box->text(), box->icon()});
        QPointer<QMessageBox> alive(box);
        if (m_onBox)
            m_onBox(*box);
        if (alive && alive->isVisible())
            alive->accept();
        m_handling = false;
    }

    std::function<void(QMessageBox&)> m_onBox;
    bool m_handling = false;
    std::vector<SeenBox> m_boxes;
    QTimer m_poll;
};

} // namespace tarvell::test

// main() of a window test: the offscreen platform unless the caller chose another, and an
// application that does not end when its last window closes (the program's never does).
#define TARVELL_UI_TEST_MAIN(TestClass)                                                            \
    int main(int argc, char** argv)                                                                \
    {                                                                                              \
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))                                        \
            qputenv("QT_QPA_PLATFORM", "offscreen");                                               \
        QApplication application(argc, argv);                                                      \
        QApplication::setQuitOnLastWindowClosed(false);                                            \
        TestClass test;                                                                            \
        return QTest::qExec(&test, argc, argv);                                                    \
    }
