#include "TerminationSignals.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/select.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <mutex>

namespace Ornix::Companion {

namespace {

constexpr int kSignals[] = {SIGTERM, SIGHUP};

std::atomic<bool> arrived{false};
std::atomic<int> running{0};
// Written by each loop that has sent zero force, read by the handler.
int confirmations[2] = {-1, -1};

// Watch and Unwatch take turns; the handler takes no lock.
std::mutex watching;
int watchers = 0;
bool installed[sizeof kSignals / sizeof kSignals[0]] = {};

void OnTermination(int signal) {
    const int saved_errno = errno;
    arrived.store(true);
    int waiting_for = running.load();
    // The pipe was made before the handler was installed.
    timeval left{0, TerminationSignals::kWaitMilliseconds * 1000};
    while (waiting_for > 0 && (left.tv_sec > 0 || left.tv_usec > 0)) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(confirmations[0], &readable);
        // Linux counts the time left down; elsewhere a wait that a signal ends starts over,
        // which at worst waits longer, never for ever, as the loops confirm or stop.
        const int ready = select(confirmations[0] + 1, &readable, nullptr, nullptr, &left);
        if (ready <= 0) {
            if (ready < 0 && errno == EINTR) {
                continue;
            }
            break;
        }
        char confirmed[16];
        const ssize_t count = read(confirmations[0], confirmed, sizeof confirmed);
        if (count > 0) {
            waiting_for -= static_cast<int>(count);
        }
    }
    struct sigaction standard{};
    standard.sa_handler = SIG_DFL;
    sigemptyset(&standard.sa_mask);
    sigaction(signal, &standard, nullptr);
    errno = saved_errno;
    // Delivered once the handler returns, with the default disposition: the process ends by it.
    raise(signal);
}

bool MakePipe() {
    if (confirmations[0] >= 0) {
        return true;
    }
    if (pipe(confirmations) != 0) {
        return false;
    }
    for (int end : confirmations) {
        fcntl(end, F_SETFL, fcntl(end, F_GETFL) | O_NONBLOCK);
        fcntl(end, F_SETFD, FD_CLOEXEC);
    }
    return true;
}

}  // namespace

void TerminationSignals::Watch() {
    running.fetch_add(1);
    const std::lock_guard<std::mutex> lock(watching);
    if (watchers++ > 0 || !MakePipe()) {
        return;
    }
    for (size_t i = 0; i < sizeof kSignals / sizeof kSignals[0]; ++i) {
        struct sigaction current{};
        if (sigaction(kSignals[i], nullptr, &current) != 0 || current.sa_handler != SIG_DFL) {
            continue;
        }
        struct sigaction handler{};
        handler.sa_handler = OnTermination;
        sigemptyset(&handler.sa_mask);
        installed[i] = sigaction(kSignals[i], &handler, nullptr) == 0;
    }
}

void TerminationSignals::Unwatch() {
    running.fetch_sub(1);
    const std::lock_guard<std::mutex> lock(watching);
    if (--watchers > 0) {
        return;
    }
    for (size_t i = 0; i < sizeof kSignals / sizeof kSignals[0]; ++i) {
        struct sigaction current{};
        if (installed[i] && sigaction(kSignals[i], nullptr, &current) == 0 &&
            current.sa_handler == OnTermination) {
            struct sigaction standard{};
            standard.sa_handler = SIG_DFL;
            sigemptyset(&standard.sa_mask);
            sigaction(kSignals[i], &standard, nullptr);
        }
        installed[i] = false;
    }
}

bool TerminationSignals::Arrived() { return arrived.load(std::memory_order_relaxed); }

void TerminationSignals::Confirm() {
    const char confirmed = 1;
    // A full pipe already tells the handler more than it waits for.
    if (confirmations[1] >= 0 && write(confirmations[1], &confirmed, 1) < 0) {
        return;
    }
}

void TerminationSignals::KeepFromThisThread() {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
}

}  // namespace Ornix::Companion
