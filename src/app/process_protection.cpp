#include "app/process_protection.h"

#include "log/event_log.h"
#include "platform/ini_profile.h"
#include "platform/process_limits.h"
#include "platform/text_format.h"

namespace tarvell
{

void ProtectProcess(const std::string& iniPath)
{
    BoundAllocatorArenas();
    (void)RaiseDescriptorLimit();
    if (ReadProfileInt(iniPath, "SYSTEM", "CORE_DUMPS", 0) != 1)
        (void)ForbidCoreDumps();
}

void LogProcessProtection()
{
    LogEvent(FormatText("Open files: at most %llu",
                        static_cast<unsigned long long>(DescriptorSoftLimit())));
    if (CoreDumpsAllowed())
        LogEvent("Core dumps are allowed ([SYSTEM] CORE_DUMPS=1): a core file of this process "
                 "holds the database password");
}

} // namespace tarvell
