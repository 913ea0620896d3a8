#pragma once
// The program's life: start-up in its fixed order, the running program, the stop command,
// and the reload of the configuration. Main thread only, unless said otherwise.

#include <string>

namespace tarvell
{

class IOperatorView;
struct CommandLine;

// How the operator meets the running program: the operator window, or nothing but the event
// log (headless). The program's start-up and orderly stop are the same for both; a front
// only says how it is seen and how the stop command reaches it.
class IProgramFront
{
public:
    virtual ~IProgramFront() = default;

    // The view installed for the whole run, from the first step of start-up.
    virtual IOperatorView& View() = 0;

    // True when nobody sits at a window to mend the configuration through the tray: a start
    // with an INI that cannot be read or with no channel to acquire then fails at once rather
    // than running without doing anything.
    virtual bool Unattended() const { return false; }

    // The groups are loaded and their rows are in the view; the acquisition threads start
    // next. The window applies SCREEN, shows its icon and starts its timer here.
    virtual void Starting() {}

    // Runs until the stop command: the exit command of the window, SIGTERM or SIGINT.
    virtual void RunUntilStop() = 0;

    // The stop command has come; the acquisition threads are stopped next. The window
    // removes its icon here, and from now on message boxes no longer wait for the operator
    // (nobody would answer them while the threads are joined).
    virtual void Stopping() {}
};

// The whole life of the program with front: the program INI (--ini, else the executable's
// own), the event log ("TARVELL started..."), one instance per INI file, the database (its
// settings read from the line's settings arguments), the groups, the missing loop files,
// MODE, the archive's end of every channel (and the repairs a crash left to do), the channel
// rows, the acquisition threads; then front.RunUntilStop, and the orderly stop: every
// acquisition thread joined, every channel's buffered samples written and committed, the
// resume times written, "TARVELL stopped...". Returns the exit status: 0 after an orderly
// stop, 1 when start-up failed (the reason went to the view, the event log once it is open,
// and the service manager's status line): another instance holds the INI, the database cannot
// be opened or written, the status server cannot listen, the fleet's tables cannot be made,
// or, unattended, the INI cannot be read or names no channel that can be acquired.
int RunProgram(const CommandLine& line, IProgramFront& front);

// RunProgram without a window until SIGTERM or SIGINT (the stop command); SIGHUP reloads the
// groups from the INI file. The lines of trouble also go to stderr with the journal's
// priority prefixes (SetJournalEcho).
int RunHeadless(const CommandLine& line);

// [SYSTEM] MODE of g_iniPath: "SILENT" sets silent mode, "DETAIL" clears it, anything else
// leaves it as it is.
void ApplyMode();

// The reload after the configuration changed: pauses acquisition between packets, writes
// every channel's buffered samples, reads the groups again, loads the resume times of the
// new channel records, gives the view the new rows, and resumes. Server links are not
// rebuilt. Any thread; reloads run one at a time. False, with nothing done, once the program
// is stopping.
bool ReloadGroups();

// The program INI of a command line: --ini, else the executable's own.
std::string ResolveIniPath(const CommandLine& line);

} // namespace tarvell
