#pragma once

// The fault codes a crash report is made for, each with the name its heading
// gives it. FaultCodeOfSignal turns a fatal signal into one of them and the
// crash report names it, so both read this one table. The library's own two
// codes, ORU_FAULT_GENERAL_ERROR and ORU_FAULT_ASSERTION_FAILURE, belong to
// the public interface (<oru/log/exception_handler.h>); their reports have
// headings of their own and no name here.

#include <cstdint>

namespace oru::platform {

constexpr uint32_t FAULT_DATATYPE_MISALIGNMENT = 0x80000002u;
constexpr uint32_t FAULT_BREAKPOINT = 0x80000003u;
constexpr uint32_t FAULT_SINGLE_STEP = 0x80000004u;
constexpr uint32_t FAULT_ACCESS_VIOLATION = 0xC0000005u;
constexpr uint32_t FAULT_IN_PAGE_ERROR = 0xC0000006u;
constexpr uint32_t FAULT_ILLEGAL_INSTRUCTION = 0xC000001Du;
constexpr uint32_t FAULT_NONCONTINUABLE_EXCEPTION = 0xC0000025u;
constexpr uint32_t FAULT_INVALID_DISPOSITION = 0xC0000026u;
constexpr uint32_t FAULT_ARRAY_BOUNDS_EXCEEDED = 0xC000008Cu;
constexpr uint32_t FAULT_FLOAT_DENORMAL_OPERAND = 0xC000008Du;
constexpr uint32_t FAULT_FLOAT_DIVIDE_BY_ZERO = 0xC000008Eu;
constexpr uint32_t FAULT_FLOAT_INEXACT_RESULT = 0xC000008Fu;
constexpr uint32_t FAULT_FLOAT_INVALID_OPERATION = 0xC0000090u;
constexpr uint32_t FAULT_FLOAT_OVERFLOW = 0xC0000091u;
constexpr uint32_t FAULT_FLOAT_STACK_CHECK = 0xC0000092u;
constexpr uint32_t FAULT_FLOAT_UNDERFLOW = 0xC0000093u;
constexpr uint32_t FAULT_INT_DIVIDE_BY_ZERO = 0xC0000094u;
constexpr uint32_t FAULT_INT_OVERFLOW = 0xC0000095u;
constexpr uint32_t FAULT_PRIV_INSTRUCTION = 0xC0000096u;
constexpr uint32_t FAULT_STACK_OVERFLOW = 0xC00000FDu;
constexpr uint32_t FAULT_ABORT = 0x40000015u;  // abort(), a fatal application exit

struct CFaultName {
    uint32_t m_nCode;
    const char* m_pName;
};

// A breakpoint and an abort have no name: their reports read
// "Unknown Exception".
inline constexpr CFaultName FAULT_NAMES[] = {
    {FAULT_DATATYPE_MISALIGNMENT, "Datatype misalignment"},
    {FAULT_SINGLE_STEP, "Single step"},
    {FAULT_ACCESS_VIOLATION, "Access violation"},
    {FAULT_IN_PAGE_ERROR, "In page error"},
    {FAULT_ILLEGAL_INSTRUCTION, "Illegal instruction"},
    {FAULT_NONCONTINUABLE_EXCEPTION, "Noncontinuable exception"},
    {FAULT_INVALID_DISPOSITION, "Invalid disposition"},
    {FAULT_ARRAY_BOUNDS_EXCEEDED, "Array bounds exceeded"},
    {FAULT_FLOAT_DENORMAL_OPERAND, "Float denormal operand"},
    {FAULT_FLOAT_DIVIDE_BY_ZERO, "Float divide by zero"},
    {FAULT_FLOAT_INEXACT_RESULT, "Inexact result"},
    {FAULT_FLOAT_INVALID_OPERATION, "Invalid operation"},
    {FAULT_FLOAT_OVERFLOW, "Float overflow"},
    {FAULT_FLOAT_STACK_CHECK, "Float stack check"},
    {FAULT_FLOAT_UNDERFLOW, "Float underflow"},
    {FAULT_INT_DIVIDE_BY_ZERO, "Int divide by zero"},
    {FAULT_INT_OVERFLOW, "Int overflow"},
    {FAULT_PRIV_INSTRUCTION, "Priv instruction"},
    {FAULT_STACK_OVERFLOW, "Stack overflow"},
};

// The name of `code` in a report's heading; "Unknown Exception" for a code
// without one. Allocates nothing: it runs inside the crash handler.
constexpr const char* FaultName(uint32_t code)
{
    for (const CFaultName& entry : FAULT_NAMES) {
        if (entry.m_nCode == code)
            return entry.m_pName;
    }
    return "Unknown Exception";
}

}  // namespace oru::platform
