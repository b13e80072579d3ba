#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <cstdint>
#include <memory>
#include <new>
#include <vector>

#include "cpu_features.hpp"
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

#if defined(__x86_64__)

// Every vector register of the CPU, filled with a pattern and read back
// around wipe_vector_registers(): 16 xmm registers (their low halves on a
// larger file), the upper halves of the ymm registers, zmm16-31. The fill,
// the call and the read are one asm statement: compiled code around a call
// may itself clear registers (GCC puts a vzeroupper before calling code
// that is not AVX code).
struct RegisterFile {
  alignas(64) std::uint8_t xmm[16][16];
  alignas(64) std::uint8_t ymm_high[16][16];
  alignas(64) std::uint8_t zmm_high[16][64];
};

#define FOR_0_15(X) \
  X(0) X(1) X(2) X(3) X(4) X(5) X(6) X(7) X(8) X(9) X(10) X(11) X(12) X(13) X(14) X(15)
#define FOR_16_31(X) \
  X(16) X(17) X(18) X(19) X(20) X(21) X(22) X(23) X(24) X(25) X(26) X(27) X(28) X(29) X(30) X(31)

// The call: below the red zone, on a 16-byte aligned stack, with the
// operands in registers that the callee preserves (r12, r13) and every
// register it may change declared so.
#define CALL_WIPE                  \
  "mov %%rsp, %%rbx\n\t"           \
  "sub $128, %%rsp\n\t"            \
  "and $-16, %%rsp\n\t"            \
  "call *%[wipe]\n\t"              \
  "mov %%rbx, %%rsp\n\t"
#define WIPE_OPERANDS                                                                          \
  : [fill] "r"(fill), [seen] "r"(seen), [wipe] "r"(&wipe_vector_registers)                   \
  : "memory", "cc", "rax", "rbx", "rcx", "rdx", "rsi", "rdi", "r8", "r9", "r10", "r11", "xmm0", \
    "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8", "xmm9", "xmm10", "xmm11",   \
    "xmm12", "xmm13", "xmm14", "xmm15"

void wipe_filled_xmm(const std::uint8_t* fill_bytes, std::uint8_t (*xmm)[16]) {
  register const std::uint8_t* fill asm("r12") = fill_bytes;
  register std::uint8_t(*seen)[16] asm("r13") = xmm;
#define LOAD(n) "movdqu (%[fill]), %%xmm" #n "\n\t"
#define STORE(n) "movdqu %%xmm" #n ", " #n "*16(%[seen])\n\t"
  asm volatile(FOR_0_15(LOAD) CALL_WIPE FOR_0_15(STORE) : WIPE_OPERANDS);
#undef LOAD
#undef STORE
}

[[gnu::target("avx")]] void wipe_filled_ymm(const std::uint8_t* fill_bytes,
                                            std::uint8_t (*ymm_high)[16]) {
  register const std::uint8_t* fill asm("r12") = fill_bytes;
  register std::uint8_t(*seen)[16] asm("r13") = ymm_high;
#define LOAD(n) "vmovdqu (%[fill]), %%ymm" #n "\n\t"
#define STORE(n) "vextractf128 $1, %%ymm" #n ", " #n "*16(%[seen])\n\t"
  asm volatile(FOR_0_15(LOAD) CALL_WIPE FOR_0_15(STORE) : WIPE_OPERANDS);
#undef LOAD
#undef STORE
}

[[gnu::target("avx512f")]] void wipe_filled_zmm(const std::uint8_t* fill_bytes,
                                                std::uint8_t (*zmm_high)[64]) {
  register const std::uint8_t* fill asm("r12") = fill_bytes;
  register std::uint8_t(*seen)[64] asm("r13") = zmm_high;
#define LOAD(n) "vmovdqu64 (%[fill]), %%zmm" #n "\n\t"
#define STORE(n) "vmovdqu64 %%zmm" #n ", (" #n "-16)*64(%[seen])\n\t"
  asm volatile(FOR_16_31(LOAD) CALL_WIPE FOR_16_31(STORE) : WIPE_OPERANDS, "xmm16", "xmm17",
               "xmm18", "xmm19", "xmm20", "xmm21", "xmm22", "xmm23", "xmm24", "xmm25", "xmm26",
               "xmm27", "xmm28", "xmm29", "xmm30", "xmm31");
#undef LOAD
#undef STORE
}

#undef FOR_0_15
#undef FOR_16_31
#undef CALL_WIPE
#undef WIPE_OPERANDS

