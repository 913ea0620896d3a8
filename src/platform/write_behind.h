#pragma once
// Bytes appended to a held data file, kept back and written in large pieces that end on a
// page-cache boundary. A backfill appends chunks of 19 600 bytes to each file dozens of times
// between two commits, and the kernel's cost of a write is mostly per call and per page-cache
// folio: 19 600 bytes at an odd offset cost it more than twice per byte what 256 KiB ending on
// a 64 KiB boundary do. What is kept back is written before the file is synced (WriteOut),
// and dropped with its chunks when they are taken back (the file is cut to before them then).
// Bounded for the whole process: beyond the bound the caller writes its bytes itself. Any
// thread; one owner at a time.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/bounded_share.h"

namespace tarvell
{

enum class KeepResult
{
    Kept,    // the bytes are kept, or written through already
    NotKept, // nothing kept (the process's bound is reached): the caller writes them
    Failed,  // a write of kept bytes failed (Failure()): these bytes are lost with them
};

class CWriteBehind
{
public:
    // How much is kept before a write, and the boundary a write ends on.
    static constexpr std::size_t kKeptBytes = 262144;
    static constexpr std::int64_t kBoundary = 65536;

    // Keeps size bytes that belong at offset of the file fd: where the kept bytes end, or
    // anywhere when none are kept. Once kKeptBytes are kept, what reaches the last boundary
    // is written through fd. After a failure nothing more is kept or written (Failed).
    [[nodiscard]] KeepResult Keep(int fd, std::int64_t offset, const void* bytes, std::size_t size);

    // Writes everything kept through fd. Returns 0, or the errno of this or an earlier
    // failure; a failed write leaves the file cut back to before the kept bytes.
    [[nodiscard]] int WriteOut(int fd);

    // Drops what is kept (its chunks are taken back, or its file is not this program's any
    // more) without writing it; failed is the errno WriteOut reports from now on (0: none).
    void Drop(int failed);

    // Frees the buffer when nothing was kept since the last call: a file that is written a
    // chunk per commit (in real time) does not hold memory it never uses.
    void ReleaseIfIdle();

    std::size_t KeptBytes() const { return m_kept.size(); }
    int Failure() const { return m_failure; }

private:
    [[nodiscard]] bool WriteThrough(int fd, std::size_t count);
    void Release();

    std::vector<unsigned char> m_kept;
    std::int64_t m_offset = 0; // of m_kept's first byte in the file
    int m_failure = 0;
    CBoundedShare m_share; // of the process's bound, while a buffer is kept
    bool m_used = false;   // something kept since ReleaseIfIdle
};

} // namespace tarvell
