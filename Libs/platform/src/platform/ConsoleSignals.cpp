#include "platform/ConsoleSignals.h"

#include <ace/Signal.h>

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <thread>

namespace platform {

namespace {

// Handler functions by signal number; read by the dispatch thread.
std::atomic<ConsoleHandler> g_handlers[NSIG];

// Write end of the self-pipe: the asynchronous handler writes, the dispatch
// thread reads the other end.
std::atomic<int> g_pipeWrite { -1 };

// Runs inside the signal delivery: only async-signal-safe calls. The write end
// does not block; should the pipe ever be full, the signal is dropped rather
// than the interrupted thread stalled.
extern "C" void PassSignalOn(int signalNumber)
{
    const int savedErrno = errno;
    const int fd = g_pipeWrite.load(std::memory_order_relaxed);
    if (fd >= 0 && signalNumber > 0 && signalNumber < NSIG) {
        const unsigned char byte = static_cast<unsigned char>(signalNumber);
        [[maybe_unused]] const ssize_t written = ::write(fd, &byte, 1);
    }
    errno = savedErrno;
}

void DispatchSignals(int readFd)
{
    ::pthread_setname_np(::pthread_self(), "qhv:signals");
    for (;;) {
        unsigned char byte = 0;
        const ssize_t got = ::read(readFd, &byte, 1);
        if (got == 1) {
            if (const ConsoleHandler handler = g_handlers[byte].load()) {
                handler(byte);
            }
        } else if (got < 0 && errno == EINTR) {
            continue;
        } else {
            return;
        }
    }
}

bool StartDispatcher()
{
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        return false;
    }
    if (::fcntl(fds[1], F_SETFL, O_NONBLOCK) != 0) {
        ::close(fds[0]);
        ::close(fds[1]);
        return false;
    }
    try {
        std::thread(DispatchSignals, fds[0]).detach();
    } catch (const std::system_error&) {
        ::close(fds[0]);
        ::close(fds[1]);
        return false;
    }
    g_pipeWrite = fds[1];
    return true;
}

}  // namespace

bool InstallConsoleHandler(int signalNumber, ConsoleHandler handler)
{
    if (signalNumber <= 0 || signalNumber >= NSIG) {
        return false;
    }
    static std::once_flag once;
    static bool dispatcherRunning = false;
    std::call_once(once, [] { dispatcherRunning = StartDispatcher(); });
    if (!dispatcherRunning) {
        return false;
    }
    g_handlers[signalNumber] = handler;
    // SA_RESTART: a thread blocked in a read (a key press, the dispatch pipe)
    // goes on waiting after the delivery instead of failing with EINTR.
    ACE_Sig_Action action(&PassSignalOn, static_cast<sigset_t*>(nullptr), SA_RESTART);
    return action.register_action(signalNumber) == 0;
}

}  // namespace platform