bool all_zero(const void* data, std::size_t size) {
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  return std::all_of(bytes, bytes + size, [](std::uint8_t b) { return b == 0; });
}

// A secret that passed through the vector registers is gone from all of
// them, whichever register file the CPU has: xmm0-15 always, the upper
// halves of ymm0-15 with AVX, zmm16-31 (which vzeroall does not reach)
// with AVX-512.
TEST(VectorRegisters, WipingClearsEveryRegisterTheCpuHas) {
  alignas(64) std::uint8_t fill[64];
  std::memset(fill, 0x5A, sizeof fill);
  RegisterFile seen;
  std::memset(&seen, 0xFF, sizeof seen);
  wipe_filled_xmm(fill, seen.xmm);
  EXPECT_TRUE(all_zero(seen.xmm, sizeof seen.xmm)) << "xmm0-15";
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx")) {
    wipe_filled_ymm(fill, seen.ymm_high);
    EXPECT_TRUE(all_zero(seen.ymm_high, sizeof seen.ymm_high)) << "upper halves of ymm0-15";
  }
  if (!__builtin_cpu_supports("avx512f")) {
    GTEST_SKIP() << "this CPU lacks AVX-512: there are no zmm16-31 to wipe";
  }
  wipe_filled_zmm(fill, seen.zmm_high);
  EXPECT_TRUE(all_zero(seen.zmm_high, sizeof seen.zmm_high)) << "zmm16-31";
}

#elif defined(__aarch64__)

// v0-v31 filled with a pattern and read back around
// wipe_vector_registers(), in one asm statement. The operands sit in
// registers that the callee preserves (x19-x21).
void wipe_filled_neon(const std::uint8_t* fill_bytes, std::uint8_t (*neon)[16]) {
  register const std::uint8_t* fill asm("x19") = fill_bytes;
  register std::uint8_t(*seen)[16] asm("x20") = neon;
  register void (*wipe)() noexcept asm("x21") = &wipe_vector_registers;
#define FOR_0_31(X)                                                                             \
  X(0) X(1) X(2) X(3) X(4) X(5) X(6) X(7) X(8) X(9) X(10) X(11) X(12) X(13) X(14) X(15) X(16) \
  X(17) X(18) X(19) X(20) X(21) X(22) X(23) X(24) X(25) X(26) X(27) X(28) X(29) X(30) X(31)
#define LOAD(n) "ldr q" #n ", [%[fill]]\n\t"
#define STORE(n) "str q" #n ", [%[seen], #" #n "*16]\n\t"
  asm volatile(FOR_0_31(LOAD) "blr %[wipe]\n\t" FOR_0_31(STORE)
               :
               : [fill] "r"(fill), [seen] "r"(seen), [wipe] "r"(wipe)
               : "memory", "cc", "x0", "x1", "x2", "x3", "x4", "x5", "x6", "x7", "x8", "x9",
                 "x10", "x11", "x12", "x13", "x14", "x15", "x16", "x17", "x18", "x30", "v0", "v1",
                 "v2", "v3", "v4", "v5", "v6", "v7", "v8", "v9", "v10", "v11", "v12", "v13", "v14",
                 "v15", "v16", "v17", "v18", "v19", "v20", "v21", "v22", "v23", "v24", "v25",
                 "v26", "v27", "v28", "v29", "v30", "v31");
#undef LOAD
#undef STORE
#undef FOR_0_31
}

// Every register is cleared but for the low halves of v8-v15, which the
// caller may still hold values in: they must come back as they were.
TEST(VectorRegisters, WipingClearsEveryRegisterTheCallerDoesNotOwn) {
  alignas(16) std::uint8_t fill[16];
  std::memset(fill, 0x5A, sizeof fill);
  alignas(16) std::uint8_t seen[32][16];
  std::memset(seen, 0xFF, sizeof seen);
  wipe_filled_neon(fill, seen);
  for (int n = 0; n < 32; ++n) {
    const bool callers = n >= 8 && n <= 15;
    std::uint8_t low[8];
    std::memset(low, callers ? 0x5A : 0, sizeof low);
    EXPECT_EQ(std::memcmp(seen[n], low, sizeof low), 0) << "low half of v" << n;
    EXPECT_TRUE(all_zero(std::vector<std::uint8_t>(seen[n] + 8, seen[n] + 16)))
        << "high half of v" << n;
  }
}

#endif

}  // namespace
}  // namespace quorvex
