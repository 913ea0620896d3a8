#include "status/status_server.h"

#include <chrono>
#include <thread>

#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "log/limited_log.h"
#include "metrics/metrics_registry.h"
#include "platform/clock.h"
#include "platform/text_format.h"
#include "status/connection_pool.h"
#include "status/prometheus_text.h"
#include "status/request_policy.h"
#include "status/request_stream.h"
#include "status/status_json.h"
#include "status/status_page.h"
#include "status/status_snapshot.h"

namespace tarvell
{
namespace
{

// Requests answered on one kept-alive connection before it is closed; a scraper simply
// connects again.
constexpr int kRequestsPerConnection = 100;

// The library listens with a backlog of 5: a burst of connections beyond it would wait in
// SYN retries of a second and more, among them a scraper's. They wait in the kernel instead,
// without a descriptor of the process, until the accepting thread admits or refuses them.
constexpr int kListenBacklog = 128;

// The answer to a connection refused at the limit, sent without waiting: a client that does
// not read it simply loses it.
constexpr char kBusyAnswer[] = "HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\n"
                               "Connection: close\r\nRetry-After: 1\r\n\r\n";

// What the serving thread knows of the exchange under way: the connection, to mark it being
// answered, and whether the answer ends the connection.
struct Exchange
{
    CConnectionPool::CConnection* connection = nullptr;
    bool endConnection = false;
};
thread_local Exchange* t_exchange = nullptr;

StatusServerCounters& Counters()
{
    return Metrics().process.statusServer;
}

bool IsLoopback(const sockaddr_storage& address)
{
    if (address.ss_family == AF_INET)
    {
        const auto& in = reinterpret_cast<const sockaddr_in&>(address);
        return (ntohl(in.sin_addr.s_addr) >> 24) == 127;
    }
    if (address.ss_family == AF_INET6)
    {
        const auto& in6 = reinterpret_cast<const sockaddr_in6&>(address);
        return IN6_IS_ADDR_LOOPBACK(&in6.sin6_addr) != 0 ||
               (IN6_IS_ADDR_V4MAPPED(&in6.sin6_addr) != 0 && in6.sin6_addr.s6_addr[12] == 127);
    }
    return false;
}

} // namespace

// httplib's server with the connections taken over: its accepting thread hands each socket
// to the bounded pool (the task queue runs the hand-over at once), and the pool's threads
// read requests through CRequestStream and answer them with the library's own parser and
// routes.
class CBoundedServer final : public httplib::Server
{
public:
    CBoundedServer(const StatusServerLimits& limits, std::string token)
        : m_limits(limits), m_token(std::move(token)),
          m_pool(
              static_cast<std::size_t>(limits.maxConnections),
              [this](CConnectionPool::CConnection& connection) { Serve(connection); },
              Counters().connectionsOpen)
    {
        new_task_queue = [] { return new CAtOnce(); };
        set_keep_alive_max_count(kRequestsPerConnection);
        set_keep_alive_timeout(limits.requestSeconds);
        set_payload_max_length(0); // no address takes a body
        set_pre_routing_handler([this](const httplib::Request& request, httplib::Response& response)
                                { return Screen(request, response); });
        // A client that announces a body waits for leave to send it: it gets the refusal
        // instead, and never sends the body.
        set_expect_100_continue_handler(
            [this](const httplib::Request& request, httplib::Response& response) {
                return Screen(request, response) == HandlerResponse::Handled ? response.status
                                                                             : 100;
            });
    }

    ~CBoundedServer() override { m_pool.Stop(); }

    // After the bind: the backlog, and whether the address is a loopback one.
    void Listening()
    {
        ::listen(svr_sock_, kListenBacklog);
        sockaddr_storage address{};
        socklen_t size = sizeof address;
        m_onLoopback =
            ::getsockname(svr_sock_, reinterpret_cast<sockaddr*>(&address), &size) == 0 &&
            IsLoopback(address);
    }
    bool OnLoopback() const { return m_onLoopback; }

    void StopPool() { m_pool.Stop(); }

private:
    // The library's task queue, replaced by the hand-over: nothing waits in it.
    class CAtOnce final : public httplib::TaskQueue
    {
    public:
        void enqueue(std::function<void()> task) override { task(); }
        void shutdown() override {}
    };

