#include "status_fuzz_targets.h"

#include <string>

#include "status/status_answer.h"

namespace tarvell::fuzz
{

int FuzzStatusAnswer(const std::uint8_t* data, std::size_t size)
{
    StatusAnswer answer;
    std::string problem;
    const bool read =
        ReadStatusAnswer(std::string(reinterpret_cast<const char*>(data), size), &answer, &problem);
    // Either an answer or a reason, never both and never neither.
    if (read == problem.empty())
        return 0;
    __builtin_trap();
}

} // namespace tarvell::fuzz
