#pragma once

// What the debug channel received since a point in a test. CTest points the
// channel at a file of each test's own (ORU_DEBUG_OUTPUT); without that
// variable nothing is recorded and Text() stays empty.

#include "support/file_bytes.h"

#include <cstdlib>
#include <string>

namespace oru::test {

class CDebugChannelTail {
public:
    CDebugChannelTail() : m_strPath(ChannelPath()), m_nStart(Slurp(m_strPath).size()) {}

    std::string Text() const
    {
        const std::string all = Slurp(m_strPath);
        return all.size() > m_nStart ? all.substr(m_nStart) : std::string();
    }

private:
    static std::string ChannelPath()
    {
        const char* path = getenv("ORU_DEBUG_OUTPUT");
        return path ? path : "";
    }

    std::string m_strPath;
    size_t m_nStart;
};

}  // namespace oru::test
