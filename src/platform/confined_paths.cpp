#include "platform/confined_paths.h"

#include <atomic>
#include <cerrno>
#include <mutex>
#include <vector>

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

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

// openat2 of rest below dir without following a link at any step or leaving dir; -1 with
// ENOSYS where the kernel has no openat2.
int OpenBeneath(int dir, const std::string& rest, int flags, unsigned mode)
{
    open_how how{};
    how.flags = static_cast<unsigned>(flags | O_CLOEXEC);
    how.mode = (flags & O_CREAT) != 0 ? mode : 0; // openat2 refuses a mode it would not use
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    return static_cast<int>(::syscall(SYS_openat2, dir, rest.c_str(), &how, sizeof how));
}

std::atomic<bool> g_noOpenat2{false}; // the kernel said ENOSYS once

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

namespace
{

// The confined directory in *root and the steps of path below it; *root left empty and no
// steps when path does not lie below it, no steps when it is the directory itself. False
// with EXDEV for a ".." step.
bool StepsBelowConfined(const std::string& path, std::string* root, std::vector<std::string>* steps)
{
    *root = Confined();
    if (root->empty() || path.size() <= root->size() + 1 ||
        path.compare(0, root->size(), *root) != 0 || path[root->size()] != '/')
    {
        root->clear();
        return true;
    }
    if (!Steps(path.substr(root->size() + 1), steps))
    {
        errno = EXDEV;
        return false;
    }
    return true;
}

} // namespace

bool ResolvePath(const std::string& path, PathAt* at)
{
    at->directory.Reset();
    at->confined = false;
    at->name = path;
    std::string root;
    std::vector<std::string> steps;
    if (!StepsBelowConfined(path, &root, &steps))
        return false;
    if (steps.empty())
        return true; // not below the confined directory, or the directory itself
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

UniqueFd OpenConfined(const std::string& path, int flags, unsigned mode)
{
    std::string root;
    std::vector<std::string> steps;
    if (!StepsBelowConfined(path, &root, &steps))
        return UniqueFd();
    if (!steps.empty() && !g_noOpenat2.load(std::memory_order_relaxed))
    {
        UniqueFd dir(::open(root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (!dir)
            return UniqueFd();
        UniqueFd opened(OpenBeneath(dir.Get(), path.substr(root.size() + 1), flags, mode));
        if (opened || (errno != ENOSYS && errno != EPERM))
            return opened;
        // A kernel without openat2, or a system call filter that refuses it (EPERM, which
        // the walk below then gives again when it is the file's own answer).
        if (errno == ENOSYS)
            g_noOpenat2.store(true, std::memory_order_relaxed);
    }
    PathAt at;
    if (!ResolvePath(path, &at))
        return UniqueFd();
    return UniqueFd(::openat(at.Directory(), at.name.c_str(), flags | at.NoFollow() | O_CLOEXEC,
                             static_cast<mode_t>(mode)));
}

} // namespace tarvell
