// kdx-db: makes a KDX database for TARVELL (SQLite by default, PostgreSQL by option), with
// the ODBC driver and data source files that point TARVELL at it, and enters the sampling
// rates of the channels (SITECHAN rows).

#include <cerrno>
#include <fstream>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include <sys/stat.h>

#include "db/connection.h"
#include "db/db_access.h"
#include "platform/text_format.h"
#include "db/db_admin.h"
#include "db/schema_names.h"
#include "availability.h"
#include "config/load_groups.h"
#include "kdx_schema.h"
#include "platform/time_conversions.h"
#include "platform/ini_profile.h"
#include "platform/operator_view.h"
#include "platform/text.h"

namespace
{

using namespace tarvell;

const char kUsage[] =
    "Usage:\n"
    "  kdx-db create [--dir DIR] [--database FILE]\n"
    "  kdx-db create --postgres [--dir DIR] [--host HOST] [--port PORT] [--database NAME]\n"
    "                [--user USER] [--password PASSWORD]\n"
    "  kdx-db sitechan [--dir DIR] [--dsn DSN] [--user USER] [--password PASSWORD]\n"
    "                  STATION CHANNEL RATE [STATION CHANNEL RATE ...]\n"
    "  kdx-db availability [--dir DIR] [--dsn DSN] [--user USER] [--password PASSWORD]\n"
    "                  [--station S] [--channel C] [--from T] [--to T] [--gap SECONDS]\n"
    "                  [--json] [--svg FILE]\n"
    "\n"
    "create   makes the KDX tables in a new SQLite file (default DIR/kdx.db) or in a new\n"
    "         PostgreSQL database (default kdx on 127.0.0.1:5432, made by USER), the data\n"
    "         folder DIR/data, and the data source KDX in DIR/odbc/odbc.ini with its drivers\n"
    "         in DIR/odbc/odbcinst.ini. Prints the two variables that point TARVELL at them.\n"
    "         Running it again on an existing database only adds what is missing.\n"
    "sitechan enters (or corrects) the sampling rate of each channel in SITECHAN, through\n"
    "         the data source (default KDX with TARVELL's default login KDX/QZT); names\n"
    "         TARVELL cannot acquire (more than 7 characters, /, \\, .., not printable\n"
    "         ASCII) are refused.\n"
    "availability reads FILELIST (never changes it) and prints per channel the first and\n"
    "         last sample, the share of the window covered and every gap longer than\n"
    "         SECONDS (default: 1.5 sample intervals); T is epoch seconds or a UTC time\n"
    "         such as 2026-12-07T13:05:00 (default window: the earliest to the latest\n"
    "         sample). --json prints JSON instead; --svg also draws a timeline to FILE.\n"
    "         Without --dir it uses the ODBC files of ODBCSYSINI when that is set.\n"
    "\n"
    "DIR defaults to /var/lib/kdx, the tarvell service's: run kdx-db as its user\n"
    "(runuser -u tarvell -- kdx-db ...), so that the database is the service's.\n";

// Message boxes of the database code become lines on stderr.
class CConsoleView final : public CWindowlessView
{
public:
    void ShowMessage(std::string_view caption, std::string_view text, MessageIcon, bool) override
    {
        std::fprintf(stderr, "kdx-db: %s\n", MessageLine(caption, text).c_str());
    }
};

struct Options
{
    std::string command;
    std::string dir = "/var/lib/kdx";
    bool postgres = false;
    std::string database;
    std::string host = "127.0.0.1";
    std::string port = "5432";
    std::string user;
    std::string password;
    std::string dsn = "KDX";
    std::vector<std::string> rest;
    // availability
    std::string station;
    std::string channel;
    std::string from;
    std::string to;
    std::string gap;
    std::string svg;
    bool json = false;
    bool dirGiven = false; // --dir named on the command line
};

bool ParseOptions(int argc, char** argv, Options& options)
{
    if (argc < 2)
        return false;
    options.command = argv[1];
    for (int i = 2; i < argc; ++i)
    {
        std::string_view argument = argv[i];
        auto value = [&](std::string& target)
        {
            if (i + 1 >= argc)
                return false;
            target = argv[++i];
            return true;
        };
        bool ok = true;
        if (argument == "--postgres")
            options.postgres = true;
        else if (argument == "--dir")
            ok = options.dirGiven = value(options.dir);
        else if (argument == "--database")
            ok = value(options.database);
        else if (argument == "--host")
            ok = value(options.host);
        else if (argument == "--port")
            ok = value(options.port);
        else if (argument == "--user")
            ok = value(options.user);
        else if (argument == "--password")
            ok = value(options.password);
        else if (argument == "--dsn")
            ok = value(options.dsn);
        else if (argument == "--station")
            ok = value(options.station);
        else if (argument == "--channel")
            ok = value(options.channel);
        else if (argument == "--from")
            ok = value(options.from);
        else if (argument == "--to")
            ok = value(options.to);
        else if (argument == "--gap")
            ok = value(options.gap);
        else if (argument == "--svg")
            ok = value(options.svg);
        else if (argument == "--json")
            options.json = true;
        else if (argument.rfind("--", 0) == 0)
            ok = false;
        else
            options.rest.emplace_back(argument);
        if (!ok)
        {
            std::fprintf(stderr, "kdx-db: bad option %s\n", argv[i]);
            return false;
        }
    }
    return true;
}

std::string Absolute(const std::string& path)
{
    std::error_code error;
    std::filesystem::path absolute = std::filesystem::absolute(path, error);
    return error ? path : absolute.lexically_normal().string();
}

std::string OdbcDir(const Options& options)
{
    return Absolute(options.dir) + "/odbc";
}

// Points unixODBC at DIR/odbc for this process.
void UseOdbcFiles(const Options& options)
{
    ::setenv("ODBCSYSINI", OdbcDir(options).c_str(), 1);
    ::setenv("ODBCINI", (OdbcDir(options) + "/odbc.ini").c_str(), 1);
}

bool WriteKeys(const std::string& path, const char* section,
               const std::vector<std::pair<const char*, std::string>>& keys)
{
    const bool made = !std::filesystem::exists(path);
    for (const auto& [key, value] : keys)
    {
        if (!WriteProfileString(path, section, key, value))
        {
            std::fprintf(stderr, "kdx-db: cannot write %s: %s\n", path.c_str(),
                         std::strerror(errno));
            return false;
        }
    }
    // The driver and data source files hold no password, and every user of the archive
    // (the service's user, the KDX programs) reads them: one only their maker could read
    // looks to the driver manager like no data source at all.
    if (made)
        ::chmod(path.c_str(), 0644);
    return true;
}

// The drivers, then the data source; every other section and line of both files stays.
bool WriteOdbcFiles(const Options& options, const std::string& database)
{
    std::error_code error;
    std::filesystem::create_directories(OdbcDir(options), error);
    std::string drivers = OdbcDir(options) + "/odbcinst.ini";
    // Where this machine's architecture keeps the drivers (Debian's multiarch directory).
    const std::string odbcDir = TARVELL_ODBC_DRIVER_DIR;
    if (!WriteKeys(
            drivers, "SQLite3",
            {{"Description", "SQLite3 ODBC Driver"}, {"Driver", odbcDir + "libsqlite3odbc.so"}}) ||
        !WriteKeys(drivers, "PostgreSQL Unicode",
                   {{"Description", "PostgreSQL ODBC driver (Unicode version)"},
                    {"Driver", odbcDir + "psqlodbcw.so"}}))
        return false;

    std::string sources = OdbcDir(options) + "/odbc.ini";
    if (options.postgres)
        return WriteKeys(sources, options.dsn.c_str(),
                         {{"Description", "KDX database (PostgreSQL)"},
                          {"Driver", "PostgreSQL Unicode"},
                          {"Servername", options.host},
                          {"Port", options.port},
                          {"Database", database}});
    return WriteKeys(sources, options.dsn.c_str(),
                     {{"Description", "KDX database (SQLite)"},
                      {"Driver", "SQLite3"},
                      {"Database", database},
                      {"Timeout", "10000"},
                      // a row update costs about 0.2 ms instead of about 15 ms (a journal
                      // sync per statement); a power cut may lose the last updates, never
                      // the file's consistency
                      {"JournalMode", "WAL"},
                      {"SyncPragma", "NORMAL"}});
}

int Create(Options& options)
{
    std::error_code error;
    std::filesystem::create_directories(Absolute(options.dir) + "/data", error);
    if (error)
    {
        std::fprintf(stderr, "kdx-db: cannot make %s/data: %s\n", options.dir.c_str(),
                     error.message().c_str());
        return 1;
    }
    std::string database;
    if (options.postgres)
        database = options.database.empty() ? "kdx" : options.database;
    else
        database = Absolute(options.database.empty() ? options.dir + "/kdx.db" : options.database);
    if (!WriteOdbcFiles(options, database))
        return 1;
    UseOdbcFiles(options);

    DbOutcome made;
    if (options.postgres)
    {
        if (options.user.empty())
            options.user = "postgres";
        std::string server = "Driver={PostgreSQL Unicode};Servername=" + options.host +
                             ";Port=" + options.port + ";Username=" + options.user +
                             ";Password=" + options.password;
        // A database that exists already is completed, not replaced.
        DbOutcome created =
            DbRunOnce(server + ";Database=postgres", {"CREATE DATABASE " + database});
        if (!created.ok && created.sqlState != "42P04")
        {
            std::fprintf(stderr, "kdx-db: cannot create the database %s: %s\n", database.c_str(),
                         created.message.c_str());
            return 1;
        }
        made = DbRunOnce(server + ";Database=" + database, SplitSqlScript(kKdxPostgresqlSchema));
    }
    else
    {
        made = DbRunOnce("Driver=SQLite3;Database=" + database, SplitSqlScript(kKdxSqliteSchema));
    }
    if (!made.ok)
    {
        std::fprintf(stderr, "kdx-db: cannot make the KDX tables in %s: %s\n", database.c_str(),
                     made.message.c_str());
        return 1;
    }
    std::fprintf(stderr, "kdx-db: the KDX database %s is ready as the data source %s\n",
                 database.c_str(), options.dsn.c_str());
    std::printf("export ODBCSYSINI=%s\nexport ODBCINI=%s/odbc.ini\n", OdbcDir(options).c_str(),
                OdbcDir(options).c_str());
    return 0;
}

// Connects through the data source of options with TARVELL's default login unless one is
// given. With keepEnvironment, ODBC files named by the environment (ODBCSYSINI, as for
// TARVELL itself) are used unless --dir names others.
bool ConnectDataSource(const Options& options, bool keepEnvironment = false)
{
    if (!keepEnvironment || options.dirGiven || std::getenv("ODBCSYSINI") == nullptr)
        UseOdbcFiles(options);
    g_dsn = options.dsn;
    g_dbUser = options.user.empty() ? "KDX" : options.user;
    g_dbPassword = options.user.empty() && options.password.empty() ? "QZT" : options.password;
    if (!DbConnect(false))
        return false;
    DbAdoptNames();
    return true;
}

bool OptionalTime(const std::string& text, const char* what, double* time)
{
    *time = NAN;
    if (text.empty() || ParseUtcTime(text, time))
        return true;
    std::fprintf(stderr, "kdx-db: %s '%s' is no time (epoch seconds or 2026-12-07T13:05:00)\n",
                 what, text.c_str());
    return false;
}

int Availability(const Options& options)
{
    double from = NAN;
    double to = NAN;
    double gap = -1;
    if (!OptionalTime(options.from, "--from", &from) || !OptionalTime(options.to, "--to", &to))
        return 2;
    if (!options.gap.empty() && (!ParseUtcTime(options.gap, &gap) || gap < 0))
    {
        std::fprintf(stderr, "kdx-db: --gap '%s' is no number of seconds\n", options.gap.c_str());
        return 2;
    }
    if (!ConnectDataSource(options, true))
        return 1;
    std::vector<FileSpan> spans;
    std::string error;
    const bool read =
        ReadFileSpans(ToUpperAscii(options.station), ToUpperAscii(options.channel), &spans, &error);
    DbClose();
    if (!read)
    {
        std::fprintf(stderr, "kdx-db: cannot read FILELIST: %s\n", error.c_str());
        return 1;
    }
    AvailabilityWindow window;
    const std::vector<ChannelAvailability> channels =
        ComputeAvailability(std::move(spans), from, to, gap, &window);
    const std::string report =
        options.json ? AvailabilityJson(channels, window) : AvailabilityText(channels, window);
    std::fputs(report.c_str(), stdout);
    if (!options.svg.empty())
    {
        std::ofstream file(options.svg, std::ios::binary | std::ios::trunc);
        file << AvailabilitySvg(channels, window);
        if (!file.flush())
        {
            std::fprintf(stderr, "kdx-db: cannot write %s\n", options.svg.c_str());
            return 1;
        }
    }
    return 0;
}

// Why TARVELL could never acquire a channel of these names, or empty: a name it cannot
// request (more than 7 characters) or that cannot stand in a path under the data root.
std::string SiteChanNameProblem(const std::string& station, const std::string& channel)
{
    for (const std::string* name : {&station, &channel})
    {
        const char* what = name == &station ? "the station name" : "the channel name";
        if (name->empty())
            return std::string(what) + " is empty";
        if (name->size() > kMaxRequestName)
            return FormatText("%s has more than %zu characters, which TARVELL cannot request", what,
                              kMaxRequestName);
        if (const std::string problem = NameProblem(*name); !problem.empty())
            return std::string(what) + " " + problem;
    }
    return {};
}

int SiteChan(Options& options)
{
    if (options.rest.empty() || options.rest.size() % 3 != 0)
    {
        std::fprintf(stderr, "kdx-db: sitechan wants STATION CHANNEL RATE triples\n");
        return 2;
    }
    if (!ConnectDataSource(options))
        return 1;

    const char* table = g_dbNames.Table(SchemaTable::SiteChan);
    const char* sta = g_dbNames.Column(SchemaTable::SiteChan, "STA");
    const char* chan = g_dbNames.Column(SchemaTable::SiteChan, "CHAN");
    const char* sps = g_dbNames.Column(SchemaTable::SiteChan, "SPS");
    int status = 0;
    for (std::size_t i = 0; i < options.rest.size(); i += 3)
    {
        if (const std::string problem = SiteChanNameProblem(options.rest[i], options.rest[i + 1]);
            !problem.empty())
        {
            std::fprintf(stderr, "kdx-db: %s %s: %s\n", PrintableName(options.rest[i]).c_str(),
                         PrintableName(options.rest[i + 1]).c_str(), problem.c_str());
            status = 1;
            continue;
        }
        std::string station = SqlText(ToUpperAscii(options.rest[i]));
        std::string channel = SqlText(ToUpperAscii(options.rest[i + 1]));
        const std::string& rateText = options.rest[i + 2];
        char* end = nullptr;
        errno = 0;
        double rate = std::strtod(rateText.c_str(), &end);
        if (rateText.empty() || *end != '\0' || errno != 0 || !std::isfinite(rate) || rate <= 0)
        {
            std::fprintf(stderr, "kdx-db: %s %s: the rate '%s' is not a positive number\n",
                         options.rest[i].c_str(), options.rest[i + 1].c_str(), rateText.c_str());
            status = 1;
            continue;
        }
        // A channel entered again gets its new rate; the rest of its row stays.
        DbOutcome outcome =
            DbExecute(FormatText("UPDATE %s SET %s=%f WHERE %s='%s' AND %s='%s'", table, sps, rate,
                                 sta, station.c_str(), chan, channel.c_str()));
        if (outcome.ok && outcome.rowCount <= 0)
            outcome =
                DbExecute(FormatText("INSERT INTO %s (%s, %s, %s) VALUES ('%s', '%s', %f)", table,
                                     sta, chan, sps, station.c_str(), channel.c_str(), rate));
        if (!outcome.ok)
        {
            std::fprintf(stderr, "kdx-db: %s %s: %s\n", options.rest[i].c_str(),
                         options.rest[i + 1].c_str(), outcome.message.c_str());
            status = 1;
            continue;
        }
        std::printf("%s %s %g\n", ToUpperAscii(options.rest[i]).c_str(),
                    ToUpperAscii(options.rest[i + 1]).c_str(), rate);
    }
    DbClose();
    return status;
}

} // namespace

int main(int argc, char** argv)
{
    CConsoleView view;
    SetOperatorView(&view);
    Options options;
    int status = 2;
    if (ParseOptions(argc, argv, options) && options.command == "create" && options.rest.empty())
        status = Create(options);
    else if (options.command == "sitechan")
        status = SiteChan(options);
    else if (options.command == "availability" && options.rest.empty())
        status = Availability(options);
    else if (options.command == "--help" || options.command == "help")
    {
        std::fputs(kUsage, stdout);
        status = 0;
    }
    else
        std::fputs(kUsage, stderr);
    SetOperatorView(nullptr);
    return status;
}
