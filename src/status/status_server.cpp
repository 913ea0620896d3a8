#include "status/status_server.h"

#include <chrono>
#include <thread>

#include <httplib.h>

#include "platform/clock.h"
#include "status/prometheus_text.h"
#include "status/status_json.h"
#include "status/status_page.h"
#include "status/status_snapshot.h"

namespace tarvell
{

struct CStatusServer::Impl
{
    httplib::Server server;
    std::thread thread;
    int port = 0;
};

CStatusServer::CStatusServer() : m_impl(std::make_unique<Impl>()) {}

CStatusServer::~CStatusServer()
{
    Stop();
}

bool CStatusServer::Start(const std::string& host, int port, std::string* error)
{
    httplib::Server& server = m_impl->server;
    // Two threads answer: a scraper and a browser at once never queue behind each other, and
    // nothing more is spent on a server that is asked once a second.
    server.new_task_queue = [] { return new httplib::ThreadPool(2); };
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

    const int bound = port == 0                         ? server.bind_to_any_port(host)
                      : server.bind_to_port(host, port) ? port
                                                        : -1;
    if (bound <= 0)
    {
        *error = "Status server: cannot listen on " + host + ":" + std::to_string(port) +
                 " (address in use, or not an address of this machine)";
        return false;
    }
    m_impl->port = bound;
    m_impl->thread = std::thread([this] { m_impl->server.listen_after_bind(); });
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

void CStatusServer::Stop()
{
    if (!m_impl->thread.joinable())
        return;
    m_impl->server.stop();
    m_impl->thread.join();
}

} // namespace tarvell
