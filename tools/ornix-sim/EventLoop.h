#pragma once

#include <vector>

#include "Readiness.h"

// Serves every server of the program on the calling thread, until the stop signal's
// descriptor turns readable. Each turn asks every participant which descriptors it waits on
// and by when it must run again, waits with one select for the first of all those or the stop,
// and then lets every participant, in the order they were added, handle what the wait found.
class EventLoop {
public:
    // One server in the loop. Participants share one thread, so none may block: a participant
    // that has to wait gives the loop the time it waits for.
    class Participant {
    public:
        virtual ~Participant() = default;
        // Before each wait: what to watch, and when to run again at the latest.
        virtual void Watch(Readiness& ready) = 0;
        // After each wait, whatever ended it: what the wait found ready, and whatever is due.
        virtual void Handle(const Readiness& ready) = 0;
    };

    explicit EventLoop(int stop_fd) : stop_fd_(stop_fd) {}

    // The participant must outlive the loop's Run.
    void Add(Participant& participant) { participants_.push_back(&participant); }
    // Returns once the stop descriptor is readable, without handling that turn; throws a
    // SystemError should select fail.
    void Run();

private:
    int stop_fd_;
    std::vector<Participant*> participants_;
};
