#include "app/check_config.h"

#include <map>

#include "app/application.h"
#include "app/command_line.h"
#include "app/headless_view.h"
#include "config/config_check.h"
#include "config/group_section.h"
#include "config/load_groups.h"
#include "config/server_link.h"
#include "config/station_groups.h"
#include "platform/text_format.h"
#include "datafiles/channel_ini.h"
#include "db/connection.h"
#include "db/db_settings.h"
#include "db/file_registry.h"
#include "platform/time_conversions.h"
#include "link/transfer_request.h"
#include "platform/ini_profile.h"
#include "platform/operator_view.h"
#include "platform/program_paths.h"
#include "platform/machine_checks.h"
#include "platform/text.h"
#include "status/status_settings.h"

namespace tarvell
{
namespace
{

// Every server link with its stations.
void PrintServers(const CConfiguration& config, std::FILE* out)
{
    std::fprintf(out, "Servers: %zu\n", config.links.size());
    for (const LinkConfig& link : config.links)
    {
        std::string list;
        for (std::size_t g : link.groups)
            list += (list.empty() ? "" : ", ") + config.groups[g].station;
        std::fprintf(out, "  %s (%s): %s\n", link.Name().c_str(), link.serverType.c_str(),
                     list.c_str());
    }
}

void PrintGroups(const CConfiguration& config, std::FILE* out)
{
    std::fprintf(out, "Groups: %zu\n", config.groups.size());
    for (const CStationGroup& group : config.groups)
    {
        std::fprintf(out,
                     "  GROUP%d station %s  server %s:%d (%s)  disk loop %lld bytes  "
                     "FILELENGTH(MIN) %d\n",
                     group.section, group.station.c_str(), group.server.c_str(), group.port,
                     group.serverType.c_str(), static_cast<long long>(group.loopSize),
                     group.fileLength);
        for (const CChannelRecord& channel : group.channels)
        {
            std::string mode;
            const std::string loopFile = LoopFilePath(config.dataRoot, group, channel.loopFile);
            switch (ChannelLoopMode(config.dataRoot, group, channel.loopFile))
            {
            case LoopMode::TimeNamed:
                mode = "time-named files under " + config.dataRoot + "/" + group.station;
                break;
            case LoopMode::LoopFile:
                mode = "loop file " + loopFile;
                break;
            case LoopMode::MissingLoopFile:
                mode = "loop file " + loopFile + " (missing: made at start-up)";
                break;
            }
            // A channel without a resume time asks the server from its oldest data on.
            const std::int64_t resume = LoadResumeTime(config.iniPath, group, channel.name);
            const double begin = resume > 0 ? static_cast<double>(resume) : kFromOldestData;
            std::fprintf(out, "    %-7s %12.6f sps  %s  resume %s\n", channel.name.c_str(),
                         channel.sampleRate, mode.c_str(),
                         begin != kFromOldestData
                             ? FormatText("%lld (%s)", static_cast<long long>(resume),
                                          util_dttostr(begin, 0))
                                   .c_str()
                             : "none (from the server's oldest data)");
        }
    }
}

// What the configuration asks of this machine that the program would only find out while
// running: a data root it can write, servers whose names resolve, a status address free to
// listen on.
std::vector<std::string> MachineProblems(const CConfiguration& config)
{
    std::vector<std::string> problems;
    if (const std::string why = DirectoryWriteProblem(config.dataRoot); !why.empty())
        problems.push_back("Data root '" + config.dataRoot + "': " + why);
    for (const LinkConfig& link : config.links)
    {
        if (const std::string why = HostResolveProblem(link.host); !why.empty())
            problems.push_back("Server " + link.Name() + ": the host name does not resolve (" +
                               why + ")");
    }
    StatusSettings status;
    std::string error;
    if (!ReadStatusSettings(config.iniPath, &status, &error))
        problems.push_back(error);
    else if (status.serverEnabled)
    {
        if (const std::string why = ListenProblem(status.host, status.port); !why.empty())
            problems.push_back(FormatText("[STATUS] LISTEN=%s:%d cannot be listened on (%s): "
                                          "another program holds it, or it is no address of "
                                          "this machine",
                                          status.host.c_str(), status.port, why.c_str()));
    }
    return problems;
}

} // namespace

int CheckConfig(const CommandLine& line, std::FILE* out)
{
    CHeadlessView view;
    SetOperatorView(&view);
    g_iniPath = ResolveIniPath(line);
    std::fprintf(out, "INI file: %s%s\n", g_iniPath.c_str(),
                 ReadProfileString(g_iniPath, "SYSTEM", "GROUPS", "", 16).empty()
                     ? " (no [SYSTEM] GROUPS)"
                     : "");

    CDbSettings settings(line.settingsArguments);
    if (!DbOpen(settings))
    {
        std::fprintf(out, "Database: cannot be opened (ODBC=%s USER=%s)\n", g_dsn.c_str(),
                     g_dbUser.c_str());
        SetOperatorView(nullptr);
        return 2;
    }
    std::fprintf(out, "Database: ODBC=%s USER=%s\nData root: %s\n", g_dsn.c_str(), g_dbUser.c_str(),
                 g_waveRoot.c_str());
    const std::shared_ptr<const CConfiguration> config = LoadGroups(g_iniPath, g_waveRoot);
    if (const std::string note = DataRootNote(*config); !note.empty())
        std::fprintf(out, "Note: %s\n", note.c_str());

    PrintGroups(*config, out);
    PrintServers(*config, out);
    std::vector<std::string> problems = ConfigurationProblems(*config);
    for (std::string& problem : MachineProblems(*config))
        problems.push_back(std::move(problem));

    if (problems.empty())
        std::fprintf(out, "No problem found.\n");
    else
        std::fprintf(out, "Problems: %zu\n", problems.size());
    for (const std::string& problem : problems)
        std::fprintf(out, "  %s\n", problem.c_str());
    SetOperatorView(nullptr);
    return problems.empty() ? 0 : 1;
}

} // namespace tarvell
