#include "status/status_fields.h"

#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "metrics/metrics_registry.h"
#include "status/prometheus_text.h"
#include "status/status_json.h"
#include "status/status_snapshot.h"

namespace tarvell
{
namespace
{

// The value Prometheus text gives the sample of family whose labels begin with labels.
std::string MetricValue(const std::string& text, const std::string& family,
                        const std::string& labels)
{
    const std::string head = "\n" + family + "{" + labels;
    const std::size_t at = text.find(head);
    if (at == std::string::npos)
        return "missing";
    const std::size_t value = text.find("} ", at) + 2;
    return text.substr(value, text.find('\n', value) - value);
}

// Every row of the tables reaches each reader from its own counter: a distinct value in each
// counter must come out under the row's key in /status and the row's family in /metrics.
TEST(StatusFields, EveryCountReachesStatusAndMetricsFromItsOwnCounter)
{
    const auto link = Metrics().Link("fields.example", 16001);
    const auto channel = Metrics().Channel("FLD", "BHZ");
    channel->link.store(link.get());
    for (std::size_t i = 0; i < kChannelCounts.size(); ++i)
        ((*channel).*(kChannelCounts[i].counter)).store(101 + static_cast<std::int64_t>(i));
    for (std::size_t i = 0; i < kLinkCounts.size(); ++i)
        ((*link).*(kLinkCounts[i].counter)).store(201 + static_cast<std::int64_t>(i));

    const StatusSnapshot snapshot = TakeStatusSnapshot(1.8e9);
    const auto json = nlohmann::json::parse(StatusJson(snapshot));
    const std::string metrics = PrometheusText(snapshot);
    ASSERT_EQ(json["channels"].size(), 1u);
    ASSERT_EQ(json["links"].size(), 1u);
    for (std::size_t i = 0; i < kChannelCounts.size(); ++i)
    {
        const auto expected = 101 + static_cast<std::int64_t>(i);
        EXPECT_EQ(json["channels"][0][kChannelCounts[i].json], expected) << kChannelCounts[i].json;
        EXPECT_EQ(MetricValue(metrics, kChannelCounts[i].metric, "station=\"FLD\""),
                  std::to_string(expected));
    }
    for (std::size_t i = 0; i < kLinkCounts.size(); ++i)
    {
        const auto expected = 201 + static_cast<std::int64_t>(i);
        EXPECT_EQ(json["links"][0][kLinkCounts[i].json], expected) << kLinkCounts[i].json;
        EXPECT_EQ(MetricValue(metrics, kLinkCounts[i].metric, "server=\"fields.example\""),
                  std::to_string(expected));
    }
}

} // namespace
} // namespace tarvell
