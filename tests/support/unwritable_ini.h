#pragma once
// Makes every rewrite of an INI file fail, even for root, while the object lives: the file
// moves to a name so long that no temporary file fits beside it, and its path becomes a
// symbolic link to it (the profile functions read and write through links). The file moves
// back when the object goes. Main test thread only.

#include <string>

#include <gtest/gtest.h>
#include <stdio.h>
#include <unistd.h>

namespace tarvell::test
{

class UnwritableIni
{
public:
    explicit UnwritableIni(std::string path)
        : m_path(std::move(path)),
          m_moved(m_path.substr(0, m_path.rfind('/') + 1) + std::string(250, 'x') + ".ini")
    {
        EXPECT_EQ(::rename(m_path.c_str(), m_moved.c_str()), 0);
        EXPECT_EQ(::symlink(m_moved.c_str(), m_path.c_str()), 0);
    }
    ~UnwritableIni() { EXPECT_EQ(::rename(m_moved.c_str(), m_path.c_str()), 0); }
    UnwritableIni(const UnwritableIni&) = delete;
    UnwritableIni& operator=(const UnwritableIni&) = delete;

private:
    std::string m_path;
    std::string m_moved;
};

} // namespace tarvell::test
