#pragma once
// The on-disk form of samples. Any thread.

namespace tarvell
{

// Writes count samples as IEEE 754 single-precision values in little-endian byte order,
// 4 bytes each, to out.
void EncodeSamples(const float* samples, int count, unsigned char* out);

} // namespace tarvell
