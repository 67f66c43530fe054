#include "StandardInput.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

StandardInput::StandardInput(StopSignal& stop)
    : stop_(stop), watched_(::fcntl(STDIN_FILENO, F_GETFD) != -1) {
    // A background job reading its terminal would be stopped; with this the read fails and
    // only signals stop the program from then on.
    std::signal(SIGTTIN, SIG_IGN);
}

void StandardInput::Watch(Readiness& ready) {
    if (watched_) {
        ready.WatchRead(STDIN_FILENO);
    }
}

void StandardInput::Handle(const Readiness& ready) {
    if (!watched_ || !ready.Readable(STDIN_FILENO)) {
        return;
    }
    char dropped[256];
    const ssize_t count = ::read(STDIN_FILENO, dropped, sizeof dropped);
    if (count == 0) {
        watched_ = false;
        stop_.Request();
    } else if (count < 0 && errno != EINTR && errno != EAGAIN) {
        watched_ = false;
    }
}
