#pragma once

#include "EventLoop.h"
#include "StopSignal.h"

// Standard input as a way to stop ornix-sim: its end raises the stop signal, so that a parent
// that holds a pipe to it stops it by closing the pipe. What comes on it is read and dropped,
// so that the pipe never fills. A closed standard input is not watched, nor one that can no
// longer be read.
class StandardInput final : public EventLoop::Participant {
public:
    explicit StandardInput(StopSignal& stop);

    void Watch(Readiness& ready) override;
    void Handle(const Readiness& ready) override;

private:
    StopSignal& stop_;
    bool watched_;
};
