#pragma once
// This instance's lease of one server link, as the fleet (app/fleet.h) holds it in the KDX
// database: the instance's name, the fencing number it took the lease with, and until when
// the lease is surely still its own. The acquisition writes a link's bytes only while the
// lease is fresh, and commits its rows only in a transaction that finds the same owner and
// fencing number in the lease row. Any thread.

#include <atomic>
#include <cstdint>
#include <string>
#include <utility>

#include "platform/clock.h"

namespace tarvell
{

class CLinkLease
{
public:
    CLinkLease(std::string linkName, std::string ownerName, std::int64_t fencingNumber)
        : link(std::move(linkName)), owner(std::move(ownerName)), fence(fencingNumber)
    {
    }

    // True while the last renewal is recent enough that no other instance can have taken the
    // lease: bytes of the link may be written.
    bool Fresh() const { return BootClockMs() < m_freshUntil.load(std::memory_order_acquire); }

    // A renewal that began at startedMs (BootClockMs) succeeded: the lease stays fresh until
    // startedMs + freshForMs. Never moves the limit back.
    void Renewed(std::int64_t startedMs, std::int64_t freshForMs)
    {
        const std::int64_t until = startedMs + freshForMs;
        std::int64_t now = m_freshUntil.load(std::memory_order_relaxed);
        while (until > now && !m_freshUntil.compare_exchange_weak(now, until))
        {
        }
    }

    // The lease is no longer this instance's: nothing more is written under it.
    void Lost() { m_freshUntil.store(0, std::memory_order_release); }

    const std::string link;  // "host:port", the host in lower case
    const std::string owner; // this instance's name
    const std::int64_t fence;

private:
    std::atomic<std::int64_t> m_freshUntil{0};
};

} // namespace tarvell
