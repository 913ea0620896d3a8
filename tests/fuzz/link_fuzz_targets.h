#pragma once
// The server link's fuzz entry points: each takes arbitrary bytes as something a server
// sent. Called by the libFuzzer drivers and by the replay test of the corpus. One thread.

#include <cstddef>
#include <cstdint>

namespace tarvell::fuzz
{

// The bytes as a configuration body.
int FuzzDecodeConfig(const std::uint8_t* data, std::size_t size);

// The bytes as a packet body, decoded against a fixed configuration whose channels have
// word sizes 4, 2 and 3 and both byte orders; decoded packets are converted.
int FuzzDecodePacket(const std::uint8_t* data, std::size_t size);

// The bytes as everything a server sends on a connection after the request: framed
// configuration, packets, breaks and statuses, read through the socket code.
int FuzzLinkStream(const std::uint8_t* data, std::size_t size);

} // namespace tarvell::fuzz
