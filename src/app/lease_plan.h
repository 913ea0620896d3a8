#pragma once
// What an instance of a fleet does with the leases of its links in one round, decided from
// what it saw in the lease table: no database, no clock, so that every rule can be tried.
//
// A link is taken when
//   - its lease row is missing, free, or lapsed (its owner's beat stood still for the lease
//     time), and the instance holds fewer than its share; a lapsed lease, and one free for a
//     whole lease time, is taken whatever the share, so that no server waits for a balance;
//   - its row names this instance (it ended without releasing it, and starts again).
// The share is the instance's links divided by the live instances that name the same links,
// rounded up. An instance that holds two links more than one of those at least hands one
// link over per round: it commits, then frees the lease (a clean hand-over), and the other,
// below its share, takes it as a free link; the counts end within one link of each other.
// Held links are never taken from a live owner.

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace tarvell
{

// One link's lease as the round found it.
struct SeenLease
{
    bool exists = false; // a row is in the table
    std::string owner;   // empty: free
    std::int64_t fence = 0;
    bool lapsed = false;   // owned, and its beat stood still for a lease time
    bool freeLong = false; // free for a lease time at least
};

struct LeaseSituation
{
    std::string me;
    std::vector<std::string> links;          // the instance's links (LeaseNames), in order
    std::set<std::string> held;              // of those, held here now
    std::map<std::string, SeenLease> leases; // by LeaseName; a link missing here has no row
    std::vector<std::string> sharers;        // live instances naming the same links, me too
    bool mayHandOver = true;                 // a hand-over is allowed this round
};

struct LeaseStep
{
    enum class Kind
    {
        Take,
        HandOver,
    };
    Kind kind = Kind::Take;
    std::string link;
    SeenLease seen; // what a take expects to find
};

// The steps of one round: takes first (own, lapsed and long-free links before the rest), then
// at most one hand-over.
std::vector<LeaseStep> PlanLeases(const LeaseSituation& situation);

// The share of links of each of sharers live instances (at least 1).
int ShareOf(std::size_t links, std::size_t sharers);

} // namespace tarvell
