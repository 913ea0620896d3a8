#pragma once
// Named points on the program's own road where a test can end the process at once (as a
// power cut or kill -9 would), hold the calling thread (as a hung disk or database would) or
// throw an exception in it (as memory running short would).
// Off unless the environment variable TARVELL_FAULT_POINT names a point when the process
// starts; then each pass costs one comparison. Any thread.
//
//   TARVELL_FAULT_POINT=<name>:<action>[:<pass>]
//     name    the point, as the code passes it (for example "chunk-bytes-written")
//     action  kill  the process ends by SIGKILL, nothing after the point runs
//             hold  the calling thread sleeps until the process ends
//             throw the calling thread gets a std::runtime_error "fault point <name>"
//     pass    the pass that acts, counting from 1 (default 1); earlier passes go on

#include <string_view>

namespace tarvell
{

// Acts as TARVELL_FAULT_POINT says when name is the point it names; otherwise returns at
// once.
void FaultPoint(std::string_view name);

} // namespace tarvell
