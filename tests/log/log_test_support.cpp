#include "log/log_test_support.h"

#include <filesystem>

namespace oru::test {

bool FileExists(const std::string& path)
{
    std::error_code ec;
    return std::filesystem::exists(path, ec);
}

void RemoveTree(const std::string& path)
{
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
}

}  // namespace oru::test
