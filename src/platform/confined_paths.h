#pragma once
// The directory below which no symbolic link is ever followed: the data root. Everything the
// program makes, writes, cuts, removes or renames below it is reached from it one step at a
// time, each step opened without following a symbolic link, so a station directory, an hour
// directory or a data file replaced by a link can never lead a write, a cut or a removal
// outside it, even for a program running as root. The directory itself may be a link (an
// operator's choice of disk). Any thread; set at start-up (and by tests).

#include <string>

#include "platform/unique_fd.h"

namespace tarvell
{

// The confined directory; empty: none.
void SetConfinedDirectory(const std::string& path);

// A path as the *at calls take it: the directory that holds its last step, and that step.
struct PathAt
{
    UniqueFd directory; // below the confined directory: opened from it; else none (the cwd)
    std::string name;   // the last step; the whole path when not confined
    bool confined = false;

    int Directory() const;
    // O_NOFOLLOW for a confined path: its last step must not be a link either.
    int NoFollow() const;
};

// Splits path for the *at calls. False with errno set when it lies below the confined
// directory and cannot be reached without following a link (ELOOP), or leads out of it by a
// ".." step (EXDEV), or a step is missing (ENOENT) or no directory (ENOTDIR).
bool ResolvePath(const std::string& path, PathAt* at);

// Opens path as open(2) does, but below the confined directory as ResolvePath reaches it:
// no link followed at any step (ELOOP), no way out (EXDEV). Where the kernel can (openat2),
// the whole walk is one system call instead of one per step: a chunk's file is opened for
// every chunk written.
UniqueFd OpenConfined(const std::string& path, int flags, unsigned mode);

} // namespace tarvell
