#pragma once

// Sets an environment variable for one scope and restores it after. The
// debug channel reads its setting once, so it is told to read it again.

#include "platform/debug_channel.h"
#include "support/system.h"

#include <cstdlib>
#include <string>

namespace oru::test {

class CScopedEnv {
public:
    CScopedEnv(const char* name, const char* value) : m_name(name)
    {
        const char* old = std::getenv(name);
        m_bHad = old != nullptr;
        if (old)
            m_old = old;
        SetEnvironmentValue(name, value);
        oru::platform::ReloadDebugChannelSetting();
    }
    ~CScopedEnv()
    {
        SetEnvironmentValue(m_name.c_str(), m_bHad ? m_old.c_str() : nullptr);
        oru::platform::ReloadDebugChannelSetting();
    }
    CScopedEnv(const CScopedEnv&) = delete;
    CScopedEnv& operator=(const CScopedEnv&) = delete;

private:
    std::string m_name;
    std::string m_old;
    bool m_bHad = false;
};

}  // namespace oru::test