    // The accepting thread: the library calls this for every connection it accepted.
    bool process_and_close_socket(socket_t socket) override
    {
        switch (m_pool.Admit(socket))
        {
        case CConnectionPool::Admission::Admitted:
            return true;
        case CConnectionPool::Admission::MadeRoom:
            Refused(StatusRefusal::MadeRoom, m_madeRoomLine,
                    FormatText("Status server: %d connections were open, the most it keeps: "
                               "the one waiting longest for its request was closed for a new "
                               "one from %s",
                               m_limits.maxConnections, PeerAddress(socket).c_str()));
            return true;
        case CConnectionPool::Admission::Refused:
            break;
        }
        Refused(StatusRefusal::ConnectionLimit, m_limitLine,
                FormatText("Status server: a connection from %s was refused: %d connections "
                           "are open, the most it keeps, and all are being answered",
                           PeerAddress(socket).c_str(), m_limits.maxConnections));
        (void)::send(socket, kBusyAnswer, sizeof kBusyAnswer - 1, MSG_NOSIGNAL | MSG_DONTWAIT);
        ::close(socket);
        return false;
    }

    // A pool thread: the requests of one connection, one after another, each within the
    // request time.
    void Serve(CConnectionPool::CConnection& connection)
    {
        CRequestStream stream(connection.Socket(), std::chrono::seconds(m_limits.requestSeconds));
        for (int served = 0; served < kRequestsPerConnection; ++served)
        {
            connection.Waiting();
            stream.BeginRequest();
            if (!stream.WaitForRequest())
            {
                // An idle kept-alive connection simply ends; one that never sent anything
                // held a place for nothing.
                if (served == 0 && stream.TimedOut())
                    NoteSlow(connection.Socket());
                return;
            }
            Exchange exchange{&connection, false};
            t_exchange = &exchange;
            bool clientEnds = false;
            const bool answered =
                process_request(stream, served + 1 == kRequestsPerConnection, clientEnds, nullptr);
            t_exchange = nullptr;
            if (stream.HeadTooLarge())
                NoteHeadTooLarge(connection.Socket());
            else if (stream.TimedOut())
                NoteSlow(connection.Socket());
            if (exchange.endConnection)
                stream.EndGently();
            if (!answered || clientEnds || exchange.endConnection || stream.HeadTooLarge() ||
                stream.TimedOut())
                return;
        }
    }

    // Before any body is read: the request is answered, or refused with the connection
    // ended.
    HandlerResponse Screen(const httplib::Request& request, httplib::Response& response)
    {
        if (t_exchange != nullptr && t_exchange->connection != nullptr)
            t_exchange->connection->Answering();
        const std::string contentLength = request.get_header_value("Content-Length");
        const std::string authorization = request.get_header_value("Authorization");
        const RequestVerdict verdict =
            JudgeRequest({request.method, request.path, contentLength,
                          request.has_header("Transfer-Encoding"), authorization},
                         m_token);
        if (verdict == RequestVerdict::Answer)
            return HandlerResponse::Unhandled;
        const std::string from = request.remote_addr.empty() ? "?" : request.remote_addr;
        switch (verdict)
        {
        case RequestVerdict::WrongMethod:
            response.status = 405;
            response.set_header("Allow", "GET, HEAD");
            Refused(StatusRefusal::Method, m_methodLine,
                    FormatText("Status server: a %.16s request from %s was refused: only GET "
                               "and HEAD are answered",
                               request.method.c_str(), from.c_str()));
            break;
        case RequestVerdict::HasBody:
            response.status = 413;
            Refused(StatusRefusal::Body, m_bodyLine,
                    FormatText("Status server: a request with a body from %s was refused: no "
                               "address of this server takes one",
                               from.c_str()));
            break;
        case RequestVerdict::NoToken:
            response.status = 401;
            response.set_header("WWW-Authenticate", "Bearer realm=\"tarvell\"");
            Refused(StatusRefusal::Token, m_tokenLine,
                    FormatText("Status server: a request from %s without the right token was "
                               "refused",
                               from.c_str()));
            break;
        case RequestVerdict::Answer:
            break;
        }
        response.set_header("Connection", "close");
        if (t_exchange != nullptr)
            t_exchange->endConnection = true;
        return HandlerResponse::Handled;
    }

