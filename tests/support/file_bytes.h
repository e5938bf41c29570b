#pragma once

// Whole files as byte strings, and reproducible bytes to fill them with.

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace oru::test {

// The file's bytes, as a string or a byte vector; empty when it cannot be read.
// What is left to read from `in`. Read in chunks rather than through
// istreambuf_iterator, which GCC 12 warns about at -Wnull-dereference.
template <typename TBytes = std::string>
TBytes ReadRest(std::istream& in)
{
    TBytes bytes;
    char chunk[65536];
    while (in.read(chunk, sizeof chunk) || in.gcount() > 0)
        bytes.insert(bytes.end(), chunk, chunk + in.gcount());
    return bytes;
}

template <typename TBytes = std::string>
TBytes Slurp(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return ReadRest<TBytes>(in);
}

// Writes `bytes` as the whole file, making its folders first. A failed write
// throws, which fails the test that asked.
inline void Spit(const std::filesystem::path& path, std::string_view bytes)
{
    if (path.has_parent_path())
        std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out)
        throw std::runtime_error("cannot write " + path.string());
}

inline void Spit(const std::filesystem::path& path, const std::vector<uint8_t>& bytes)
{
    Spit(path, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

// `count` bytes that do not compress, the same for the same seed, as a
// string or a byte vector.
template <typename TBytes = std::string>
TBytes Noise(size_t count, uint32_t seed)
{
    TBytes out(count, 0);
    for (size_t i = 0; i < count; ++i) {
        seed = seed * 1103515245u + 12345u;
        out[i] = static_cast<typename TBytes::value_type>(seed >> 16);
    }
    return out;
}

}  // namespace oru::test
