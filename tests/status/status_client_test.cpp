#include "status/status_client.h"

#include <cstdio>
#include <string>
#include <thread>

#include <gtest/gtest.h>
#include <httplib.h>
#include <sys/stat.h>

#include "support/sandbox.h"

namespace tarvell
{
namespace
{

using test::ReadFile;
using test::Sandbox;

// A status answer as the program gives it, cut to what --status reads.
const char kStatus[] =
    R"({"version":"1.0.0","summary":"1 channel, 1 flowing, database up","stalled_channels":0,)"
    R"("database":{"reachable":true,"outages":0},)"
    R"("links":[{"server":"127.0.0.1","port":14002,"state":"connected","reconnects":0}],)"
    R"("channels":[{"station":"ABC","channel":"BHZ","server":"127.0.0.1","file":"ABC/x",)"
    R"("last_sample_time":1796648700.5,"latency_seconds":0.5,"stalled":false}]})";

// A server in the role of a status server that answers whatever the test says, to requests
// that carry the token "T".
class CStandIn
{
public:
    CStandIn()
    {
        m_server.Get("/status",
                     [this](const httplib::Request& request, httplib::Response& response)
                     {
                         if (request.get_header_value("Authorization") != "Bearer T")
                         {
                             response.status = 401;
                             return;
                         }
                         response.set_content(m_answer, "application/json");
                     });
        m_port = m_server.bind_to_any_port("127.0.0.1");
        m_thread = std::thread([this] { m_server.listen_after_bind(); });
        // A stop before the thread listens would be lost.
        test::WaitUntil([this] { return m_server.is_running(); });
    }
    ~CStandIn()
    {
        m_server.stop();
        m_thread.join();
    }
    int Port() const { return m_port; }
    void Answer(std::string answer) { m_answer = std::move(answer); }

private:
    httplib::Server m_server;
    std::thread m_thread;
    int m_port = 0;
    std::string m_answer; // written before each request by the test thread
};

class StatusClientTest : public ::testing::Test
{
protected:
    // --status with the INI pointing at the stand-in; returns the exit status, what it wrote
    // to stderr in *err and to stdout in *out.
    int Status(const std::string& token, std::string* out, std::string* err)
    {
        const std::string tokenFile = m_box.Write("token", token + "\n");
        EXPECT_EQ(::chmod(tokenFile.c_str(), 0600), 0);
        const std::string ini = m_box.Write(
            "tarvell.ini", "[STATUS]\nLISTEN=127.0.0.1:" + std::to_string(m_server.Port()) +
                               "\nTOKEN_FILE=" + tokenFile + "\n");
        std::FILE* outFile = std::fopen(m_box.File("out").c_str(), "w");
        std::FILE* errFile = std::fopen(m_box.File("err").c_str(), "w");
        const int status = PrintStatus(ini, false, outFile, errFile);
        std::fclose(outFile);
        std::fclose(errFile);
        *out = ReadFile(m_box.File("out"));
        *err = ReadFile(m_box.File("err"));
        return status;
    }

