#include "errors.hpp"

#include <unistd.h>

#include "fixed_texts.hpp"

namespace quorvex {
namespace {

// "main" for the process's first thread, "<unnamed>" for any other: no
// thread of ours is given a name (the kernel's name of a new thread is only
// inherited from its creator).
std::string current_thread_name() {
  return gettid() == getpid() ? texts::kMainThreadName : texts::kOtherThreadName;
}

}  // namespace

Panic::Panic(std::string message, std::source_location where)
    : std::runtime_error(std::move(message)), where_(where), thread_(current_thread_name()) {}

std::string unequal_message(std::string_view message, std::uint64_t found, std::uint64_t required) {
  std::string text = texts::kUnequalBefore;
  text += message;
  text += texts::kUnequalLeft + std::to_string(found);
  text += texts::kUnequalRight + std::to_string(required);
  return text;
}

std::string out_of_bounds_message(std::uint64_t length, std::uint64_t index) {
  return texts::kOutOfBoundsBefore + std::to_string(length) + texts::kOutOfBoundsBetween +
         std::to_string(index);
}

void fail_unequal(std::string_view message, std::uint64_t found, std::uint64_t required,
                  std::source_location where) {
  throw Panic(unequal_message(message, found, required), where);
}

void fail_out_of_bounds(std::uint64_t length, std::uint64_t index, std::source_location where) {
  throw Panic(out_of_bounds_message(length, index), where);
}

void fail_zero_divisor(std::source_location where) { throw Panic(texts::kZeroDivisor, where); }

}  // namespace quorvex
