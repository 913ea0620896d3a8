#include "ui/window_mode.h"

#include <QApplication>

#include "platform/command_signals.h"
#include "ui/CWindowFront.h"
#include "ui/app_icon.h"

namespace tarvell
{

int RunWithWindow(const CommandLine& line, const char* programName)
{
    // Before Qt starts threads of its own, which would otherwise take SIGTERM with its
    // default action and end the program without its orderly stop.
    BlockCommandSignals();
    // Qt sees only the program name: the rest of the command line is ours.
    int argc = 1;
    char* argv[] = {const_cast<char*>(programName), nullptr};
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("TARVELL"));
    QApplication::setWindowIcon(ApplicationIcon());
    // The window hides instead of closing, and boxes come and go while it is hidden.
    QApplication::setQuitOnLastWindowClosed(false);

    CWindowFront front;
    return RunProgram(line, front);
}

} // namespace tarvell
