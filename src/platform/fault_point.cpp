#include "platform/fault_point.h"

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include <unistd.h>

#include "platform/ini_profile.h"

namespace tarvell
{
namespace
{

enum class FaultAction
{
    None,
    Kill,
    Hold,
    Throw,
};

struct FaultSetting
{
    std::string name;
    FaultAction action = FaultAction::None;
    long long pass = 1;
};

FaultSetting ReadSetting()
{
    FaultSetting setting;
    const char* text = std::getenv("TARVELL_FAULT_POINT");
    if (text == nullptr)
        return setting;
    const std::string value(text);
    const std::size_t first = value.find(':');
    if (first == std::string::npos || first == 0)
        return setting;
    const std::size_t second = value.find(':', first + 1);
    const std::string action = value.substr(
        first + 1, second == std::string::npos ? std::string::npos : second - first - 1);
    if (action == "kill")
        setting.action = FaultAction::Kill;
    else if (action == "hold")
        setting.action = FaultAction::Hold;
    else if (action == "throw")
        setting.action = FaultAction::Throw;
    else
        return setting;
    setting.name = value.substr(0, first);
    if (second != std::string::npos)
        setting.pass = ParseLeadingInteger(std::string_view(value).substr(second + 1));
    return setting;
}

const FaultSetting& Setting()
{
    static const FaultSetting setting = ReadSetting();
    return setting;
}

std::atomic<long long> g_passes{0};

} // namespace

void FaultPoint(std::string_view name)
{
    const FaultSetting& setting = Setting();
    if (setting.action == FaultAction::None || name != setting.name)
        return;
    if (g_passes.fetch_add(1) + 1 != setting.pass)
        return;
    if (setting.action == FaultAction::Kill)
    {
        ::kill(::getpid(), SIGKILL);
        std::_Exit(137); // not reached
    }
    if (setting.action == FaultAction::Throw)
        throw std::runtime_error("fault point " + std::string(name));
    for (;;)
        ::pause();
}

} // namespace tarvell
