#include "platform/termination.h"

#include <atomic>
#include <csignal>
#include <cstdlib>

namespace oru::platform {
namespace {

std::atomic<int> s_nRequested{0};

void NoteRequest(int signal)
{
    int none = 0;
    s_nRequested.compare_exchange_strong(none, signal);
}

constexpr int CAUGHT[] = {SIGINT, SIGTERM, SIGHUP};

}  // namespace

void CatchTerminationRequests()
{
    struct sigaction action {};
    action.sa_handler = NoteRequest;
    sigemptyset(&action.sa_mask);
    for (const int signal : CAUGHT)
        sigaction(signal, &action, nullptr);
}

int TerminationRequested()
{
    return s_nRequested.load();
}

void EndBySignal(int signal)
{
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
    sigset_t unblock;
    sigemptyset(&unblock);
    sigaddset(&unblock, signal);
    sigprocmask(SIG_UNBLOCK, &unblock, nullptr);
    std::raise(signal);
    std::_Exit(128 + signal);
}

}  // namespace oru::platform
