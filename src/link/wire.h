#pragma once
// Big-endian field access for the transfer protocol's messages. Any thread.
//
// Every wire integer of the protocol is big-endian; fields are read and written byte by byte
// so that no record is ever laid over a buffer and alignment never matters.

#include <cstdint>

namespace tarvell
{

inline std::uint16_t ReadBE16(const unsigned char* p)
{
    return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}

inline std::uint32_t ReadBE32(const unsigned char* p)
{
    return (static_cast<std::uint32_t>(p[0]) << 24) | (static_cast<std::uint32_t>(p[1]) << 16) |
           (static_cast<std::uint32_t>(p[2]) << 8) | static_cast<std::uint32_t>(p[3]);
}

// A 32-bit field read as a signed value (two's complement).
inline std::int32_t ReadBE32Signed(const unsigned char* p)
{
    return static_cast<std::int32_t>(ReadBE32(p));
}

inline void WriteBE16(unsigned char* p, std::uint16_t value)
{
    p[0] = static_cast<unsigned char>(value >> 8);
    p[1] = static_cast<unsigned char>(value);
}

inline void WriteBE32(unsigned char* p, std::uint32_t value)
{
    p[0] = static_cast<unsigned char>(value >> 24);
    p[1] = static_cast<unsigned char>(value >> 16);
    p[2] = static_cast<unsigned char>(value >> 8);
    p[3] = static_cast<unsigned char>(value);
}

} // namespace tarvell
