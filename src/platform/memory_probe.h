#pragma once

// Reading memory that may not be there any more. A crash report reads what
// the game was doing from the library's own records (a log's recent lines,
// the profiler's open sections, the open streams), and the fault may have
// damaged them: a pointer in them may lead nowhere. The copy goes through
// the kernel, which reports an unmapped or unreadable address as an error
// instead of raising a fault in the reader.

#include <cstddef>

namespace oru::platform {

// Copies `size` bytes from `pSrc` to `pDst`; false, with `pDst` in an
// unspecified state, when any of the source cannot be read. Allocates
// nothing and takes no lock: safe in a fault handler.
bool CopyReadable(void* pDst, const void* pSrc, size_t size);

// True when all `size` bytes at `p` can be read at this moment.
bool IsReadable(const void* p, size_t size);

}  // namespace oru::platform