    void NoteSlow(int socket)
    {
        Refused(StatusRefusal::Timeout, m_slowLine,
                FormatText("Status server: a connection from %s sent no complete request "
                           "within %d s and was closed",
                           PeerAddress(socket).c_str(), m_limits.requestSeconds));
    }

    void NoteHeadTooLarge(int socket)
    {
        Refused(StatusRefusal::HeadTooLarge, m_headLine,
                FormatText("Status server: a request from %s was refused: its head is larger "
                           "than %zu bytes",
                           PeerAddress(socket).c_str(), kMaxRequestHeadBytes));
    }

    static void Refused(StatusRefusal why, CLimitedLogLine& line, const std::string& text)
    {
        Counters().Refused(why);
        line.Log(text);
    }

    const StatusServerLimits m_limits;
    const std::string m_token;
    bool m_onLoopback = false; // set before the accepting thread starts
    CLimitedLogLine m_limitLine;
    CLimitedLogLine m_madeRoomLine;
    CLimitedLogLine m_slowLine;
    CLimitedLogLine m_headLine;
    CLimitedLogLine m_methodLine;
    CLimitedLogLine m_bodyLine;
    CLimitedLogLine m_tokenLine;
    CConnectionPool m_pool; // last: its threads use everything above
};

struct CStatusServer::Impl
{
    std::unique_ptr<CBoundedServer> server;
    std::thread thread;
    int port = 0;
};

CStatusServer::CStatusServer() : m_impl(std::make_unique<Impl>()) {}

CStatusServer::~CStatusServer()
{
    Stop();
}

namespace
{

void AddRoutes(httplib::Server& server)
{
    server.Get("/metrics",
               [](const httplib::Request&, httplib::Response& response)
               {
                   // Each answering thread keeps its text between scrapes, and the answer is
                   // sent from it without another copy: a scrape of thousands of channels
                   // moves megabytes.
                   thread_local std::string text;
                   WritePrometheusText(
                       TakeStatusSnapshot(EpochSecondsNow(), SnapshotDepth::Numbers), text);
                   const std::string* body = &text;
                   response.set_content_provider(
                       text.size(), "text/plain; version=0.0.4; charset=utf-8",
                       [body](std::size_t offset, std::size_t length, httplib::DataSink& sink)
                       { return sink.write(body->data() + offset, length); });
               });
    server.Get("/status",
               [](const httplib::Request&, httplib::Response& response) {
                   response.set_content(StatusJson(TakeStatusSnapshot(EpochSecondsNow())),
                                        "application/json");
               });
    server.Get("/", [](const httplib::Request&, httplib::Response& response)
               { response.set_content(StatusPageHtml(), "text/html; charset=utf-8"); });
}

} // namespace

bool CStatusServer::Start(const std::string& host, int port, const StatusServerLimits& limits,
                          const std::string& token, std::string* error)
{
    m_impl->server = std::make_unique<CBoundedServer>(limits, token);
    CBoundedServer& server = *m_impl->server;
    AddRoutes(server);
    const int bound = port == 0                         ? server.bind_to_any_port(host)
                      : server.bind_to_port(host, port) ? port
                                                        : -1;
    if (bound <= 0)
    {
        *error = "Status server: cannot listen on " + host + ":" + std::to_string(port) +
                 " (address in use, or not an address of this machine)";
        m_impl->server.reset();
        return false;
    }
    server.Listening();
    m_impl->port = bound;
    Counters().connectionLimit.store(limits.maxConnections, std::memory_order_relaxed);
    m_impl->thread = std::thread([&server] { server.listen_after_bind(); });
    // A stop that came before the thread began to listen would be lost, and the thread
    // would never end: Start returns once the server runs.
    for (int waited = 0; !server.is_running() && waited < 2000; waited += 5)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return true;
}

int CStatusServer::Port() const
{
    return m_impl->port;
}

bool CStatusServer::OnLoopback() const
{
    return m_impl->server && m_impl->server->OnLoopback();
}

void CStatusServer::Stop()
{
    if (!m_impl->thread.joinable())
        return;
    m_impl->server->stop();
    m_impl->thread.join();
    m_impl->server->StopPool();
    Counters().connectionLimit.store(0, std::memory_order_relaxed);
}

} // namespace tarvell
