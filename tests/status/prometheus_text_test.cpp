#include "status/prometheus_text.h"

#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <unistd.h>

#include "status/status_snapshot.h"
#include "support/sandbox.h"

namespace tarvell
{
namespace
{

// The label part of every sample of a family, in order.
std::vector<std::string> LabelSets(const std::string& text, const std::string& family)
{
    std::vector<std::string> sets;
    for (std::size_t at = text.find("\n" + family + "{"); at != std::string::npos;
         at = text.find("\n" + family + "{", at + 1))
    {
        const std::size_t begin = at + 1 + family.size();
        sets.push_back(text.substr(begin, text.find("} ", begin) + 1 - begin));
    }
    return sets;
}

TEST(PrometheusText, EveryNameBecomesAValidLabelValueAndDistinctNamesStayDistinct)
{
    struct Case
    {
        std::string station;
        std::string label; // as the exposition must write it
    };
    const std::vector<Case> cases = {
        {"ABC", "ABC"},
        {"AB\xE9", "AB\\\\xE9"},                     // Latin-1: no UTF-8, written as text
        {"AB\\xE9", "AB\\\\\\\\xE9"},                // that very text, its backslash doubled
        {"\xC3\xA9T", "\xC3\xA9T"},                  // UTF-8 stays
        {"S\xED\xA0\x80", "S\\\\xED\\\\xA0\\\\x80"}, // a surrogate is no UTF-8
        {"O\xC0\xAF", "O\\\\xC0\\\\xAF"},            // nor an overlong "/"
        {"C\xE2\x82", "C\\\\xE2\\\\x82"},            // nor a sequence cut short
        {"Q\"\n", "Q\\\"\\n"},
    };
    StatusSnapshot snapshot;
    snapshot.version = "1.0.0";
    for (const Case& c : cases)
    {
        ChannelStatus channel;
        channel.station = c.station;
        channel.channel = "BHZ";
        channel.server = "h\xF6st";
        snapshot.channels.push_back(channel);
    }
    snapshot.links.push_back(LinkStatus{});
    snapshot.links.back().server = "h\xF6st";
    const std::string text = PrometheusText(snapshot);

    const std::vector<std::string> sets = LabelSets(text, "tarvell_samples_received_total");
    ASSERT_EQ(sets.size(), cases.size()) << text;
    for (std::size_t i = 0; i < cases.size(); ++i)
        EXPECT_EQ(sets[i],
                  "{station=\"" + cases[i].label + "\",channel=\"BHZ\",server=\"h\\\\xF6st\"}");
    EXPECT_EQ(std::set<std::string>(sets.begin(), sets.end()).size(), cases.size());

    // The judge of the format, where it is installed (Debian prometheus).
    if (::access("/usr/bin/promtool", X_OK) != 0)
        GTEST_SKIP() << "promtool is missing (Debian prometheus; scripts/install-deps.sh)";
    test::Sandbox box;
    const std::string file = box.Write("metrics.txt", text);
    const std::string command = "/usr/bin/promtool check metrics < " + file + " 2>&1";
    std::FILE* promtool = ::popen(command.c_str(), "r");
    ASSERT_NE(promtool, nullptr);
    std::string output;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, promtool) != nullptr)
        output += buffer;
    EXPECT_EQ(::pclose(promtool), 0) << output;
}

} // namespace
} // namespace tarvell
