#pragma once
// Move-only owner of a POSIX file descriptor (files and sockets). Any thread; one owner.

#include <utility>

namespace tarvell
{

class UniqueFd
{
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : m_fd(fd) {}
    ~UniqueFd() { Reset(); }

    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    UniqueFd(UniqueFd&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept
    {
        if (this != &other)
        {
            Reset();
            m_fd = std::exchange(other.m_fd, -1);
        }
        return *this;
    }

    int Get() const { return m_fd; }
    explicit operator bool() const { return m_fd >= 0; }

    // Gives up ownership without closing.
    int Release() { return std::exchange(m_fd, -1); }

    // Closes the descriptor now; returns false when close reported an error (for a file
    // just written, that can mean the data did not reach the disk).
    bool Close();

    void Reset(int fd = -1);

private:
    int m_fd = -1;
};

} // namespace tarvell
