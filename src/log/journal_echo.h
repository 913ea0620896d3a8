#pragma once
// What of the event log the service manager's journal hears. A service reads nothing but
// its journal, so the lines that mean trouble (and the end of a trouble, the start and the
// stop) are also written to stderr with the journal's priority prefix; every other line
// stays in the event log alone. Any thread.

#include <string_view>

namespace tarvell
{

// How much an event line matters to whoever watches the service.
enum class LogSeverity
{
    Event,   // the event log only
    Info,    // "<6>": the program starts or stops, a trouble is over
    Warning, // "<4>": something is not acquired or archived as configured, for now
    Error,   // "<3>": acquisition or archiving fails
};

// The severity of an event line, by the fixed words that begin each kind of line (a table
// in journal_echo.cpp, where every classified line is listed); Event for any other line.
LogSeverity SeverityOfLine(std::string_view line);

// True when text matches pattern, in which "*" stands for any run of characters (none
// included) and every other character for itself.
bool MatchesPattern(std::string_view pattern, std::string_view text);

// Headless mode switches the echo on: from then on EchoLine writes to stderr.
void SetJournalEcho(bool on);
bool JournalEchoOn();

// With the echo on and severity other than Event: writes "<N>" and line (line breaks as
// blanks) and a newline to stderr in one write, so that lines of different threads never
// mix and each becomes one journal entry. Returns true when it wrote.
bool EchoLine(LogSeverity severity, std::string_view line);

} // namespace tarvell
