#include "platform/file_system.h"

#include <sys/stat.h>

namespace tarvell
{

void MakeDirectory(const std::string& path)
{
    ::mkdir(path.c_str(), 0777);
}

bool PathExists(const std::string& path)
{
    struct stat st{};
    return ::stat(path.c_str(), &st) == 0;
}

} // namespace tarvell
