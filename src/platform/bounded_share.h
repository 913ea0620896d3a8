#pragma once
// One share of a bound the whole process keeps (held descriptors, write-behind buffers):
// taken only while fewer than the bound are out, given back when its owner lets it go. Any
// thread; one owner at a time.

#include <atomic>
#include <cstdint>
#include <utility>

namespace tarvell
{

class CBoundedShare
{
public:
    CBoundedShare() = default;
    ~CBoundedShare() { Return(); }
    CBoundedShare(CBoundedShare&& other) noexcept : m_count(std::exchange(other.m_count, nullptr))
    {
    }
    CBoundedShare& operator=(CBoundedShare&& other) noexcept
    {
        if (this != &other)
        {
            Return();
            m_count = std::exchange(other.m_count, nullptr);
        }
        return *this;
    }
    CBoundedShare(const CBoundedShare&) = delete;
    CBoundedShare& operator=(const CBoundedShare&) = delete;

    // A share of count when fewer than bound are taken; an empty one otherwise.
    static CBoundedShare Take(std::atomic<std::uint64_t>& count, std::uint64_t bound)
    {
        std::uint64_t taken = count.load(std::memory_order_relaxed);
        do
        {
            if (taken >= bound)
                return {};
        } while (!count.compare_exchange_weak(taken, taken + 1, std::memory_order_relaxed));
        CBoundedShare share;
        share.m_count = &count;
        return share;
    }

    explicit operator bool() const { return m_count != nullptr; }

private:
    void Return()
    {
        if (m_count != nullptr)
            m_count->fetch_sub(1, std::memory_order_relaxed);
        m_count = nullptr;
    }

    std::atomic<std::uint64_t>* m_count = nullptr;
};

} // namespace tarvell
