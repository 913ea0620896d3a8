#pragma once
// The tables through which the instances of a fleet share the servers, in the KDX database
// beside FILELIST. Plain SQL, the same on PostgreSQL, MariaDB/MySQL and SQLite:
//   TARVELL_LEASE  one row per server link ever held: its owner ('' when free), the fencing
//                  number (grows at every change of owner), a beat the owner counts up at
//                  every renewal, and a count of its commits;
//   TARVELL_MEMBER one row per instance: its beat, how many links its configuration names
//                  and a fingerprint of them (instances with the same links share them);
//   TARVELL_CLAIM  one row per channel: the link that archives it, so that a channel named
//                  by two links (two instances configured differently) is archived once.
// No clock is stored: an instance judges a lease lapsed by watching its beat stand still for
// the lease time on its own clock. Any thread; every call is one database operation.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarvell
{

struct LeaseRow
{
    std::string link;  // "host:port", the host in lower case
    std::string owner; // an instance's name; empty: free
    std::int64_t fence = 0;
    std::int64_t beat = 0;
};

struct MemberRow
{
    std::string name;
    std::string fingerprint;
    std::int64_t beat = 0;
    int links = 0;
};

struct ClaimRow
{
    std::string station;
    std::string channel;
    std::string link;
};

// Makes the tables that are missing (logged, one line each). False, logged, when one can be
// neither read nor made; then *failure (when given) holds the database's message.
bool EnsureFleetTables(std::string* failure = nullptr);

// Whether the database takes a write: an update of the fleet's tables that changes no row,
// which a read-only database, a read-only transaction or a login without the right to write
// refuses all the same. Empty when it is taken, else the database's message. Start-up only:
// the program cannot do its work without writing, and says so at once.
std::string DatabaseWriteProblem();

// Every row of each table; nothing when the query fails.
std::optional<std::vector<LeaseRow>> ReadLeases();
std::optional<std::vector<MemberRow>> ReadMembers();
std::optional<std::vector<ClaimRow>> ReadClaims();

// Counts up the beat of every lease owner holds, then of its member row (made when missing).
// False when the database did not take it.
bool RenewLeasesAndMembership(std::string_view owner, std::string_view fingerprint, int links);

// Takes the lease of link for owner when its row still names expectedOwner with
// expectedFence (a link without a row gets one); the new fencing number, or nothing when
// another instance changed the row first or the database failed.
std::optional<std::int64_t> TakeLease(std::string_view link, std::string_view expectedOwner,
                                      std::int64_t expectedFence, bool rowExists,
                                      std::string_view owner);

// Frees link's lease if owner still holds it with fence.
bool ReleaseLease(std::string_view link, std::string_view owner, std::int64_t fence);

// The update that a commit of link's rows runs first, in its transaction: it changes a row
// only while owner holds the lease with fence (DbExecuteAllGuarded).
std::string LeaseGuardStatement(std::string_view link, std::string_view owner, std::int64_t fence);

// Claims the channels for link: inserted where no claim is, moved where the claim still names
// from (a link that archives them no more). One transaction each; false when it failed (a
// claim made meanwhile by another instance among them).
bool InsertClaims(std::string_view link, const std::vector<ClaimRow>& channels);
bool MoveClaim(const ClaimRow& channel, std::string_view from);

// Deletes owner's member row: the instance leaves the fleet, and the others share its links
// among themselves at once.
bool LeaveFleet(std::string_view owner);

// Deletes link's claims of the channels (those its configuration no longer names).
bool DeleteClaims(std::string_view link, const std::vector<ClaimRow>& channels);

} // namespace tarvell
