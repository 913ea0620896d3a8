#include "status/status_answer.h"

#include <cmath>
#include <limits>

#include <nlohmann/json.hpp>

namespace tarvell
{
namespace
{

using Json = nlohmann::json;

// Reads the fields of one object, each checked for its type; the first field that is
// missing or wrong is kept as the problem, and the fields after it read as empty.
class CFields
{
public:
    CFields(const Json& object, std::string where, std::string* problem)
        : m_object(object), m_where(std::move(where)), m_problem(*problem)
    {
        if (!object.is_object())
            Fail(m_where.empty() ? "the answer is no JSON object" : m_where + " is no object");
    }

    std::string Text(const char* key)
    {
        const Json* value = Find(key, &Json::is_string, "no text");
        return value ? value->get_ref<const std::string&>() : std::string();
    }

    bool Flag(const char* key)
    {
        const Json* value = Find(key, &Json::is_boolean, "no true or false");
        return value && value->get<bool>();
    }

    std::int64_t Integer(const char* key)
    {
        const Json* value = Find(key, &Json::is_number, "no number");
        if (!value)
            return 0;
        const double number = value->get<double>();
        if (!value->is_number_integer() &&
            !(value->is_number_unsigned() &&
              value->get<std::uint64_t>() <=
                  static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())))
        {
            Fail(Name(key) + " is no whole number (" + std::to_string(number) + ")");
            return 0;
        }
        return value->get<std::int64_t>();
    }

    // A number, or null for "none".
    std::optional<double> NumberOrNull(const char* key)
    {
        const Json* value = Find(key, &IsNumberOrNull, "no number or null");
        if (!value || value->is_null())
            return std::nullopt;
        return value->get<double>();
    }

    // True for an object, false for null or a missing field (a channel's hold, which an
    // older program does not report).
    bool ObjectIfThere(const char* key)
    {
        if (!m_object.is_object() || !m_object.contains(key))
            return false;
        const Json* value = Find(key, &IsObjectOrNull, "no object or null");
        return value && value->is_object();
    }

    // A whole number, or 0 for a field an older program does not report.
    std::int64_t IntegerIfThere(const char* key)
    {
        return m_object.is_object() && m_object.contains(key) ? Integer(key) : 0;
    }

    // A text, or empty for null or a field an older program does not report.
    std::string TextIfThere(const char* key)
    {
        if (!m_object.is_object() || !m_object.contains(key) || m_object[key].is_null())
            return {};
        return Text(key);
    }

    // True or false, or fallback for a field an older program does not report.
    bool FlagIfThere(const char* key, bool fallback)
    {
        return m_object.is_object() && m_object.contains(key) ? Flag(key) : fallback;
    }

    const Json& Object(const char* key)
    {
        const Json* value = Find(key, &Json::is_object, "no object");
        return value ? *value : Empty();
    }

    const Json& Array(const char* key)
    {
        const Json* value = Find(key, &Json::is_array, "no list");
        return value ? *value : Empty();
    }

    std::string Name(const char* key) const
    {
        return m_where.empty() ? std::string(key) : m_where + "." + key;
    }

private:
    static bool IsNumberOrNull(const Json& value) { return value.is_number() || value.is_null(); }
    static bool IsObjectOrNull(const Json& value) { return value.is_object() || value.is_null(); }

    static const Json& Empty()
    {
        static const Json empty;
        return empty;
    }

    const Json* Find(const char* key, bool (Json::*is)() const noexcept, const char* what)
    {
        return Find(
            key, [is](const Json& value) { return (value.*is)(); }, what);
    }

    template <typename Check> const Json* Find(const char* key, Check check, const char* what)
    {
        if (!m_problem.empty() || !m_object.is_object())
            return nullptr;
        const auto found = m_object.find(key);
        if (found == m_object.end())
        {
            Fail("no " + Name(key));
            return nullptr;
        }
        if (!check(*found))
        {
            Fail(Name(key) + " is " + what);
            return nullptr;
        }
        return &*found;
    }

    void Fail(const std::string& text)
    {
        if (m_problem.empty())
            m_problem = text;
    }

    const Json& m_object;
    const std::string m_where;
    std::string& m_problem;
};

void ReadLinks(const Json& links, StatusAnswer* answer, std::string* problem)
{
    for (std::size_t i = 0; i < links.size() && problem->empty(); ++i)
    {
        CFields fields(links[i], "links[" + std::to_string(i) + "]", problem);
        StatusAnswerLink link;
        link.server = fields.Text("server");
        link.port = fields.Integer("port");
        link.state = fields.Text("state");
        link.reconnects = fields.Integer("reconnects");
        link.heldHere = fields.FlagIfThere("held_here", true);
        link.holder = fields.TextIfThere("holder");
        answer->links.push_back(std::move(link));
    }
}

void ReadChannels(const Json& channels, StatusAnswer* answer, std::string* problem)
{
    for (std::size_t i = 0; i < channels.size() && problem->empty(); ++i)
    {
        CFields fields(channels[i], "channels[" + std::to_string(i) + "]", problem);
        StatusAnswerChannel channel;
        channel.station = fields.Text("station");
        channel.channel = fields.Text("channel");
        channel.server = fields.Text("server");
        channel.file = fields.Text("file");
        channel.lastSampleTime = fields.NumberOrNull("last_sample_time");
        channel.latency = fields.NumberOrNull("latency_seconds");
        channel.stalled = fields.Flag("stalled");
        channel.held = fields.ObjectIfThere("held");
        channel.elsewhere = fields.FlagIfThere("elsewhere", false);
        answer->channels.push_back(std::move(channel));
    }
}

} // namespace

bool ReadStatusAnswer(const std::string& body, StatusAnswer* answer, std::string* problem)
{
    *answer = StatusAnswer{};
    problem->clear();
    const Json status = Json::parse(body, nullptr, false);
    if (status.is_discarded())
    {
        *problem = "the answer is no JSON (or cut short)";
        return false;
    }
    CFields fields(status, "", problem);
    answer->version = fields.Text("version");
    answer->summary = fields.Text("summary");
    answer->stalledChannels = fields.Integer("stalled_channels");
    answer->heldChannels = fields.IntegerIfThere("held_channels");
    answer->instance = fields.TextIfThere("instance");
    answer->dataRootMissing = fields.FlagIfThere("data_root_missing", false);
    answer->notAcquired = fields.IntegerIfThere("not_acquired");
    CFields database(fields.Object("database"), fields.Name("database"), problem);
    answer->databaseReachable = database.Flag("reachable");
    answer->databaseOutages = database.Integer("outages");
    ReadLinks(fields.Array("links"), answer, problem);
    ReadChannels(fields.Array("channels"), answer, problem);
    return problem->empty();
}

} // namespace tarvell