    Sandbox m_box;
    CStandIn m_server;
};

TEST_F(StatusClientTest, AnyAnswerThatIsNoStatusEndsWithExitTwoAndSaysWhy)
{
    const std::string status = kStatus;
    struct Case
    {
        std::string answer;
        std::string message;
    };
    for (const Case& c :
         {Case{R"({"channels": []})", "is no status: no version"},
          Case{"<html>garbage</html>", "is no status: the answer is no JSON"},
          Case{status.substr(0, status.size() / 2), "is no status: the answer is no JSON"},
          Case{"[1, 2]", "is no status: the answer is no JSON object"},
          Case{R"({"version":1})", "is no status: version is no text"},
          Case{std::string(kStatus).replace(status.find("\"stalled\":false"), 15,
                                            "\"stalled\":\"no\""),
               "is no status: channels[0].stalled is no true or false"},
          Case{std::string(kStatus).replace(status.find("\"port\":14002"), 12, "\"port\":1.5"),
               "is no status: links[0].port is no whole number"},
          Case{std::string(kStatus).replace(status.find("[{\"station\""), 1, "[7,"),
               "is no status: channels[0] is no object"}})
    {
        m_server.Answer(c.answer);
        std::string out;
        std::string err;
        EXPECT_EQ(Status("T", &out, &err), kStatusNoAnswer) << c.answer;
        EXPECT_NE(err.find(c.message), std::string::npos) << c.answer << "\n" << err;
        EXPECT_EQ(out, "");
    }

    // The status itself is printed; a wrong token is refused by the server.
    m_server.Answer(kStatus);
    std::string out;
    std::string err;
    EXPECT_EQ(Status("T", &out, &err), kStatusWell) << err;
    EXPECT_NE(out.find("ABC     BHZ     2026:341-13:05:00.500"), std::string::npos) << out;
    EXPECT_EQ(Status("not-T", &out, &err), kStatusNoAnswer);
    EXPECT_NE(err.find("refused the token"), std::string::npos) << err;
}

// The exit is 0 only while every channel archived here flows on a connected server with the
// database up and the data root there; each kind of trouble alone gives 1 and is named.
TEST_F(StatusClientTest, OnlyEveryChannelFlowingIsAllWell)
{
    const std::string well = kStatus;
    auto changed = [&](const std::string& from, const std::string& to)
    {
        std::string answer = well;
        answer.replace(answer.find(from), from.size(), to);
        return answer;
    };
    // A second server held by another instance of the fleet, whose channel has no data here.
    const std::string fleet =
        changed(R"("reconnects":0}],)",
                R"("reconnects":0},{"server":"b","port":1,"state":"idle","reconnects":0,)"
                R"("held_here":false,"holder":"other"}],)");
    const std::string elsewhere =
        fleet.substr(0, fleet.size() - 2) +
        R"(,{"station":"DEF","channel":"BHZ","server":"b","file":"","last_sample_time":null,)"
        R"("latency_seconds":null,"stalled":false,"elsewhere":true}]})";
    struct Case
    {
        std::string answer;
        int exit;
        std::string named; // in the line on stderr
    };
    for (const Case& c :
         {Case{well, kStatusWell, ""}, Case{elsewhere, kStatusWell, ""},
          Case{changed(R"("state":"connected")", R"("state":"waiting")"), kStatusTrouble,
               "not all well: server 127.0.0.1:14002 is waiting"},
          Case{changed(R"("last_sample_time":1796648700.5)", R"("last_sample_time":null)"),
               kStatusTrouble, "not all well: 1 without data since the start"},
          Case{changed(R"("stalled":false)", R"("stalled":true)"), kStatusTrouble, "1 silent"},
          Case{changed(R"("stalled":false)", R"("stalled":false,"held":{"reason":"write"})"),
               kStatusTrouble, "1 not archived (held)"},
          Case{changed(R"("reachable":true)", R"("reachable":false)"), kStatusTrouble,
               "the database is down"},
          Case{changed(R"("stalled_channels":0,)",
                       R"("stalled_channels":0,"data_root_missing":true,)"),
               kStatusTrouble, "the data root is missing"},
          Case{changed(R"("stalled_channels":0,)", R"("stalled_channels":0,"not_acquired":2,)"),
               kStatusTrouble, "2 configured not acquired"}})
    {
        m_server.Answer(c.answer);
        std::string out;
        std::string err;
        EXPECT_EQ(Status("T", &out, &err), c.exit) << c.answer << "\n" << err;
        if (c.named.empty())
            EXPECT_EQ(err, "") << c.answer;
        else
            EXPECT_NE(err.find(c.named), std::string::npos) << c.answer << "\n" << err;
    }
}

} // namespace
} // namespace tarvell
