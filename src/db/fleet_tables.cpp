#include "db/fleet_tables.h"

#include <array>

#include "db/db_access.h"
#include "log/event_log.h"
#include "platform/text_format.h"

namespace tarvell
{
namespace
{

struct FleetTable
{
    const char* name;
    const char* columns; // of CREATE TABLE
    const char* purpose; // for the log line
};

// VARCHAR keys of at most 160 characters: MySQL indexes no longer key in utf8mb4.
constexpr std::array<FleetTable, 3> kFleetTables = {{
    {"TARVELL_LEASE",
     "LINK_NAME VARCHAR(160) NOT NULL PRIMARY KEY, OWNER VARCHAR(160) NOT NULL, "
     "FENCE INTEGER NOT NULL, BEAT INTEGER NOT NULL, COMMITS INTEGER NOT NULL",
     "the leases of the server links"},
    {"TARVELL_MEMBER",
     "NAME VARCHAR(160) NOT NULL PRIMARY KEY, FINGERPRINT VARCHAR(40) NOT NULL, "
     "BEAT INTEGER NOT NULL, LINKS INTEGER NOT NULL",
     "the instances of the fleet"},
    {"TARVELL_CLAIM",
     "STA VARCHAR(16) NOT NULL, CHAN VARCHAR(16) NOT NULL, LINK_NAME VARCHAR(160) NOT NULL, "
     "PRIMARY KEY (STA, CHAN)",
     "the link that archives each channel"},
}};

// A counter that counts up for ever without leaving a 32-bit INTEGER column.
std::string CountUp(const char* column)
{
    return FormatText("%s=CASE WHEN %s>=1000000000 THEN 1 ELSE %s+1 END", column, column, column);
}

std::string Quoted(std::string_view text)
{
    return "'" + SqlText(text) + "'";
}

std::int64_t Whole(const DbCell& cell)
{
    return cell.isNull ? 0 : cell.integer;
}

bool Succeeded(const DbOutcome& outcome)
{
    if (!outcome.ok)
        DbLogError(outcome);
    return outcome.ok;
}

} // namespace

bool EnsureFleetTables(std::string* failure)
{
    for (const FleetTable& table : kFleetTables)
    {
        if (DbQuery(FormatText("SELECT COUNT(*) FROM %s", table.name), {DbType::Double}, 1).ok)
            continue;
        const DbOutcome made =
            DbExecute(FormatText("CREATE TABLE %s (%s)", table.name, table.columns));
        if (!made.ok)
        {
            LogEvent(FormatText("Table %s (%s) can be neither read nor made: %s", table.name,
                                table.purpose, made.message.c_str()));
            if (failure != nullptr)
                *failure = made.message;
            return false;
        }
        LogEvent(FormatText("Table %s made in the KDX database: %s", table.name, table.purpose));
    }
    return true;
}

std::string DatabaseWriteProblem()
{
    const DbOutcome probe = DbExecute("UPDATE TARVELL_MEMBER SET BEAT=BEAT WHERE 1=0");
    if (probe.ok)
        return {};
    return probe.message.empty() ? "the database refuses to write" : probe.message;
}

std::optional<std::vector<LeaseRow>> ReadLeases()
{
    const DbOutcome read = DbQuery("SELECT LINK_NAME, OWNER, FENCE, BEAT FROM TARVELL_LEASE",
                                   {DbType::Text, DbType::Text, DbType::Int32, DbType::Int32});
    if (!Succeeded(read))
        return std::nullopt;
    std::vector<LeaseRow> rows;
    for (const DbRow& row : read.rows)
        rows.push_back({row[0].text, row[1].text, Whole(row[2]), Whole(row[3])});
    return rows;
}

std::optional<std::vector<MemberRow>> ReadMembers()
{
    const DbOutcome read = DbQuery("SELECT NAME, FINGERPRINT, BEAT, LINKS FROM TARVELL_MEMBER",
                                   {DbType::Text, DbType::Text, DbType::Int32, DbType::Int32});
    if (!Succeeded(read))
        return std::nullopt;
    std::vector<MemberRow> rows;
    for (const DbRow& row : read.rows)
        rows.push_back({row[0].text, row[1].text, Whole(row[2]), static_cast<int>(Whole(row[3]))});
    return rows;
}

std::optional<std::vector<ClaimRow>> ReadClaims()
{
    const DbOutcome read = DbQuery("SELECT STA, CHAN, LINK_NAME FROM TARVELL_CLAIM",
                                   {DbType::Text, DbType::Text, DbType::Text});
    if (!Succeeded(read))
        return std::nullopt;
    std::vector<ClaimRow> rows;
    for (const DbRow& row : read.rows)
        rows.push_back({row[0].text, row[1].text, row[2].text});
    return rows;
}

bool RenewLeasesAndMembership(std::string_view owner, std::string_view fingerprint, int links)
{
    const DbOutcome leases =
        DbExecute("UPDATE TARVELL_LEASE SET " + CountUp("BEAT") + " WHERE OWNER=" + Quoted(owner));
    if (!leases.ok)
        return false;
    const DbOutcome member = DbExecute(FormatText(
        "UPDATE TARVELL_MEMBER SET %s, FINGERPRINT=%s, LINKS=%d WHERE NAME=%s",
        CountUp("BEAT").c_str(), Quoted(fingerprint).c_str(), links, Quoted(owner).c_str()));
    if (!member.ok)
        return false;
    if (member.rowCount > 0)
        return true;
    return DbExecute(FormatText("INSERT INTO TARVELL_MEMBER (NAME, FINGERPRINT, BEAT, LINKS) "
                                "VALUES (%s, %s, 1, %d)",
                                Quoted(owner).c_str(), Quoted(fingerprint).c_str(), links))
        .ok;
}

std::optional<std::int64_t> TakeLease(std::string_view link, std::string_view expectedOwner,
                                      std::int64_t expectedFence, bool rowExists,
                                      std::string_view owner)
{
    if (!rowExists)
    {
        const DbOutcome made = DbExecute(
            FormatText("INSERT INTO TARVELL_LEASE (LINK_NAME, OWNER, FENCE, BEAT, COMMITS) "
                       "VALUES (%s, %s, 1, 0, 0)",
                       Quoted(link).c_str(), Quoted(owner).c_str()));
        return made.ok ? std::optional<std::int64_t>(1) : std::nullopt;
    }
    const DbOutcome taken =
        DbExecute(FormatText("UPDATE TARVELL_LEASE SET OWNER=%s, FENCE=FENCE+1, BEAT=0 "
                             "WHERE LINK_NAME=%s AND OWNER=%s AND FENCE=%lld",
                             Quoted(owner).c_str(), Quoted(link).c_str(),
                             Quoted(expectedOwner).c_str(), static_cast<long long>(expectedFence)));
    if (!taken.ok || taken.rowCount != 1)
        return std::nullopt;
    return expectedFence + 1;
}

bool ReleaseLease(std::string_view link, std::string_view owner, std::int64_t fence)
{
    const DbOutcome released = DbExecute(FormatText(
        "UPDATE TARVELL_LEASE SET OWNER='', %s WHERE LINK_NAME=%s AND OWNER=%s AND FENCE=%lld",
        CountUp("BEAT").c_str(), Quoted(link).c_str(), Quoted(owner).c_str(),
        static_cast<long long>(fence)));
    return released.ok && released.rowCount == 1;
}

std::string LeaseGuardStatement(std::string_view link, std::string_view owner, std::int64_t fence)
{
    return FormatText("UPDATE TARVELL_LEASE SET %s WHERE LINK_NAME=%s AND OWNER=%s AND FENCE=%lld",
                      CountUp("COMMITS").c_str(), Quoted(link).c_str(), Quoted(owner).c_str(),
                      static_cast<long long>(fence));
}

bool InsertClaims(std::string_view link, const std::vector<ClaimRow>& channels)
{
    std::vector<std::string> statements;
    for (const ClaimRow& channel : channels)
    {
        statements.push_back(
            FormatText("INSERT INTO TARVELL_CLAIM (STA, CHAN, LINK_NAME) VALUES (%s, %s, %s)",
                       Quoted(channel.station).c_str(), Quoted(channel.channel).c_str(),
                       Quoted(link).c_str()));
    }
    return DbExecuteAll(statements).ok;
}

bool MoveClaim(const ClaimRow& channel, std::string_view from)
{
    const DbOutcome moved = DbExecute(FormatText(
        "UPDATE TARVELL_CLAIM SET LINK_NAME=%s WHERE STA=%s AND CHAN=%s AND LINK_NAME=%s",
        Quoted(channel.link).c_str(), Quoted(channel.station).c_str(),
        Quoted(channel.channel).c_str(), Quoted(from).c_str()));
    return moved.ok && moved.rowCount == 1;
}

bool LeaveFleet(std::string_view owner)
{
    return DbExecute("DELETE FROM TARVELL_MEMBER WHERE NAME=" + Quoted(owner)).ok;
}

bool DeleteClaims(std::string_view link, const std::vector<ClaimRow>& channels)
{
    std::vector<std::string> statements;
    for (const ClaimRow& channel : channels)
    {
        statements.push_back(
            FormatText("DELETE FROM TARVELL_CLAIM WHERE STA=%s AND CHAN=%s AND LINK_NAME=%s",
                       Quoted(channel.station).c_str(), Quoted(channel.channel).c_str(),
                       Quoted(link).c_str()));
    }
    return DbExecuteAll(statements).ok;
}

} // namespace tarvell
