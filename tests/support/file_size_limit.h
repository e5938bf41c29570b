#pragma once

// A full disk, simulated. On Linux `body` runs in a child process whose
// files may not grow past a limit: a write past it fails (EFBIG) as on a
// full disk, instead of the child being killed by SIGXFSZ. Windows has no
// such limit; there `body` runs in this process and the first file write
// after it calls DiskFullFromHere() fails, through the platform layer's
// fault points, as a full disk would. Each body therefore calls
// DiskFullFromHere() where the disk may fill up: at its start, or after the
// steps that must still fit.

#include <cstdint>
#include <functional>

namespace oru::test {

// Runs `body` with files that may not grow past `limit` bytes; true when it
// returned true.
bool InChildWithFileSizeLimit(uint64_t limit, const std::function<bool()>& body);

// See above: where the limit stands in for a write that fails.
void DiskFullFromHere();

}  // namespace oru::test
