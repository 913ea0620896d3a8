#include "datafiles/resume_store.h"

#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "config/group_section.h"
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

using ResumeKey = std::pair<int, std::string>; // section number, channel
using ResumeTimes = std::map<ResumeKey, std::int64_t>;

// Guards g_noted only: noting never waits for a write of the INI.
std::mutex g_notedLock;
ResumeTimes g_noted;

// Held for a whole write, so that two writes never pass one another (an older set of values
// written after a newer one).
std::mutex g_writeLock;
Clock::time_point g_lastWrite{}; // guarded by g_writeLock
bool g_writeFailing = false;     // guarded by g_writeLock

// Puts back what a failed write held, unless a newer value was noted meanwhile.
void KeepForNextWrite(ResumeTimes&& unwritten)
{
    std::lock_guard lock(g_notedLock);
    for (auto& [key, seconds] : unwritten)
        g_noted.try_emplace(key, seconds);
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
    for (const auto& [key, seconds] : taken)
    {
        entries.push_back({GroupSectionName(key.first), key.second,
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

void NoteResumeTime(int section, std::string_view channel, std::int64_t seconds)
{
    if (section == 0)
        return;
    std::lock_guard lock(g_notedLock);
    g_noted[ResumeKey{section, std::string(channel)}] = seconds;
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
    g_lastWrite = {};
}

} // namespace tarvell
