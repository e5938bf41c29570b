#pragma once

// The "ORUGZIP1" form of a stored file: the magic, the content's length
// (32-bit little-endian) and one gzip member made by zlib.

#include <cstdint>
#include <vector>

namespace orupack {

// Fills `wrapped` and returns true when the wrapped form is smaller than
// `content`; false (with `wrapped` unspecified) when it is not, when the
// content is 4 GiB or more, or when zlib fails.
bool WrapCompressed(const std::vector<uint8_t>& content, std::vector<uint8_t>& wrapped);

}  // namespace orupack
