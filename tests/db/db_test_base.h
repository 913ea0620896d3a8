#pragma once
// The common frame of the database tests: a sandbox, the event log in it, a recording
// operator view, and a fresh KDX database of the test's backend. Main test thread.

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "log/event_log.h"
#include "support/kdx_database.h"
#include "support/recording_view.h"
#include "support/sandbox.h"

namespace tarvell::test
{

// The whole event log written so far (every day's file of the sandbox's log folder).
inline std::string ReadEventLog(const Sandbox& box)
{
    std::string all;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(box.File("log"), error))
        all += ReadFile(entry.path().string());
    return all;
}

class LoggingFrame
{
public:
    LoggingFrame(const Sandbox& box)
    {
        ResetLogForTest();
        InitLog(box.Write("log.ini", "[LOG]\nDIR=" + box.File("log") + "\n"));
    }
    ~LoggingFrame() { ResetLogForTest(); }
};

class DbTest : public ::testing::TestWithParam<Backend>
{
protected:
    std::string EventLog() const { return ReadEventLog(m_box); }
    bool IsPostgres() const { return GetParam() == Backend::Postgres; }

    Sandbox m_box;
    LoggingFrame m_logging{m_box};
    CRecordingView m_view;
    KdxDatabase m_db{GetParam(), m_box};
};

} // namespace tarvell::test
