#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <new>
#include <vector>

#include "secret.hpp"

namespace quorvex {
namespace {

// Tells the compiler that `storage` is read and written here, so that it
// can neither drop stores to it before this point nor assume what a later
// read finds (the storage of an ended object is otherwise dead to it).
void opaque(const void* storage) { asm volatile("" : : "r"(storage) : "memory"); }

bool all_zero(const std::vector<std::uint8_t>& bytes) {
  return std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0; });
}

// The standard allocator, keeping a copy of every block as it comes back.
template <class T>
struct KeepingAllocator {
  using value_type = T;
  static inline std::vector<std::vector<std::uint8_t>> returned;
  KeepingAllocator() noexcept = default;
  template <class U>
  KeepingAllocator(const KeepingAllocator<U>&) noexcept {}
  T* allocate(std::size_t n) { return std::allocator<T>{}.allocate(n); }
  void deallocate(T* p, std::size_t n) noexcept {
    opaque(p);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(p);
    returned.emplace_back(bytes, bytes + n * sizeof(T));
    std::allocator<T>{}.deallocate(p, n);
  }
  template <class U>
  bool operator==(const KeepingAllocator<U>&) const noexcept {
    return true;
  }
};

TEST(SecretBytes, EveryBlockIsWipedBeforeItIsReleased) {
  using Kept = KeepingAllocator<std::uint8_t>;
  Kept::returned.clear();
  {
    std::vector<std::uint8_t, WipingAllocator<std::uint8_t, Kept>> secret(100, 0xAB);
    secret.resize(5000, 0xCD);  // moves to a larger block, releasing the first
  }
  ASSERT_EQ(Kept::returned.size(), 2u);
  EXPECT_GE(Kept::returned[0].size(), 100u);
  EXPECT_GE(Kept::returned[1].size(), 5000u);
  for (const auto& block : Kept::returned) EXPECT_TRUE(all_zero(block));
}

TEST(SecretArray, StorageIsWipedWhenItGoesOutOfScope) {
  alignas(SecretArray<64>) std::uint8_t storage[sizeof(SecretArray<64>)];
  auto* secret = new (storage) SecretArray<64>;
  secret->fill(0xAB);
  opaque(storage);
  secret->~SecretArray();
  opaque(storage);
  EXPECT_TRUE(all_zero(std::vector<std::uint8_t>(storage, storage + sizeof storage)));
}

}  // namespace
}  // namespace quorvex
