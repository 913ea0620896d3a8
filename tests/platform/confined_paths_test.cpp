#include "platform/confined_paths.h"

#include <cerrno>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <fcntl.h>
#include <gtest/gtest.h>

#include "platform/file_system.h"
#include "support/sandbox.h"

namespace tarvell
{
namespace
{

// Below the data root nothing goes through a symbolic link: an hour directory or a data file
// that someone replaced by a link to elsewhere is refused (ELOOP), so nothing outside the
// root is ever made, written, cut or removed, even by a program running as root.
TEST(ConfinedPaths, NothingBelowTheDataRootFollowsASymbolicLink)
{
    test::Sandbox sandbox;
    namespace fs = std::filesystem;
    const std::string outside = sandbox.File("outside");
    fs::create_directories(outside);
    const std::string target = sandbox.Write("outside/precious", std::string(4096, 'p'));
    // The data root itself may be a link (an operator's choice of disk).
    fs::create_directories(sandbox.File("disk/data/ABC/13"));
    fs::create_directory_symlink(sandbox.File("disk/data"), sandbox.File("data"));
    const std::string root = sandbox.File("data");
    fs::create_directory_symlink(outside, root + "/ABC/14");
    fs::create_symlink(target, root + "/ABC/13/07122026-130455-BHZ.ABC");
    SetConfinedDirectory(root);

    const std::string hourLink = root + "/ABC/14/07122026-140000-BHZ.ABC";
    const std::string fileLink = root + "/ABC/13/07122026-130455-BHZ.ABC";
    struct Case
    {
        const char* what;
        std::function<bool()> call;
        int error;
    };
    const Case cases[] = {
        {"a file made in a linked hour directory",
         [&] { return static_cast<bool>(OpenFile(hourLink, O_WRONLY | O_CREAT | O_EXCL, 0666)); },
         ELOOP},
        {"a directory made in one", [&] { return MakeDirectory(root + "/ABC/14/x"); }, ELOOP},
        {"a linked data file appended to",
         [&] { return static_cast<bool>(OpenFile(fileLink, O_WRONLY)); }, ELOOP},
        {"a linked data file cut back by the start-up repair",
         [&] { return CutFileDurably(fileLink, 512); }, ELOOP},
        {"a linked data file synced", [&] { return SyncFile(fileLink); }, ELOOP},
        {"a linked data file's size", [&] { return FileSizeAt(fileLink) >= 0; }, ELOOP},
        {"a path out of the root", [&] { return MakeDirectory(root + "/ABC/../../escape"); },
         EXDEV},
    };
    for (const Case& c : cases)
    {
        errno = 0;
        EXPECT_FALSE(c.call()) << c.what;
        EXPECT_EQ(errno, c.error) << c.what;
    }
    EXPECT_EQ(fs::file_size(target), 4096u);
    EXPECT_FALSE(fs::exists(outside + "/07122026-140000-BHZ.ABC"));
    EXPECT_FALSE(fs::exists(outside + "/x"));
    EXPECT_FALSE(fs::exists(sandbox.File("escape")));

    // A real file below the root works as before, and removing a link removes the link only.
    EXPECT_TRUE(MakeDirectory(root + "/ABC/13"));
    EXPECT_TRUE(CreateFilledFile(root + "/ABC/13/real.ABC", 600, '0'));
    EXPECT_TRUE(CutFileDurably(root + "/ABC/13/real.ABC", 512));
    EXPECT_EQ(FileSizeAt(root + "/ABC/13/real.ABC"), 512);
    // Files synced together (one file system sync) each answer for themselves; a file synced
    // through a descriptor held since before someone removed it is gone too.
    EXPECT_TRUE(CreateFilledFile(root + "/ABC/13/removed.ABC", 600, '0'));
    UniqueFd held = OpenFile(root + "/ABC/13/removed.ABC", O_WRONLY);
    EXPECT_TRUE(RemoveFile(root + "/ABC/13/removed.ABC"));
    EXPECT_EQ(SyncFilesTogether({{fileLink},
                                 {root + "/ABC/13/real.ABC"},
                                 {root + "/ABC/13/gone.ABC"},
                                 {root + "/ABC/13/removed.ABC", held.Get()}}),
              (std::vector<int>{ELOOP, 0, ENOENT, ENOENT}));
    EXPECT_TRUE(RemoveFileDurably(fileLink));
    EXPECT_EQ(fs::file_size(target), 4096u);
    SetConfinedDirectory("");
}

} // namespace
} // namespace tarvell
