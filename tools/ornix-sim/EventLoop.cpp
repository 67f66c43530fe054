#include "EventLoop.h"

#include "SystemError.h"

void EventLoop::Run() {
    while (true) {
        Readiness ready;
        ready.WatchRead(stop_fd_);
        for (Participant* participant : participants_) {
            participant->Watch(ready);
        }
        if (!ready.Wait()) {
            throw SystemError("cannot wait for the ports");
        }
        if (ready.Readable(stop_fd_)) {
            return;
        }
        for (Participant* participant : participants_) {
            participant->Handle(ready);
        }
    }
}
