#include "datafiles/resume_store.h"

#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "config/group_section.h"
#include "datafiles/channel_ini.h"
#include "log/event_log.h"
#include "platform/fault_point.h"
#include "platform/ini_profile.h"
#include "platform/program_paths.h"
#include "platform/text_format.h"

namespace tarvell
{
namespace
{

using Clock = std::chrono::steady_clock;
constexpr std::chrono::seconds kWriteInterval{1};

// The section the channel's group was read from, its station and the channel.
struct ResumeKey
{
    int section = 0;
    std::string station;
    std::string channel;
    bool operator<(const ResumeKey& other) const
    {
        return std::tie(section, station, channel) <
               std::tie(other.section, other.station, other.channel);
    }
};
using ResumeTimes = std::map<ResumeKey, std::int64_t>;

// Guards g_noted only: noting never waits for a write of the INI.
std::mutex g_notedLock;
ResumeTimes g_noted;

// Held for a whole write, so that two writes never pass one another (an older set of values
// written after a newer one).
std::mutex g_writeLock;
Clock::time_point g_lastWrite{}; // guarded by g_writeLock
bool g_writeFailing = false;     // guarded by g_writeLock
// Stations whose section moved or vanished, as last logged: "STATION" -> the section found
// (0: none). Guarded by g_writeLock.
std::map<std::string, int> g_reportedSections;

// Puts back what a failed write held, unless a newer value was noted meanwhile.
void KeepForNextWrite(ResumeTimes&& unwritten)
{
    std::lock_guard lock(g_notedLock);
    for (auto& [key, seconds] : unwritten)
        g_noted.try_emplace(key, seconds);
}

// The section that names the key's station now: the INI may have been edited since the
// configuration was read, and a resume time must never land in another station's section.
// A moved or vanished station is logged once. Caller holds g_writeLock.
int SectionNow(const ResumeKey& key)
{
    const int section = SectionNamingStation(g_iniPath, key.section, key.station);
    const int reported = section == key.section ? 0 : (section != 0 ? section : -1);
    auto [known, added] = g_reportedSections.try_emplace(key.station, 0);
    if (known->second == reported)
        return section;
    known->second = reported;
    if (section != 0 && section != key.section)
        LogEvent(FormatText("Station %s was moved from GROUP%d to GROUP%d of the program INI",
                            key.station.c_str(), key.section, section));
    else if (section == 0)
        LogEvent(FormatText("Station %s is no longer in the program INI (was GROUP%d): its "
                            "resume times are not stored",
                            key.station.c_str(), key.section));
    return section;
}

// Caller holds g_writeLock.
bool WriteNoted()
{
    ResumeTimes taken;
    {
        std::lock_guard lock(g_notedLock);
        taken.swap(g_noted);
    }
    g_lastWrite = Clock::now();
    if (taken.empty())
        return true;
    std::vector<ProfileEntry> entries;
    entries.reserve(taken.size());
    // Keys come in order of section and station: a station's channels share one look-up.
    const ResumeKey* looked = nullptr;
    int section = 0;
    for (const auto& [key, seconds] : taken)
    {
        if (looked == nullptr || looked->section != key.section || looked->station != key.station)
        {
            section = SectionNow(key);
            looked = &key;
        }
        if (section != 0)
            entries.push_back({GroupSectionName(section), key.channel,
                               FormatText("%lld", static_cast<long long>(seconds))});
    }
    if (!WriteProfileStrings(g_iniPath, entries))
    {
        KeepForNextWrite(std::move(taken));
        if (!g_writeFailing)
        {
            LogEvent(FormatText("Resume times not stored: the program INI '%s' cannot be "
                                "written",
                                g_iniPath.c_str()));
        }
        g_writeFailing = true;
        return false;
    }
    if (g_writeFailing)
        LogEvent("Resume times are stored in the program INI again");
    g_writeFailing = false;
    FaultPoint("resume-times-written");
    return true;
}

} // namespace

void NoteResumeTime(int section, std::string_view station, std::string_view channel,
                    std::int64_t seconds)
{
    if (section == 0)
        return;
    std::lock_guard lock(g_notedLock);
    g_noted[ResumeKey{section, std::string(station), std::string(channel)}] = seconds;
}

void WriteResumeTimesIfDue()
{
    std::unique_lock lock(g_writeLock, std::try_to_lock);
    if (!lock.owns_lock() || Clock::now() - g_lastWrite < kWriteInterval)
        return;
    (void)WriteNoted();
}

bool WriteResumeTimes()
{
    std::lock_guard lock(g_writeLock);
    return WriteNoted();
}

void ResetResumeStoreForTest()
{
    std::lock_guard writing(g_writeLock);
    std::lock_guard lock(g_notedLock);
    g_noted.clear();
    g_writeFailing = false;
    g_reportedSections.clear();
    g_lastWrite = {};
}

} // namespace tarvell
