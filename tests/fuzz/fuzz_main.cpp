// The libFuzzer driver of one entry point, chosen by TARVELL_FUZZ_ENTRY at compile time.

#include "link_fuzz_targets.h"
#include "status_fuzz_targets.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    return tarvell::fuzz::TARVELL_FUZZ_ENTRY(data, size);
}
