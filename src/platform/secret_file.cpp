#include "platform/secret_file.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/file_system.h"
#include "platform/text_format.h"
#include "platform/unique_fd.h"

namespace tarvell
{
namespace
{

// The rights that let somebody other than the owner (and the readers of its group) see or
// change the secret.
constexpr mode_t kForeignRights = S_IRWXO | S_IWGRP;

} // namespace

bool ReadSecretFile(const std::string& path, std::string* secret, std::string* error)
{
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
    struct stat st
    {
    };
    if (!fd || ::fstat(fd.Get(), &st) != 0)
    {
        *error = FormatText("%s cannot be read: %s", path.c_str(), std::strerror(errno));
        return false;
    }
    if (!S_ISREG(st.st_mode) || st.st_size > static_cast<off_t>(kMaxSecretFileBytes))
    {
        *error = FormatText("%s is no regular file of at most %zu bytes", path.c_str(),
                            kMaxSecretFileBytes);
        return false;
    }
    if ((st.st_mode & kForeignRights) != 0)
    {
        *error = FormatText("%s has mode %04o: others than its owner can read or change it "
                            "(chmod 0600, or 0640 for a group of readers)",
                            path.c_str(), static_cast<unsigned>(st.st_mode & 07777));
        return false;
    }
    std::string content(kMaxSecretFileBytes, '\0');
    const std::int64_t got = ReadAt(fd.Get(), 0, content.data(), content.size());
    content.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    content.resize(std::min(content.size(), content.find('\n')));
    if (!content.empty() && content.back() == '\r')
        content.pop_back();
    if (content.empty())
    {
        *error = path + " holds no secret (its first line is empty)";
        return false;
    }
    *secret = std::move(content);
    return true;
}

} // namespace tarvell
