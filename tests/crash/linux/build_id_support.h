#pragma once

#include <string>

namespace oru::test {

// The GNU build ID of an ELF file in hexadecimal, as binutils (readelf -n)
// read it; empty when it has none.
std::string ReadBuildId(const std::string& path);

}  // namespace oru::test
