// How fatal signals become fault codes and names, and the alternate stack a
// thread of the library holds while it runs.

#include "platform/fault_codes.h"
#include "platform/fault_signals.h"
#include "signal_faults.h"

#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <thread>

namespace {

using namespace oru::platform;

siginfo_t SignalInfo(int signal, int code, void* pAddress = nullptr)
{
    siginfo_t info{};
    info.si_signo = signal;
    info.si_code = code;
    info.si_addr = pAddress;
    return info;
}

TEST(FaultCodes, EachSignalAndCauseHasItsCodeAndName)
{
    struct CCase {
        int m_nSignal;
        int m_nCode;
        uint32_t m_nFault;
        const char* m_pName;
    };
    const CCase cases[] = {
        {SIGSEGV, SEGV_MAPERR, FAULT_ACCESS_VIOLATION, "Access violation"},
        {SIGSEGV, SEGV_ACCERR, FAULT_ACCESS_VIOLATION, "Access violation"},
        {SIGBUS, BUS_ADRALN, FAULT_DATATYPE_MISALIGNMENT, "Datatype misalignment"},
        {SIGBUS, BUS_ADRERR, FAULT_IN_PAGE_ERROR, "In page error"},
        {SIGFPE, FPE_INTDIV, FAULT_INT_DIVIDE_BY_ZERO, "Int divide by zero"},
        {SIGFPE, FPE_INTOVF, FAULT_INT_OVERFLOW, "Int overflow"},
        {SIGFPE, FPE_FLTDIV, FAULT_FLOAT_DIVIDE_BY_ZERO, "Float divide by zero"},
        {SIGFPE, FPE_FLTOVF, FAULT_FLOAT_OVERFLOW, "Float overflow"},
        {SIGFPE, FPE_FLTUND, FAULT_FLOAT_UNDERFLOW, "Float underflow"},
        {SIGFPE, FPE_FLTRES, FAULT_FLOAT_INEXACT_RESULT, "Inexact result"},
        {SIGFPE, FPE_FLTINV, FAULT_FLOAT_INVALID_OPERATION, "Invalid operation"},
        {SIGFPE, FPE_FLTSUB, FAULT_ARRAY_BOUNDS_EXCEEDED, "Array bounds exceeded"},
        {SIGILL, ILL_ILLOPC, FAULT_ILLEGAL_INSTRUCTION, "Illegal instruction"},
        {SIGILL, ILL_PRVOPC, FAULT_PRIV_INSTRUCTION, "Priv instruction"},
        {SIGTRAP, SI_KERNEL, FAULT_BREAKPOINT, "Unknown Exception"},
        {SIGTRAP, TRAP_BRKPT, FAULT_BREAKPOINT, "Unknown Exception"},
        {SIGTRAP, TRAP_TRACE, FAULT_SINGLE_STEP, "Single step"},
        {SIGABRT, SI_TKILL, FAULT_ABORT, "Unknown Exception"},
    };
    for (const CCase& c : cases) {
        SCOPED_TRACE(std::to_string(c.m_nSignal) + "/" + std::to_string(c.m_nCode));
        const siginfo_t info = SignalInfo(c.m_nSignal, c.m_nCode, reinterpret_cast<void*>(8));
        const uint32_t fault = FaultCodeOfSignal(c.m_nSignal, &info, nullptr);
        EXPECT_EQ(fault, c.m_nFault);
        EXPECT_STREQ(FaultName(fault), c.m_pName);
    }
    EXPECT_STREQ(FaultName(0xC00000FDu), "Stack overflow");
    EXPECT_STREQ(FaultName(0xE0000000u), "Unknown Exception");
}

// A SIGSEGV just below the stack pointer is the stack growing into its
// guard; one far away is an ordinary invalid access, and so is a SIGSEGV
// that another process sent.
TEST(FaultCodes, AFaultNextToTheStackPointerIsAStackOverflow)
{
    ucontext_t context{};
    char local = 0;
    const auto sp = reinterpret_cast<uintptr_t>(&local);
    context.uc_mcontext.gregs[REG_RSP] = static_cast<greg_t>(sp);

    const siginfo_t below = SignalInfo(SIGSEGV, SEGV_MAPERR, reinterpret_cast<void*>(sp - 64));
    EXPECT_EQ(FaultCodeOfSignal(SIGSEGV, &below, &context), FAULT_STACK_OVERFLOW);
    const siginfo_t far = SignalInfo(SIGSEGV, SEGV_MAPERR, reinterpret_cast<void*>(16));
    EXPECT_EQ(FaultCodeOfSignal(SIGSEGV, &far, &context), FAULT_ACCESS_VIOLATION);
    const siginfo_t sent = SignalInfo(SIGSEGV, SI_USER, reinterpret_cast<void*>(sp - 64));
    EXPECT_EQ(FaultCodeOfSignal(SIGSEGV, &sent, &context), FAULT_ACCESS_VIOLATION);
}

// The worker thread's stack: installed for the object's life, and a smaller
// stack the thread had before is put back afterwards.
TEST(ThreadAltStack, ReplacesASmallStackAndPutsItBack)
{
    std::thread([] {
        static char s_small[64 * 1024];
        stack_t small{};
        small.ss_sp = s_small;
        small.ss_size = sizeof s_small;
        ASSERT_EQ(sigaltstack(&small, nullptr), 0);
        {
            CThreadAltStack altStack;
            EXPECT_TRUE(altStack.IsInstalled());
            stack_t current{};
            sigaltstack(nullptr, &current);
            EXPECT_NE(current.ss_sp, s_small);
            EXPECT_GE(current.ss_size, 256u * 1024);

            CThreadAltStack nested;
            EXPECT_FALSE(nested.IsInstalled()) << "a large stack is kept as it is";
        }
        stack_t after{};
        sigaltstack(nullptr, &after);
        EXPECT_EQ(after.ss_sp, s_small);
        stack_t off{};
        off.ss_flags = SS_DISABLE;
        sigaltstack(&off, nullptr);
    }).join();
}

}  // namespace
