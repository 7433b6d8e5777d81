#include "cli/StopOnSignal.h"

#include "core/backup/StopCopy.h"

#include <atomic>
#include <csignal>

namespace drovanta::app {
namespace {

// Both are touched from the signal handler, where only lock-free atomics are safe.
static_assert(std::atomic<bool>::is_always_lock_free);
static_assert(std::atomic<int>::is_always_lock_free);
std::atomic<int> receivedSignal{0};

extern "C" void askToStop(int signal)
{
    receivedSignal.store(signal);
    backup::StopCopy.store(true);
}

#ifdef _WIN32
// Ctrl-C, and Ctrl-Break, which a console sends where Ctrl-C is taken.
constexpr int stopSignals[] = {SIGINT, SIGBREAK, SIGTERM};
#else
constexpr int stopSignals[] = {SIGINT, SIGTERM};
#endif

} // namespace

#ifdef _WIN32

StopOnSignal::StopOnSignal()
{
    receivedSignal.store(0);
    for (const int signal : stopSignals)
        std::signal(signal, askToStop);
}

StopOnSignal::~StopOnSignal()
{
    for (const int signal : stopSignals)
        std::signal(signal, SIG_DFL);
}

#else

StopOnSignal::StopOnSignal()
{
    receivedSignal.store(0);
    struct sigaction action {};
    action.sa_handler = askToStop;
    sigemptyset(&action.sa_mask);
    // The handler only asks, so a second signal should end a run that does
    // not listen any more. Interrupted calls are not restarted: a call that
    // blocks (an open of a named pipe in a state file's place) must give way
    // to the stop; the copy's own loops go on after an interrupted read or
    // write.
    action.sa_flags = SA_RESETHAND;
    for (const int signal : stopSignals)
        ::sigaction(signal, &action, nullptr);
}

StopOnSignal::~StopOnSignal()
{
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    for (const int signal : stopSignals)
        ::sigaction(signal, &action, nullptr);
}

#endif

int StopOnSignal::received()
{
    return receivedSignal.load();
}

} // namespace drovanta::app
