#pragma once
// What the process allows itself and others: how many descriptors it may hold, and whether
// its memory (the database password, the status token) may end up in a core file or be read
// by another process of the same user. Main thread, at start-up before other threads start
// (the queries: any thread).

#include <cstdint>

namespace tarvell
{

struct DescriptorLimit
{
    std::uint64_t soft = 0;   // what the process may hold now
    std::uint64_t hard = 0;   // what it may raise itself to
    std::uint64_t before = 0; // the soft limit it started with
};

// Raises the soft limit of open descriptors to the hard limit: the server links, the data
// files, the database and the event log must never run short because a service manager
// started the program with a low soft limit (1024 is usual). Returns the limits; with the
// limits unreadable, all are 0.
DescriptorLimit RaiseDescriptorLimit();

// The soft limit of open descriptors now (0 when it cannot be read).
std::uint64_t DescriptorSoftLimit();

// Bounds the allocator's arenas to two, unless MALLOC_ARENA_MAX says otherwise. Each link
// thread fills its channels' buffers (19.6 KiB each, grown by doubling), and with up to 16
// arenas on two cores their freed steps stay scattered: at 36 864 channels 1037 MiB resident
// against 910 MiB with two arenas, for the same CPU. Before other threads start.
void BoundAllocatorArenas();

// Makes the process not dumpable and its core-file size 0: a crash writes no core file,
// and other processes of the same user cannot read its memory. Returns false when the
// kernel refused either.
bool ForbidCoreDumps();

// True while the process is dumpable (core files possible).
bool CoreDumpsAllowed();

} // namespace tarvell
