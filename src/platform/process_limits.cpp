#include "platform/process_limits.h"

#include <cstdlib>

#include <malloc.h>
#include <sys/prctl.h>
#include <sys/resource.h>

namespace tarvell
{

DescriptorLimit RaiseDescriptorLimit()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return {};
    DescriptorLimit result{limit.rlim_cur, limit.rlim_max, limit.rlim_cur};
    if (limit.rlim_cur < limit.rlim_max)
    {
        limit.rlim_cur = limit.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &limit) == 0)
            result.soft = limit.rlim_cur;
    }
    return result;
}

std::uint64_t DescriptorSoftLimit()
{
    rlimit limit{};
    return ::getrlimit(RLIMIT_NOFILE, &limit) == 0 ? limit.rlim_cur : 0;
}

void BoundAllocatorArenas()
{
    if (std::getenv("MALLOC_ARENA_MAX") == nullptr)
        (void)::mallopt(M_ARENA_MAX, 2);
}

bool ForbidCoreDumps()
{
    const rlimit none{0, 0};
    const bool noCore = ::setrlimit(RLIMIT_CORE, &none) == 0;
    return ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) == 0 && noCore;
}

bool CoreDumpsAllowed()
{
    return ::prctl(PR_GET_DUMPABLE, 0, 0, 0, 0) == 1;
}

} // namespace tarvell
