#include "platform/fault_signals.h"

#include "platform/clock.h"
#include "descriptor.h"
#include "platform/thread_id.h"
#include "signal_faults.h"

#include <atomic>
#include <ctime>
#include <cstddef>
#include <cstring>
#include <pthread.h>
#include <sys/mman.h>
#include <string_view>
#include <ucontext.h>
#include <unistd.h>

namespace oru::platform {
namespace {

constexpr int FATAL_SIGNALS[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT};

// The handler walks the stack and reads debug information on this stack, so
// it is far larger than MINSIGSTKSZ. The pages are reserved, not committed:
// a thread that never faults costs address space only.
constexpr size_t ALT_STACK_BYTES = 512 * 1024;

// How far below the stack pointer a faulting access still counts as the
// stack growing into its guard: a call, a push, or a large local array.
constexpr uintptr_t NEAR_STACK_POINTER_BELOW = 64 * 1024;
constexpr uintptr_t NEAR_STACK_POINTER_ABOVE = 256;

// The kernel keeps this gap below a growing stack (stack_guard_gap).
constexpr uintptr_t STACK_GUARD_GAP = 1024 * 1024;

std::atomic<FatalFaultSink> s_pfnSink{nullptr};


std::atomic<int> s_nWatchdogSignal{SIGABRT};
std::atomic<void (*)()> s_pfnWatchdogExpiry{nullptr};

size_t PageSize()
{
    const long size = sysconf(_SC_PAGESIZE);
    return size > 0 ? static_cast<size_t>(size) : 4096;
}

uintptr_t StackPointerOf(const void* pContext)
{
    if (!pContext)
        return 0;
    const auto* pUc = static_cast<const ucontext_t*>(pContext);
    return static_cast<uintptr_t>(pUc->uc_mcontext.gregs[REG_RSP]);
}

// Where the guard below a thread's stack lies, learnt when the thread gets
// its alternate stack: pthread_getattr_np allocates (and reads a file for
// the main thread), which a fault handler must not do. Kept in a fixed table
// keyed by the kernel's thread id rather than in thread-local storage, whose
// first use on a thread may allocate; a slot is claimed by a
// compare-exchange and only ever read by its own thread, so the handler
// reads it without a lock. Threads beyond the table are judged by the stack
// pointer alone.
struct CStackGuardSlot {
    std::atomic<long> m_nThread{0};  // 0: free
    uintptr_t m_nFrom = 0;
    uintptr_t m_nTo = 0;
};
constexpr size_t STACK_GUARD_SLOTS = 256;
CStackGuardSlot s_stackGuards[STACK_GUARD_SLOTS];

CStackGuardSlot* StackGuardSlotOf(long thread)
{
    for (CStackGuardSlot& slot : s_stackGuards) {
        if (slot.m_nThread.load() == thread)
            return &slot;
    }
    return nullptr;
}

// Records the guard below the calling thread's stack and the kernel's gap
// below it.
void RecordStackGuard()
{
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0)
        return;
    void* pLow = nullptr;
    size_t size = 0;
    size_t guard = 0;
    const bool bKnown = pthread_attr_getstack(&attr, &pLow, &size) == 0 &&
                        pthread_attr_getguardsize(&attr, &guard) == 0;
    pthread_attr_destroy(&attr);
    if (!bKnown)
        return;
    const long self = CurrentThreadId();
    CStackGuardSlot* pSlot = StackGuardSlotOf(self);
    for (size_t i = 0; !pSlot && i < STACK_GUARD_SLOTS; ++i) {
        long none = 0;
        if (s_stackGuards[i].m_nThread.compare_exchange_strong(none, self))
            pSlot = &s_stackGuards[i];
    }
    if (!pSlot)
        return;
    const auto low = reinterpret_cast<uintptr_t>(pLow);
    pSlot->m_nFrom = low > STACK_GUARD_GAP ? low - STACK_GUARD_GAP : 0;
    pSlot->m_nTo = low + guard + PageSize();
}

void ForgetStackGuard()
{
    if (CStackGuardSlot* pSlot = StackGuardSlotOf(CurrentThreadId()))
        pSlot->m_nThread.store(0);
}

bool IsInStackGuard(uintptr_t address)
{
    const CStackGuardSlot* pSlot = StackGuardSlotOf(CurrentThreadId());
    return pSlot && address >= pSlot->m_nFrom && address < pSlot->m_nTo;
}

bool IsStackOverflow(uintptr_t address, const void* pContext)
{
    const uintptr_t sp = StackPointerOf(pContext);
    if (sp != 0 && address <= sp + NEAR_STACK_POINTER_ABOVE &&
        address + NEAR_STACK_POINTER_BELOW >= sp)
        return true;
    return IsInStackGuard(address);
}

void OnFatalSignal(int signal, siginfo_t* pInfo, void* pContext)
{
    const FatalFaultSink sink = s_pfnSink.load();
    if (sink)
        sink(FaultCodeOfSignal(signal, pInfo, pContext), pContext, signal);
    EndProcessWithSignal(signal);
}

void OnWatchdog(int)
{
    if (void (*onExpiry)() = s_pfnWatchdogExpiry.load())
        onExpiry();
    EndProcessWithSignal(s_nWatchdogSignal.load());
}

// Gives `signal` a plain handler (or SIG_DFL) and unblocks it for the
// calling thread.
void SetHandlerAndUnblock(int signal, void (*handler)(int), int flags)
{
    struct sigaction action{};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = flags;
    sigaction(signal, &action, nullptr);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signal);
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

// Maps a fresh alternate stack with a guard page at its low end and makes it
// the calling thread's; null on failure.
void* InstallAltStack()
{
    const size_t page = PageSize();
    void* pMap = mmap(nullptr, ALT_STACK_BYTES + page, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (pMap == MAP_FAILED)
        return nullptr;
    mprotect(pMap, page, PROT_NONE);
    stack_t stack{};
    stack.ss_sp = static_cast<char*>(pMap) + page;
    stack.ss_size = ALT_STACK_BYTES;
    if (sigaltstack(&stack, nullptr) != 0) {
        munmap(pMap, ALT_STACK_BYTES + page);
        return nullptr;
    }
    return pMap;
}

// An alternate stack that someone else gave the thread is kept only when it
// is as large as ours: a sanitizer's runtime, for one, installs a small one
// of its own, and the report would run off its end.
bool HasLargeAltStack(stack_t& current)
{
    return sigaltstack(nullptr, &current) == 0 && !(current.ss_flags & SS_DISABLE) &&
           current.ss_size >= ALT_STACK_BYTES;
}

}  // namespace

void InstallFatalFaultHandlers(FatalFaultSink sink)
{
    s_pfnSink.store(sink);

    // The thread that installs the handlers (normally the one that loads the
    // library) keeps its stack for good: it may fault at any time until the
    // process ends.
    stack_t current{};
    if (!HasLargeAltStack(current))
        InstallAltStack();
    RecordStackGuard();
    // The report reads the local time from the offset from UTC that the last
    // reading found; this first reading also loads the time zone (through
    // stdio and malloc), which must not happen in a handler.
    LocalTimeNow();

    struct sigaction action{};
    action.sa_sigaction = OnFatalSignal;
    sigemptyset(&action.sa_mask);
    // SA_NODEFER: a fault inside the handler enters it again, where the
    // crash handler's guard ends the process with a short note, instead of
    // the kernel killing it silently.
    action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
    for (const int signal : FATAL_SIGNALS)
        sigaction(signal, &action, nullptr);
}

int EndCauseOfLibraryFault(uint32_t)
{
    return SIGABRT;
}

// A breakpoint instruction traps after it has run.
bool FaultContextFollowsInstruction(uint32_t faultCode)
{
    return faultCode == FAULT_BREAKPOINT;
}

uint32_t FaultCodeOfSignal(int signal, const siginfo_t* pInfo, const void* pContext)
{
    const int code = pInfo ? pInfo->si_code : SI_USER;
    switch (signal) {
    case SIGSEGV: {
        const bool bKernelFault = pInfo && code > 0;
        if (bKernelFault && IsStackOverflow(reinterpret_cast<uintptr_t>(pInfo->si_addr), pContext))
            return FAULT_STACK_OVERFLOW;
        return FAULT_ACCESS_VIOLATION;
    }
    case SIGBUS:
        return code == BUS_ADRALN ? FAULT_DATATYPE_MISALIGNMENT : FAULT_IN_PAGE_ERROR;
    case SIGFPE:
        switch (code) {
        case FPE_INTDIV: return FAULT_INT_DIVIDE_BY_ZERO;
        case FPE_INTOVF: return FAULT_INT_OVERFLOW;
        case FPE_FLTDIV: return FAULT_FLOAT_DIVIDE_BY_ZERO;
        case FPE_FLTOVF: return FAULT_FLOAT_OVERFLOW;
        case FPE_FLTUND: return FAULT_FLOAT_UNDERFLOW;
        case FPE_FLTRES: return FAULT_FLOAT_INEXACT_RESULT;
        case FPE_FLTSUB: return FAULT_ARRAY_BOUNDS_EXCEEDED;
        default: return FAULT_FLOAT_INVALID_OPERATION;
        }
    case SIGILL:
        return code == ILL_PRVOPC ? FAULT_PRIV_INSTRUCTION : FAULT_ILLEGAL_INSTRUCTION;
    case SIGTRAP:
        // int3 arrives with SI_KERNEL rather than TRAP_BRKPT.
        return code == TRAP_TRACE ? FAULT_SINGLE_STEP : FAULT_BREAKPOINT;
    case SIGABRT:
    default:
        return FAULT_ABORT;
    }
}

CThreadAltStack::CThreadAltStack()
{
    static_assert(sizeof(stack_t) <= sizeof m_previous && alignof(stack_t) <= 16);
    auto& previous = *reinterpret_cast<stack_t*>(m_previous);
    previous = stack_t{};
    if (!HasLargeAltStack(previous))
        m_pStack = InstallAltStack();
    RecordStackGuard();
}

CThreadAltStack::~CThreadAltStack()
{
    if (!m_pStack)
        return;
    ForgetStackGuard();
    const size_t page = PageSize();
    stack_t current{};
    if (sigaltstack(nullptr, &current) == 0 &&
        current.ss_sp == static_cast<char*>(m_pStack) + page) {
        const auto& previous = *reinterpret_cast<const stack_t*>(m_previous);
        if (previous.ss_flags & SS_DISABLE) {
            stack_t off{};
            off.ss_flags = SS_DISABLE;
            sigaltstack(&off, nullptr);
        } else {
            sigaltstack(&previous, nullptr);
        }
    }
    munmap(m_pStack, ALT_STACK_BYTES + page);
}

void EndProcessWithSignal(int signal)
{
    SetHandlerAndUnblock(signal, SIG_DFL, 0);
    raise(signal);
    _exit(128 + signal);
}

void WaitForever()
{
    for (;;)
        pause();
}

CBrokenPipeIgnored::CBrokenPipeIgnored()
{
    struct sigaction ignore{};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    static_assert(sizeof(struct sigaction) <= sizeof m_previous && alignof(struct sigaction) <= 16);
    m_bSaved = sigaction(SIGPIPE, &ignore, reinterpret_cast<struct sigaction*>(m_previous)) == 0;
}

CBrokenPipeIgnored::~CBrokenPipeIgnored()
{
    if (m_bSaved)
        sigaction(SIGPIPE, reinterpret_cast<const struct sigaction*>(m_previous), nullptr);
}

void WriteStandardError(const char* text, size_t length)
{
    WriteAll(STDERR_FILENO, std::string_view(text, length));
}

void ArmFaultWatchdog(unsigned seconds, int signal, void (*onExpiry)())
{
    if (seconds == 0) {
        alarm(0);
        return;
    }
    s_nWatchdogSignal.store(signal);
    s_pfnWatchdogExpiry.store(onExpiry);
    SetHandlerAndUnblock(SIGALRM, OnWatchdog, SA_ONSTACK);
    alarm(seconds);
}

}  // namespace oru::platform
