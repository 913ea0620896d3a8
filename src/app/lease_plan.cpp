#include "app/lease_plan.h"

#include <algorithm>

namespace tarvell
{

int ShareOf(std::size_t links, std::size_t sharers)
{
    const std::size_t members = std::max<std::size_t>(sharers, 1);
    return static_cast<int>(std::max<std::size_t>((links + members - 1) / members, 1));
}

std::vector<LeaseStep> PlanLeases(const LeaseSituation& situation)
{
    const int share = ShareOf(situation.links.size(), situation.sharers.size());
    std::map<std::string, int> holds; // links of mine each sharer holds
    for (const std::string& link : situation.links)
    {
        auto seen = situation.leases.find(link);
        if (seen != situation.leases.end() && !seen->second.owner.empty())
            ++holds[seen->second.owner];
    }
    int held = static_cast<int>(situation.held.size());

    std::vector<LeaseStep> urgent;   // taken whatever the share
    std::vector<LeaseStep> balanced; // taken while below the share
    for (const std::string& link : situation.links)
    {
        if (situation.held.count(link) != 0)
            continue;
        auto found = situation.leases.find(link);
        const SeenLease seen = found != situation.leases.end() ? found->second : SeenLease{};
        const LeaseStep step{LeaseStep::Kind::Take, link, seen};
        if (!seen.exists || seen.owner.empty())
            (seen.freeLong ? urgent : balanced).push_back(step);
        else if (seen.owner == situation.me || seen.lapsed)
            urgent.push_back(step);
    }

    std::vector<LeaseStep> steps = urgent;
    held += static_cast<int>(urgent.size());
    for (const LeaseStep& step : balanced)
    {
        if (held >= share)
            break;
        steps.push_back(step);
        ++held;
    }

    // One hand-over per round, to a sharer that holds two links fewer at least: it is below
    // its share then and takes the link, and the counts end within one link of each other
    // without a link going back and forth.
    if (situation.mayHandOver && steps.empty())
    {
        const bool someoneFarBelow =
            std::any_of(situation.sharers.begin(), situation.sharers.end(),
                        [&](const std::string& sharer)
                        { return sharer != situation.me && holds[sharer] + 2 <= held; });
        if (someoneFarBelow)
        {
            // The last of the instance's links it holds: the same choice every round.
            for (auto link = situation.links.rbegin(); link != situation.links.rend(); ++link)
            {
                if (situation.held.count(*link) != 0)
                {
                    steps.push_back({LeaseStep::Kind::HandOver, *link, {}});
                    break;
                }
            }
        }
    }
    return steps;
}

} // namespace tarvell
