#include "EventLoop.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <functional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace {

using Clock = Readiness::Clock;

class Pipe {
public:
    Pipe() {
        EXPECT_EQ(::pipe(ends_), 0);
        for (const int end : ends_) {
            ::fcntl(end, F_SETFL, ::fcntl(end, F_GETFL) | O_NONBLOCK);
        }
    }
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;
    ~Pipe() {
        CloseReader();
        ::close(ends_[1]);
    }
    int Reader() const { return ends_[0]; }
    int Writer() const { return ends_[1]; }
    void Put(const std::string& text) const {
        ASSERT_EQ(::write(ends_[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }
    std::string Take() const {
        char chunk[256];
        const ssize_t count = ::read(ends_[0], chunk, sizeof chunk);
        return count > 0 ? std::string(chunk, static_cast<std::size_t>(count)) : std::string();
    }
    void CloseReader() {
        if (ends_[0] >= 0) {
            ::close(ends_[0]);
            ends_[0] = -1;
        }
    }

private:
    int ends_[2] = {-1, -1};
};

// A participant whose two halves each test gives.
class Scripted final : public EventLoop::Participant {
public:
    std::function<void(Readiness&)> watch = [](Readiness&) {};
    std::function<void(const Readiness&)> handle = [](const Readiness&) {};

    void Watch(Readiness& ready) override { watch(ready); }
    void Handle(const Readiness& ready) override { handle(ready); }
};

TEST(EventLoop, EndsAtTheStopWithoutHandlingThatTurn) {
    Pipe stop;
    stop.Put("x");
    Scripted participant;
    int watched = 0;
    int handled = 0;
    participant.watch = [&](Readiness& ready) {
        ++watched;
        // Due at once, so that only the stop keeps the turn from being handled.
        ready.WakeBy(Clock::now());
    };
    participant.handle = [&](const Readiness&) { ++handled; };
    EventLoop loop(stop.Reader());
    loop.Add(participant);
    loop.Run();
    EXPECT_EQ(watched, 1);
    EXPECT_EQ(handled, 0);
}

TEST(EventLoop, HandsEveryParticipantWhatItsOwnDescriptorsAreReadyFor) {
    Pipe stop;
    Pipe request;
    Pipe reply;
    request.Put("ping");
    Scripted server;
    Scripted client;
    std::vector<std::string> events;
    server.watch = [&](Readiness& ready) {
        ready.WatchRead(request.Reader());
        ready.WatchWrite(reply.Writer());
    };
    server.handle = [&](const Readiness& ready) {
        if (ready.Readable(request.Reader()) && ready.Writable(reply.Writer())) {
            events.push_back("server: " + request.Take());
            reply.Put("pong");
        } else {
            events.push_back("server: nothing");
        }
    };
    client.watch = [&](Readiness& ready) { ready.WatchRead(reply.Reader()); };
    client.handle = [&](const Readiness& ready) {
        // A descriptor no longer open is never ready, whatever another participant watches.
        EXPECT_FALSE(ready.Readable(-1));
        EXPECT_FALSE(ready.Writable(-1));
        if (ready.Readable(reply.Reader())) {
            events.push_back("client: " + reply.Take());
            stop.Put("x");
        } else {
            events.push_back("client: nothing");
        }
    };
    EventLoop loop(stop.Reader());
    loop.Add(server);
    loop.Add(client);
    loop.Run();
    // The turn in which the request was read handles the server first: the reply it wrote
    // counts from the next wait on, which finds it at once.
    EXPECT_EQ(events, (std::vector<std::string>{"server: ping", "client: nothing",
                                                "server: nothing", "client: pong"}));
}

TEST(EventLoop, WakesAtTheEarliestTimeAnyParticipantGivesWithoutSpinning) {
    Pipe stop;
    Scripted patient;
    Scripted hurried;
    const auto due = Clock::now() + std::chrono::milliseconds(20);
    patient.watch = [](Readiness& ready) { ready.WakeBy(Clock::now() + std::chrono::hours(1)); };
    int turns = 0;
    hurried.watch = [&](Readiness& ready) { ready.WakeBy(due); };
    hurried.handle = [&](const Readiness&) {
        ++turns;
        if (Clock::now() >= due) {
            stop.Put("x");
        }
    };
    EventLoop loop(stop.Reader());
    loop.Add(patient);
    loop.Add(hurried);
    const auto started = Clock::now();
    loop.Run();
    // A wait that ended before its time would make the loop spin through many turns until then.
    EXPECT_LE(turns, 3);
    EXPECT_LT(Clock::now() - started, std::chrono::minutes(1)) << "the later time was waited for";
}

void Ignore(int) {}

TEST(EventLoop, AnInterruptedWaitIsATurnThatFoundNothing) {
    // Without SA_RESTART, as the stop signal's handlers: select returns EINTR.
    struct sigaction action{};
    action.sa_handler = Ignore;
    sigemptyset(&action.sa_mask);
    struct sigaction previous{};
    ASSERT_EQ(::sigaction(SIGUSR1, &action, &previous), 0);
    Pipe stop;
    Pipe silent;
    Scripted participant;
    std::atomic<bool> handled{false};
    bool readable = true;
    participant.watch = [&](Readiness& ready) { ready.WatchRead(silent.Reader()); };
    participant.handle = [&](const Readiness& ready) {
        readable = ready.Readable(silent.Reader());
        handled = true;
        stop.Put("x");
    };
    EventLoop loop(stop.Reader());
    loop.Add(participant);
    const pthread_t waiting = ::pthread_self();
    std::thread interrupter([&] {
        // Until the signal has found the loop in its wait.
        while (!handled) {
            ::pthread_kill(waiting, SIGUSR1);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    EXPECT_NO_THROW(loop.Run());
    interrupter.join();
    ::sigaction(SIGUSR1, &previous, nullptr);
    EXPECT_TRUE(handled);
    EXPECT_FALSE(readable);
}

TEST(EventLoop, ASelectThatFailsIsThrownWithItsReason) {
    Pipe stop;
    Pipe gone;
    const int closed = gone.Reader();
    gone.CloseReader();
    Scripted participant;
    participant.watch = [closed](Readiness& ready) { ready.WatchRead(closed); };
    EventLoop loop(stop.Reader());
    loop.Add(participant);
    try {
        loop.Run();
        FAIL() << "select on a closed descriptor succeeded";
    } catch (const std::system_error& error) {
        EXPECT_EQ(std::string(error.what()),
                  std::string("cannot wait for the ports: ") + std::strerror(EBADF));
    }
}

}  // namespace
