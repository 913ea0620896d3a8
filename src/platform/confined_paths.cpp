#include "platform/confined_paths.h"

#include <cerrno>
#include <mutex>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>

namespace tarvell
{
namespace
{

std::mutex g_lock;
std::string g_confined; // without a trailing "/"; guarded by g_lock

std::string Confined()
{
    std::lock_guard lock(g_lock);
    return g_confined;
}

// The steps of rest ("ABC/13/name"), without empty and "." steps; false for a ".." step.
bool Steps(const std::string& rest, std::vector<std::string>* steps)
{
    std::size_t start = 0;
    while (start <= rest.size())
    {
        std::size_t end = rest.find('/', start);
        if (end == std::string::npos)
            end = rest.size();
        const std::string step = rest.substr(start, end - start);
        if (step == "..")
            return false;
        if (!step.empty() && step != ".")
            steps->push_back(step);
        start = end + 1;
    }
    return true;
}

// Opens the directory step below dir without following a link; a link gives ELOOP.
UniqueFd OpenStep(int dir, const std::string& step)
{
    UniqueFd next(::openat(dir, step.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!next && errno == ENOTDIR)
    {
        struct stat st
        {
        };
        if (::fstatat(dir, step.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
            errno = ELOOP;
    }
    return next;
}

} // namespace

void SetConfinedDirectory(const std::string& path)
{
    std::string root = path;
    while (root.size() > 1 && root.back() == '/')
        root.pop_back();
    std::lock_guard lock(g_lock);
    g_confined = root;
}

int PathAt::Directory() const
{
    return directory ? directory.Get() : AT_FDCWD;
}

int PathAt::NoFollow() const
{
    return confined ? O_NOFOLLOW : 0;
}

bool ResolvePath(const std::string& path, PathAt* at)
{
    at->directory.Reset();
    at->confined = false;
    at->name = path;
    const std::string root = Confined();
    if (root.empty() || path.size() <= root.size() + 1 || path.compare(0, root.size(), root) != 0 ||
        path[root.size()] != '/')
        return true;
    std::vector<std::string> steps;
    if (!Steps(path.substr(root.size() + 1), &steps))
    {
        errno = EXDEV;
        return false;
    }
    if (steps.empty())
        return true; // the confined directory itself
    UniqueFd dir(::open(root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!dir)
        return false;
    for (std::size_t i = 0; i + 1 < steps.size(); ++i)
    {
        UniqueFd next = OpenStep(dir.Get(), steps[i]);
        if (!next)
            return false;
        dir = std::move(next);
    }
    at->directory = std::move(dir);
    at->name = steps.back();
    at->confined = true;
    return true;
}

} // namespace tarvell
