#include "errors.hpp"

#include <unistd.h>

namespace quorvex {
namespace {

// "main" for the process's first thread, "<unnamed>" for any other: no
// thread of ours is given a name (the kernel's name of a new thread is only
// inherited from its creator).
std::string current_thread_name() { return gettid() == getpid() ? "main" : "<unnamed>"; }

}  // namespace

Panic::Panic(std::string message, std::source_location where)
    : std::runtime_error(std::move(message)), where_(where), thread_(current_thread_name()) {}

void fail_unequal(std::string_view message, std::uint64_t found, std::uint64_t required,
                  std::source_location where) {
  std::string text = "assertion `left == right` failed: ";
  text += message;
  text += "\n  left: " + std::to_string(found);
  text += "\n right: " + std::to_string(required);
  throw Panic(std::move(text), where);
}

void fail_out_of_bounds(std::uint64_t length, std::uint64_t index, std::source_location where) {
  throw Panic("index out of bounds: the len is " + std::to_string(length) + " but the index is " +
                  std::to_string(index),
              where);
}

void fail_zero_divisor(std::source_location where) {
  throw Panic("attempt to calculate the remainder with a divisor of zero", where);
}

}  // namespace quorvex
