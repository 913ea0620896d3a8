#include "app/lease_plan.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace tarvell
{
namespace
{

// "take a", "hand over c": the steps as a test reads them.
std::vector<std::string> Steps(const LeaseSituation& situation)
{
    std::vector<std::string> texts;
    for (const LeaseStep& step : PlanLeases(situation))
        texts.push_back((step.kind == LeaseStep::Kind::Take ? "take " : "hand over ") + step.link);
    return texts;
}

SeenLease Held(const std::string& owner, bool lapsed = false)
{
    return {true, owner, 3, lapsed, false};
}

SeenLease Free(bool freeLong = false)
{
    return {true, "", 3, false, freeLong};
}

TEST(LeasePlan, EveryRuleOfTakingAndHandingOver)
{
    struct Case
    {
        const char* what;
        std::set<std::string> held;
        std::map<std::string, SeenLease> leases; // links a..d; missing: no row
        std::vector<std::string> sharers;
        std::vector<std::string> expected;
        bool mayHandOver = true;
    };
    const std::vector<Case> cases = {
        {"alone on a new database: every link at once",
         {},
         {},
         {"me"},
         {"take a", "take b", "take c", "take d"}},
        {"alone after a crash: its own leases at once",
         {},
         {{"a", Held("me")}, {"b", Held("me")}, {"c", Held("me")}, {"d", Held("me")}},
         {"me"},
         {"take a", "take b", "take c", "take d"}},
        {"joining two: free links up to its share of two",
         {},
         {{"a", Held("x")}, {"b", Free()}, {"c", Free()}, {"d", Free()}},
         {"me", "x"},
         {"take b", "take c"}},
        {"a live holder keeps its links",
         {"a", "b"},
         {{"a", Held("me")}, {"b", Held("me")}, {"c", Held("x")}, {"d", Held("x")}},
         {"me", "x"},
         {}},
        {"a lapsed holder's links are taken whatever the share",
         {"a", "b"},
         {{"a", Held("me")}, {"b", Held("me")}, {"c", Held("x", true)}, {"d", Held("x", true)}},
         {"me", "y"},
         {"take c", "take d"}},
        {"a link free for a lease time is taken above the share",
         {"a", "b"},
         {{"a", Held("me")}, {"b", Held("me")}, {"c", Held("x")}, {"d", Free(true)}},
         {"me", "x"},
         {"take d"}},
        {"above the share with a sharer below: one link handed over",
         {"a", "b", "c", "d"},
         {{"a", Held("me")}, {"b", Held("me")}, {"c", Held("me")}, {"d", Held("me")}},
         {"me", "x"},
         {"hand over d"}},
        {"at the share, but two above a sharer: one link handed over",
         {"a", "b"},
         {{"a", Held("me")}, {"b", Held("me")}, {"c", Held("x")}, {"d", Held("x")}},
         {"me", "x", "y"},
         {"hand over b"}},
        {"one link above a sharer: no hand-over",
         {"a", "b"},
         {{"a", Held("me")}, {"b", Held("me")}, {"c", Held("x")}, {"d", Held("y")}},
         {"me", "x", "y"},
         {}},
        {"no hand-over two rounds running",
         {"a", "b", "c", "d"},
         {{"a", Held("me")}, {"b", Held("me")}, {"c", Held("me")}, {"d", Held("me")}},
         {"me", "x"},
         {},
         false},
        {"no hand-over to an instance that names other links (no sharer)",
         {"a", "b", "c"},
         {{"a", Held("me")}, {"b", Held("me")}, {"c", Held("me")}, {"d", Held("x")}},
         {"me"},
         {}},
    };
    for (const Case& c : cases)
    {
        LeaseSituation situation;
        situation.me = "me";
        situation.links = {"a", "b", "c", "d"};
        situation.held = c.held;
        situation.leases = c.leases;
        situation.sharers = c.sharers;
        situation.mayHandOver = c.mayHandOver;
        EXPECT_EQ(Steps(situation), c.expected) << c.what;
    }
}

} // namespace
} // namespace tarvell
