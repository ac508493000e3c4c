// Stopping a long run from outside (Ctrl-C).  Plain C++.
//
// A routine's long loop counts its steps on an InterruptPoll, a local value;
// every kInterruptPollSteps steps the poll asks the calling thread's
// InterruptCheck whether to stop.  The binding layer installs a check for the
// runs it hands over without the interpreter lock, on the thread that
// handles signals: it lets the interpreter run its signal handlers, and a
// handler that raises (KeyboardInterrupt for SIGINT) stops the loop.  Without
// a check a poll only resets its count.
//
// Stopping is a fifth way out of a routine (error.hpp lists the others): the
// poll throws `Interrupted`, which unwinds through plain C++, releasing what
// the loop holds, to the binding layer's guard; the Python exception is
// already set.  A poll changes no value a loop computes.
#pragma once

#include <cstdint>

namespace quellmar {

// Thrown by a poll whose check said stop.
struct Interrupted {};

// Asked by the polls of the thread it is installed on.
class InterruptCheck {
public:
    // True: stop the run (the reason has been recorded by the check).
    virtual bool stop_requested() = 0;

protected:
    ~InterruptCheck() = default;
};

// Steps between two questions: about a millisecond of the fastest loops
// (Muskingum, baseflow), a few of the level pool's seconds, far below the
// tenth of a second a person notices; the question costs well under a
// microsecond.
inline constexpr std::int64_t kInterruptPollSteps = std::int64_t{1} << 20;

// Installs `check` (may be null) for the calling thread while it lives and
// puts the previous one back after: nested runs (a signal handler that calls
// a routine) each see their own.
class ScopedInterruptCheck {
public:
    explicit ScopedInterruptCheck(InterruptCheck* check) noexcept;
    ScopedInterruptCheck(const ScopedInterruptCheck&) = delete;
    ScopedInterruptCheck& operator=(const ScopedInterruptCheck&) = delete;
    ~ScopedInterruptCheck();

private:
    InterruptCheck* previous_;
};

// The countdown of one loop: count() is a subtraction and a compare, the
// check is read once when the poll is made.
class InterruptPoll {
public:
    InterruptPoll() noexcept;

    void count(std::uint64_t steps) {
        budget_ -= static_cast<std::int64_t>(steps);
        if (budget_ < 0) ask();
    }

private:
    void ask();  // throws Interrupted when the check says stop

    InterruptCheck* check_;
    std::int64_t budget_ = kInterruptPollSteps;
};

}  // namespace quellmar
