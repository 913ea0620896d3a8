#include "platform/power_cut_journal.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "platform/unique_fd.h"

namespace tarvell
{
namespace
{

struct Journal
{
    std::mutex lock;
    std::string path;         // empty: off
    std::FILE* out = nullptr; // guarded by lock
    long copies = 0;          // guarded by lock
};

Journal& TheJournal()
{
    static Journal* journal = []
    {
        auto* made = new Journal;
        if (const char* path = std::getenv("TARVELL_POWER_CUT_JOURNAL"))
        {
            made->path = path;
            made->out = std::fopen(path, "a");
        }
        return made;
    }();
    return *journal;
}

// Writes one line now: the process may be killed at any moment after the change.
void Line(Journal& journal, const std::string& line)
{
    std::fputs(line.c_str(), journal.out);
    std::fputc('\n', journal.out);
    std::fflush(journal.out);
}

std::string NextCopy(Journal& journal)
{
    return journal.path + "." + std::to_string(++journal.copies);
}

} // namespace

bool PowerCutJournalOn()
{
    return TheJournal().out != nullptr;
}

void JournalCut(const std::string& path, std::int64_t sizeBefore, std::int64_t sizeAfter)
{
    Journal& journal = TheJournal();
    if (journal.out == nullptr || sizeBefore <= sizeAfter)
        return;
    std::lock_guard guard(journal.lock);
    const std::string copy = NextCopy(journal);
    std::vector<char> bytes(static_cast<std::size_t>(sizeBefore - sizeAfter));
    UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    const ssize_t got =
        file ? ::pread(file.Get(), bytes.data(), bytes.size(), static_cast<off_t>(sizeAfter)) : -1;
    UniqueFd saved(::open(copy.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (saved && got > 0)
        (void)::write(saved.Get(), bytes.data(), static_cast<std::size_t>(got));
    Line(journal, "T " + path + "\t" + std::to_string(sizeBefore) + "\t" +
                      std::to_string(sizeAfter) + "\t" + copy);
}

void JournalRemove(const std::string& path)
{
    Journal& journal = TheJournal();
    if (journal.out == nullptr)
        return;
    std::lock_guard guard(journal.lock);
    const std::string copy = NextCopy(journal);
    if (::link(path.c_str(), copy.c_str()) == 0)
        Line(journal, "R " + path + "\t" + copy);
}

void JournalRename(const std::string& from, const std::string& to)
{
    Journal& journal = TheJournal();
    if (journal.out == nullptr)
        return;
    std::lock_guard guard(journal.lock);
    Line(journal, "M " + from + "\t" + to);
}

void JournalSync(const std::string& path)
{
    Journal& journal = TheJournal();
    if (journal.out == nullptr)
        return;
    std::lock_guard guard(journal.lock);
    Line(journal, "S " + path);
}

void JournalDirectorySync(const std::string& path)
{
    Journal& journal = TheJournal();
    if (journal.out == nullptr)
        return;
    std::lock_guard guard(journal.lock);
    Line(journal, "D " + path);
}

} // namespace tarvell
