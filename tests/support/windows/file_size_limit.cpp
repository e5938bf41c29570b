#include "support/file_size_limit.h"

#include "platform/fault_points.h"

namespace oru::test {

bool InChildWithFileSizeLimit(uint64_t, const std::function<bool()>& body)
{
    using oru::platform::eFaultAction;
    const bool result = body();
    oru::platform::ArmFaultPoint(0, eFaultAction::FAIL);
    return result;
}

void DiskFullFromHere()
{
    oru::platform::ArmFaultPoint(1, oru::platform::eFaultAction::FAIL);
}

}  // namespace oru::test
