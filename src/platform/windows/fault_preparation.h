#pragma once

// What the fault handlers' installation prepares ahead of any fault, so that
// a report made later reads it instead of asking the system at a time when
// the fault may have left one of its locks held.

namespace oru::platform {

// Reads what does not change while the process runs: the system's name and
// version, the processor (system_info.cpp). Thread-safe; only the first call
// does anything.
void PrepareSystemSummary();

}  // namespace oru::platform
