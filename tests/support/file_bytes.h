#pragma once

// Whole files as byte strings, and reproducible bytes to fill them with.

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace oru::test {

// The file's bytes; empty when it cannot be read.
inline std::string Slurp(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Writes `bytes` as the whole file, making its folders first.
inline void Spit(const std::filesystem::path& path, const std::string& bytes)
{
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
}

// `count` bytes that do not compress, the same for the same seed.
inline std::string Noise(size_t count, uint32_t seed)
{
    std::string out(count, '\0');
    for (size_t i = 0; i < count; ++i) {
        seed = seed * 1103515245u + 12345u;
        out[i] = static_cast<char>(seed >> 16);
    }
    return out;
}

}  // namespace oru::test
