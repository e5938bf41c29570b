#pragma once

// The part of the root property tables that is filled while the library
// loads (the names and words 1 to 3 are constant data). Called once, from the
// module's start-up sequence, before any client code runs.

namespace oru::detail {

void InitRootPropertyLists();

}  // namespace oru::detail
