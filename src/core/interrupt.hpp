// How a long computation on the calling thread gives its caller a chance to
// stop it: a callback, run every so often, that throws to abandon the work
// (the binding uses it to deliver a pending KeyboardInterrupt).
#pragma once

#include <cstdint>
#include <functional>

namespace quorvex {

using InterruptCheck = std::function<void()>;

// Steps walked between two interrupt checks: rare enough to cost nothing,
// frequent enough that Ctrl-C answers within milliseconds.
inline constexpr std::uint64_t kInterruptInterval = 4096;

}  // namespace quorvex
