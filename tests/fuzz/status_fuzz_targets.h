#pragma once
// The fuzz entry point of what tarvell --status reads from a status server. Called by its
// libFuzzer driver and by the replay test of the corpus. One thread.

#include <cstddef>
#include <cstdint>

namespace tarvell::fuzz
{

// The bytes as the body of an answer to /status.
int FuzzStatusAnswer(const std::uint8_t* data, std::size_t size);

} // namespace tarvell::fuzz
