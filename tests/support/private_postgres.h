#pragma once
// A PostgreSQL server of the test's own (scripts/postgres.sh on a free port and a folder of
// its own), which the test may stop and start without disturbing the other tests that share
// the configured test server. Main test thread only.

#include <string>

#include "support/kdx_database.h"

namespace tarvell::test
{

class PrivatePostgres
{
public:
    // Starts the server; Started() says whether it came up.
    PrivatePostgres();
    // Stops the server and removes its folder.
    ~PrivatePostgres();
    PrivatePostgres(const PrivatePostgres&) = delete;
    PrivatePostgres& operator=(const PrivatePostgres&) = delete;

    // Runs scripts/postgres.sh command ("start", "stop", "restart") on this server; true
    // when it succeeded.
    bool Run(const char* command) const;
    bool Started() const { return m_started; }
    const PostgresServer& Server() const { return m_server; }

private:
    PostgresServer m_server;
    std::string m_dir;
    bool m_started = false;
};

} // namespace tarvell::test
