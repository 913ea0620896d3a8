#pragma once
// The fleet: several instances of the program that share one KDX database (and one data root)
// share the servers through leases in that database (db/fleet_tables.h). An instance archives
// a link only while it holds the link's lease: it writes the link's bytes only while the lease
// is fresh (renewed within the last two thirds of the lease time, on a clock that goes on
// while the process is stopped), and commits its rows only in a transaction that finds the
// lease still its own with the same fencing number. An instance that stops renewing loses its
// links to the others once its beat has stood still for the lease time; they repair the
// link's channels against their rows, as at a start, and ask the servers from there.
//
// One instance alone takes every link at once at its start (free ones, and those its own name
// holds from before) and behaves as without a fleet. CFleet stands between the configuration
// and the acquisition: it applies to the acquisition the part of the configuration whose
// links it holds (config/held_configuration.h). Its operations and its thread run one at a
// time.

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "app/acquisition.h"
#include "app/lease_plan.h"
#include "config/link_lease.h"
#include "config/station_groups.h"
#include "db/fleet_tables.h"

namespace tarvell
{

struct FleetSettings
{
    std::string name;      // [CLUSTER] NAME: unique in the fleet
    int leaseSeconds = 15; // [CLUSTER] LEASE_SECONDS
};

inline constexpr int kDefaultLeaseSeconds = 15;

// [CLUSTER] NAME (default: the host name and the INI file's path, "host:/etc/tarvell.ini")
// and LEASE_SECONDS (default 15; not a number from 1 to 3600: 15).
FleetSettings ReadFleetSettings(const std::string& iniPath);

// A fingerprint of a configuration's links: instances with the same one share them.
std::string LinkFingerprint(const CConfiguration& config);

class CFleet
{
public:
    CFleet(FleetSettings settings, CAcquisition& acquisition);
    ~CFleet();
    CFleet(const CFleet&) = delete;
    CFleet& operator=(const CFleet&) = delete;

    // Makes the fleet's tables where missing, takes at once the links it may, starts the
    // acquisition with them, and keeps the leases on its own thread from then on. False
    // (logged) when the tables can be neither read nor made.
    bool Start(std::shared_ptr<const CConfiguration> config);

    // A reload: the links held are applied with the new configuration; links it no longer
    // names are released, new ones taken as the rules allow.
    void Apply(std::shared_ptr<const CConfiguration> config);

    // Ends the thread, stops the acquisition (committing what the links wrote) and frees
    // every lease and the instance's member row, so that the others take the links at once.
    void Stop();

    const FleetSettings& Settings() const { return m_settings; }

private:
    // What this instance saw of one row, to judge whether its beat stands still.
    struct Watched
    {
        std::string owner;
        std::int64_t fence = 0;
        std::int64_t beat = 0;
        std::int64_t sinceMs = 0; // when it last changed (or was first seen)
    };

    // The configuration, its fingerprint and its links' lease names.
    void TakeConfiguration(std::shared_ptr<const CConfiguration> config);
    void Run();
    // One round: renews the leases, looks at every row, takes and hands over links, claims
    // their channels. True when the links held or their channels changed (to be applied).
    bool KeepLeases();
    bool Renew(std::vector<LeaseRow>& leases, std::vector<MemberRow>& members);
    bool ConfirmHeld(const std::vector<LeaseRow>& leases, std::int64_t startedMs);
    bool DropLapsed();
    void Watch(const std::vector<LeaseRow>& leases, const std::vector<MemberRow>& members,
               std::int64_t nowMs);
    LeaseSituation Situation(std::int64_t nowMs) const;
    bool Take(const LeaseStep& step);
    void HandOver(const std::string& link);
    bool UpdateClaims();
    void ApplyHeld(ApplyCause cause);
    void MarkChannels();
    void ShowHolders();

    const FleetSettings m_settings;
    const std::int64_t m_leaseMs;
    const std::int64_t m_freshMs; // a renewal keeps a lease fresh this long
    CAcquisition& m_acquisition;

    std::mutex m_lock; // one operation or round at a time; guards everything below
    std::shared_ptr<const CConfiguration> m_config;
    std::string m_fingerprint;
    std::vector<std::string> m_links; // LeaseNames of m_config's links
    std::map<std::string, std::shared_ptr<CLinkLease>> m_held;
    std::set<std::string> m_excluded; // ChannelKeys another link archives
    std::set<std::string> m_reported; // exclusions logged
    bool m_claimsDue = true;
    bool m_handedOver = false; // in the last round: one hand-over per two rounds at most
    std::map<std::string, Watched> m_leaseWatch;  // by LeaseName
    std::map<std::string, Watched> m_memberWatch; // by instance name
    std::map<std::string, std::string> m_memberPrints;
    bool m_started = false;
    bool m_databaseTrouble = false;

    std::mutex m_wakeLock;
    std::condition_variable m_wake;
    bool m_stopping = false; // guarded by m_wakeLock
    std::thread m_thread;
};

} // namespace tarvell
