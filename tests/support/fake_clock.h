#pragma once

// Clocks the test sets by hand, installed for the lifetime of one object in
// place of the system's. Every reading returns the value last set, so two
// readings without a change fall inside the same instant. Readings may come
// from any thread.

#include "platform/clock.h"

#include <atomic>
#include <cstdint>
#include <mutex>

namespace oru::test {

class CFakeClock final : public oru::platform::IClocks {
public:
    explicit CFakeClock(const oru::platform::CLocalTime& now = {2026, 12, 6, 0, 0, 0})
        : m_LocalTime(now)
    {
        oru::platform::SetClocks(this);
    }
    ~CFakeClock() override { oru::platform::SetClocks(nullptr); }
    CFakeClock(const CFakeClock&) = delete;
    CFakeClock& operator=(const CFakeClock&) = delete;

    void SetMilliseconds(uint32_t value) { m_nMilliseconds = value; }
    void AdvanceMilliseconds(uint32_t delta) { m_nMilliseconds += delta; }
    void SetCounter(int64_t value) { m_nCounter = value; }
    void AdvanceCounter(int64_t delta) { m_nCounter += delta; }
    void SetFrequency(int64_t value) { m_nFrequency = value; }
    void SetLocalTime(const oru::platform::CLocalTime& now)
    {
        std::lock_guard<std::mutex> lock(m_csLocalTime);
        m_LocalTime = now;
    }

    uint32_t Milliseconds() const override { return m_nMilliseconds; }
    int64_t Counter() const override { return m_nCounter; }
    int64_t Frequency() const override { return m_nFrequency; }
    oru::platform::CLocalTime LocalTime() const override
    {
        std::lock_guard<std::mutex> lock(m_csLocalTime);
        return m_LocalTime;
    }

private:
    std::atomic<uint32_t> m_nMilliseconds{0};
    std::atomic<int64_t> m_nCounter{0};
    std::atomic<int64_t> m_nFrequency{1000000};  // one count per microsecond
    mutable std::mutex m_csLocalTime;
    oru::platform::CLocalTime m_LocalTime;
};

}  // namespace oru::test
