#include "core/interrupt.hpp"

namespace quellmar {
namespace {

thread_local InterruptCheck* current_check = nullptr;

}  // namespace

ScopedInterruptCheck::ScopedInterruptCheck(InterruptCheck* check) noexcept : previous_(current_check) {
    current_check = check;
}

ScopedInterruptCheck::~ScopedInterruptCheck() { current_check = previous_; }

InterruptPoll::InterruptPoll() noexcept : check_(current_check) {}

void InterruptPoll::ask() {
    budget_ = kInterruptPollSteps;
    if (check_ != nullptr && check_->stop_requested()) throw Interrupted{};
}

}  // namespace quellmar
