#include "app/fleet.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include <unistd.h>

#include "config/held_configuration.h"
#include "log/event_log.h"
#include "metrics/metrics_registry.h"
#include "platform/clock.h"
#include "platform/ini_profile.h"
#include "platform/text_format.h"

namespace tarvell
{
namespace
{

// The longest name the lease table keeps (its OWNER column).
constexpr std::size_t kLongestName = 160;

std::uint64_t Fnv1a(std::string_view text)
{
    std::uint64_t hash = 14695981039346656037ull;
    for (const char c : text)
    {
        hash ^= static_cast<unsigned char>(c);
        hash *= 1099511628211ull;
    }
    return hash;
}

std::string Hex(std::uint64_t value)
{
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
    return text;
}

// A name the lease table can keep: a longer one is cut and given its hash, so that two long
// names that differ only at their ends stay two names.
std::string StorableName(const std::string& name)
{
    if (name.size() <= kLongestName)
        return name;
    return name.substr(0, kLongestName - 17) + "~" + Hex(Fnv1a(name));
}

std::string DefaultName(const std::string& iniPath)
{
    char host[256] = {};
    if (::gethostname(host, sizeof host - 1) != 0)
        std::snprintf(host, sizeof host, "localhost");
    std::error_code error;
    const std::filesystem::path absolute = std::filesystem::absolute(iniPath, error);
    return std::string(host) + ":" + (error ? iniPath : absolute.lexically_normal().string());
}

} // namespace

FleetSettings ReadFleetSettings(const std::string& iniPath)
{
    FleetSettings settings;
    std::string name = ReadProfileString(iniPath, "CLUSTER", "NAME", "", 1023);
    settings.name = StorableName(name.empty() ? DefaultName(iniPath) : name);
    const long long seconds =
        ReadProfileInt(iniPath, "CLUSTER", "LEASE_SECONDS", kDefaultLeaseSeconds);
    settings.leaseSeconds =
        seconds >= 1 && seconds <= 3600 ? static_cast<int>(seconds) : kDefaultLeaseSeconds;
    return settings;
}

std::string LinkFingerprint(const CConfiguration& config)
{
    std::vector<std::string> names;
    for (const LinkConfig& link : config.links)
        names.push_back(link.LeaseName());
    std::sort(names.begin(), names.end());
    std::string all;
    for (const std::string& name : names)
        all += name + "\n";
    return Hex(Fnv1a(all));
}

CFleet::CFleet(FleetSettings settings, CAcquisition& acquisition)
    : m_settings(std::move(settings)), m_leaseMs(std::int64_t{m_settings.leaseSeconds} * 1000),
      // A renewal keeps a lease fresh for two thirds of the lease time: the last third is the
      // margin within which an instance stops writing before any other can take the lease
      // (for the drift of the clocks, and for a thread between its check and its write).
      m_freshMs(m_leaseMs - m_leaseMs / 3), m_acquisition(acquisition)
{
}

CFleet::~CFleet()
{
    Stop();
}

bool CFleet::Start(std::shared_ptr<const CConfiguration> config)
{
    std::lock_guard lock(m_lock);
    if (!EnsureFleetTables())
        return false;
    Metrics().process.instanceName.Store(m_settings.name);
    TakeConfiguration(std::move(config));
    (void)KeepLeases();
    m_acquisition.Start(HeldConfiguration(*m_config, m_held, m_excluded));
    m_started = true;
    MarkChannels();
    ShowHolders();
    LogEvent(FormatText("Fleet: this instance is '%s', lease %d s; %zu of %zu servers held here",
                        m_settings.name.c_str(), m_settings.leaseSeconds, m_held.size(),
                        m_links.size()));
    m_thread = std::thread([this] { Run(); });
    return true;
}

void CFleet::Apply(std::shared_ptr<const CConfiguration> config)
{
    std::lock_guard lock(m_lock);
    TakeConfiguration(std::move(config));
    // Links the configuration no longer names are stopped with it, then freed.
    std::vector<std::shared_ptr<CLinkLease>> dropped;
    for (auto held = m_held.begin(); held != m_held.end();)
    {
        if (std::find(m_links.begin(), m_links.end(), held->first) == m_links.end())
        {
            dropped.push_back(held->second);
            held = m_held.erase(held);
        }
        else
        {
            ++held;
        }
    }
    m_claimsDue = true;
    (void)KeepLeases();
    ApplyHeld(ApplyCause::Reload);
    for (const std::shared_ptr<CLinkLease>& lease : dropped)
    {
        (void)ReleaseLease(lease->link, lease->owner, lease->fence);
        lease->Lost();
    }
}

void CFleet::TakeConfiguration(std::shared_ptr<const CConfiguration> config)
{
    m_config = std::move(config);
    m_fingerprint = LinkFingerprint(*m_config);
    m_links.clear();
    for (const LinkConfig& link : m_config->links)
        m_links.push_back(link.LeaseName());
}

void CFleet::Stop()
{
    {
        std::lock_guard wake(m_wakeLock);
        if (m_stopping)
            return;
        m_stopping = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable())
        m_thread.join();
    std::lock_guard lock(m_lock);
    if (!m_started)
        return;
    // What the links wrote is committed under their leases before the leases are freed.
    m_acquisition.Stop();
    for (const auto& [link, lease] : m_held)
    {
        (void)ReleaseLease(lease->link, lease->owner, lease->fence);
        lease->Lost();
    }
    m_held.clear();
    (void)LeaveFleet(m_settings.name);
}

void CFleet::Run()
{
    const std::chrono::milliseconds period(std::max<std::int64_t>(m_leaseMs / 3, 100));
    for (;;)
    {
        {
            std::unique_lock wake(m_wakeLock);
            if (m_wake.wait_for(wake, period, [this] { return m_stopping; }))
                return;
        }
        std::lock_guard lock(m_lock);
        if (KeepLeases())
            ApplyHeld(ApplyCause::Fleet);
        ShowHolders();
    }
}

bool CFleet::KeepLeases()
{
    const std::int64_t started = BootClockMs();
    std::vector<LeaseRow> leases;
    std::vector<MemberRow> members;
    if (!Renew(leases, members))
        return DropLapsed();
    bool changed = ConfirmHeld(leases, started);
    const std::int64_t now = BootClockMs();
    Watch(leases, members, now);
    const bool handedOverBefore = std::exchange(m_handedOver, false);
    LeaseSituation situation = Situation(now);
    situation.mayHandOver = !handedOverBefore;
    for (const LeaseStep& step : PlanLeases(situation))
    {
        if (step.kind == LeaseStep::Kind::Take)
            changed = Take(step) || changed;
        else
            HandOver(step.link);
    }
    return UpdateClaims() || changed;
}

bool CFleet::Renew(std::vector<LeaseRow>& leases, std::vector<MemberRow>& members)
{
    const bool renewed =
        RenewLeasesAndMembership(m_settings.name, m_fingerprint, static_cast<int>(m_links.size()));
    std::optional<std::vector<LeaseRow>> readLeases =
        renewed ? ReadLeases() : std::optional<std::vector<LeaseRow>>{};
    std::optional<std::vector<MemberRow>> readMembers =
        readLeases ? ReadMembers() : std::optional<std::vector<MemberRow>>{};
    if (!readMembers)
    {
        if (!std::exchange(m_databaseTrouble, true))
            LogEvent("Fleet: the leases cannot be renewed (the database does not answer); the "
                     "servers held here stop writing when their leases are no longer fresh");
        return false;
    }
    if (std::exchange(m_databaseTrouble, false))
        LogEvent("Fleet: the leases are renewed again");
    leases = std::move(*readLeases);
    members = std::move(*readMembers);
    return true;
}

bool CFleet::ConfirmHeld(const std::vector<LeaseRow>& leases, std::int64_t startedMs)
{
    bool changed = false;
    for (auto held = m_held.begin(); held != m_held.end();)
    {
        const CLinkLease& lease = *held->second;
        auto row = std::find_if(leases.begin(), leases.end(),
                                [&](const LeaseRow& r) { return r.link == held->first; });
        if (row != leases.end() && row->owner == m_settings.name && row->fence == lease.fence)
        {
            held->second->Renewed(startedMs, m_freshMs);
            ++held;
            continue;
        }
        if (row != leases.end() && row->owner == m_settings.name)
            LogEvent(FormatText("Fleet: server %s was taken by another instance named '%s' "
                                "(fence %lld): every instance needs a name of its own "
                                "([CLUSTER] NAME)",
                                held->first.c_str(), m_settings.name.c_str(),
                                static_cast<long long>(row->fence)));
        else
            LogEvent(FormatText("Fleet: server %s is held by '%s' now; nothing more of it is "
                                "written here",
                                held->first.c_str(),
                                row == leases.end() ? "" : row->owner.c_str()));
        held->second->Lost();
        held = m_held.erase(held);
        changed = true;
    }
    return changed;
}

bool CFleet::DropLapsed()
{
    bool changed = false;
    for (auto held = m_held.begin(); held != m_held.end();)
    {
        if (held->second->Fresh())
        {
            ++held;
            continue;
        }
        LogEvent(FormatText("Fleet: the lease of server %s was not renewed in time: its writing "
                            "stopped; the server is held again once the database answers",
                            held->first.c_str()));
        held = m_held.erase(held);
        changed = true;
    }
    if (changed)
        ApplyHeld(ApplyCause::Fleet);
    return false; // applied already
}

void CFleet::Watch(const std::vector<LeaseRow>& leases, const std::vector<MemberRow>& members,
                   std::int64_t nowMs)
{
    std::map<std::string, Watched> leaseWatch;
    for (const LeaseRow& row : leases)
    {
        Watched seen{row.owner, row.fence, row.beat, nowMs};
        auto before = m_leaseWatch.find(row.link);
        if (before != m_leaseWatch.end() && before->second.owner == row.owner &&
            before->second.fence == row.fence && before->second.beat == row.beat)
            seen.sinceMs = before->second.sinceMs;
        leaseWatch[row.link] = seen;
    }
    m_leaseWatch.swap(leaseWatch);

    std::map<std::string, Watched> memberWatch;
    m_memberPrints.clear();
    for (const MemberRow& row : members)
    {
        Watched seen{row.name, 0, row.beat, nowMs};
        auto before = m_memberWatch.find(row.name);
        if (before != m_memberWatch.end() && before->second.beat == row.beat)
            seen.sinceMs = before->second.sinceMs;
        memberWatch[row.name] = seen;
        m_memberPrints[row.name] = row.fingerprint;
    }
    m_memberWatch.swap(memberWatch);
}

LeaseSituation CFleet::Situation(std::int64_t nowMs) const
{
    LeaseSituation situation;
    situation.me = m_settings.name;
    situation.links = m_links;
    for (const auto& [link, lease] : m_held)
        situation.held.insert(link);
    for (const auto& [link, seen] : m_leaseWatch)
    {
        const bool still = nowMs - seen.sinceMs >= m_leaseMs;
        situation.leases[link] = {true, seen.owner, seen.fence,
                                  !seen.owner.empty() && seen.owner != m_settings.name && still,
                                  seen.owner.empty() && still};
    }
    situation.sharers.push_back(m_settings.name);
    for (const auto& [name, seen] : m_memberWatch)
    {
        auto print = m_memberPrints.find(name);
        if (name != m_settings.name && nowMs - seen.sinceMs < m_leaseMs &&
            print != m_memberPrints.end() && print->second == m_fingerprint)
            situation.sharers.push_back(name);
    }
    return situation;
}

bool CFleet::Take(const LeaseStep& step)
{
    const std::int64_t started = BootClockMs();
    const std::optional<std::int64_t> fence =
        TakeLease(step.link, step.seen.owner, step.seen.fence, step.seen.exists, m_settings.name);
    if (!fence)
        return false; // another instance was first, or the database failed: seen next round
    auto lease = std::make_shared<CLinkLease>(step.link, m_settings.name, *fence);
    lease->Renewed(started, m_freshMs);
    m_held[step.link] = lease;
    m_leaseWatch[step.link] = {m_settings.name, *fence, 0, started};
    m_claimsDue = true;
    if (!step.seen.owner.empty() && step.seen.owner != m_settings.name)
        LogEvent(FormatText("Fleet: server %s taken over from '%s', whose lease lapsed (fence "
                            "%lld); its channels are repaired against their rows and asked "
                            "from there",
                            step.link.c_str(), step.seen.owner.c_str(),
                            static_cast<long long>(*fence)));
    else
        LogEvent(FormatText("Fleet: server %s held here (fence %lld)", step.link.c_str(),
                            static_cast<long long>(*fence)));
    return true;
}

void CFleet::HandOver(const std::string& link)
{
    auto held = m_held.find(link);
    if (held == m_held.end())
        return;
    const std::shared_ptr<CLinkLease> lease = held->second;
    m_held.erase(held);
    // Stopped and committed while the lease is still this instance's; freed after.
    ApplyHeld(ApplyCause::Fleet);
    const bool freed = ReleaseLease(lease->link, lease->owner, lease->fence);
    lease->Lost();
    m_handedOver = true;
    if (freed)
        LogEvent(FormatText("Fleet: server %s handed over, for an instance that holds fewer",
                            link.c_str()));
}

bool CFleet::UpdateClaims()
{
    if (!m_claimsDue && m_excluded.empty())
        return false;
    const std::optional<std::vector<ClaimRow>> claims = ReadClaims();
    if (!claims)
        return false;
    std::map<std::string, const ClaimRow*> claimed; // by ChannelKey
    for (const ClaimRow& claim : *claims)
        claimed[ChannelKey(claim.station, claim.channel)] = &claim;
    auto claimHolds = [&](const std::string& link)
    {
        // A claim stands while its link is held, or being handed over; one of a link no
        // instance holds any more (or whose holder lapsed) may be moved.
        auto seen = m_leaseWatch.find(link);
        if (seen == m_leaseWatch.end())
            return false;
        const bool still = BootClockMs() - seen->second.sinceMs >= m_leaseMs;
        return !still || seen->second.owner == m_settings.name;
    };

    std::set<std::string> excluded;
    bool due = false;
    for (const LinkConfig& link : m_config->links)
    {
        const std::string name = link.LeaseName();
        if (m_held.count(name) == 0)
            continue;
        std::vector<ClaimRow> unclaimed;
        std::set<std::string> mine;
        for (std::size_t g : link.groups)
        {
            const CStationGroup& group = m_config->groups[g];
            for (const CChannelRecord& channel : group.channels)
            {
                const std::string key = ChannelKey(group.station, channel.name);
                mine.insert(key);
                auto claim = claimed.find(key);
                if (claim == claimed.end())
                {
                    unclaimed.push_back({group.station, channel.name, name});
                    continue;
                }
                if (claim->second->link == name)
                    continue;
                if (!claimHolds(claim->second->link) &&
                    MoveClaim({group.station, channel.name, name}, claim->second->link))
                    continue;
                excluded.insert(key);
                if (m_reported.insert(key).second)
                    LogEvent(FormatText("Fleet: channel %s %s is archived from server %s (another "
                                        "instance's configuration names it there), not from %s",
                                        group.station.c_str(), channel.name.c_str(),
                                        claim->second->link.c_str(), name.c_str()));
            }
        }
        if (!unclaimed.empty() && !InsertClaims(name, unclaimed))
        {
            // Claimed meanwhile by another instance, or the database failed: not archived
            // here until the next round has looked again.
            for (const ClaimRow& channel : unclaimed)
                excluded.insert(ChannelKey(channel.station, channel.channel));
            due = true;
        }
        std::vector<ClaimRow> stale;
        for (const ClaimRow& claim : *claims)
        {
            if (claim.link == name && mine.count(ChannelKey(claim.station, claim.channel)) == 0)
                stale.push_back(claim);
        }
        if (!stale.empty())
            (void)DeleteClaims(name, stale);
    }
    m_claimsDue = due;
    if (excluded == m_excluded)
        return false;
    m_excluded.swap(excluded);
    return true;
}

void CFleet::ApplyHeld(ApplyCause cause)
{
    if (!m_started)
        return;
    m_acquisition.Apply(HeldConfiguration(*m_config, m_held, m_excluded), cause);
    MarkChannels();
}

void CFleet::MarkChannels()
{
    // Every configured channel keeps its server in the status, wherever it is archived.
    for (const LinkConfig& link : m_config->links)
    {
        const CLinkCounters* counters = Metrics().Link(link.host, link.port).get();
        for (std::size_t g : link.groups)
        {
            for (const CChannelRecord& channel : m_config->groups[g].channels)
            {
                channel.counters->link.store(counters, std::memory_order_relaxed);
                channel.counters->configured.store(true, std::memory_order_relaxed);
            }
        }
    }
}

void CFleet::ShowHolders()
{
    for (const LinkConfig& link : m_config->links)
    {
        const std::string name = link.LeaseName();
        const std::shared_ptr<CLinkCounters> counters = Metrics().Link(link.host, link.port);
        const bool here = m_held.count(name) != 0;
        auto seen = m_leaseWatch.find(name);
        counters->holder.Store(here ? m_settings.name
                                    : (seen == m_leaseWatch.end() ? "" : seen->second.owner));
        counters->heldElsewhere.store(!here, std::memory_order_relaxed);
    }
}

} // namespace tarvell
