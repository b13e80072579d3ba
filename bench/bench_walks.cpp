// Walk throughput against the hashing floor: the same hash calls on the same
// message sizes, with no walk logic, measured in the same run.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "blake3_chunk_walk.hpp"
#include "blake3_hasher.hpp"
#include "blake3_walk.hpp"
#include "digest.hpp"
#include "random_bytes.hpp"
#include "sha3_walk.hpp"
#include "worker_pool.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using quorvex::Digest;
using quorvex::testing::random_bytes;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Best of `rounds` runs, in steps per second.
template <class Run>
double best_rate(std::uint64_t steps, int rounds, Run run) {
  double best = 0;
  for (int i = 0; i < rounds; ++i) {
    const auto start = Clock::now();
    run();
    best = std::max(best, static_cast<double>(steps) / seconds_since(start));
  }
  return best;
}

// Per step: SHA3-512 over 122 bytes (an interior pixel), SHA3-256 over 90
// bytes, 32 bytes into the layer's SHA3-512; one layer digest at the end.
void sha3_floor(std::uint64_t steps) {
  Digest state_hasher(GCRY_MD_SHA3_512), visit_hasher(GCRY_MD_SHA3_256),
      layer_hasher(GCRY_MD_SHA3_512);
  std::uint8_t input[122] = {}, visit[32], state[64];
  for (std::uint64_t i = 0; i < steps; ++i) {
    state_hasher.reset();
    state_hasher.update(input, 122);
    state_hasher.finish(input);
    visit_hasher.reset();
    visit_hasher.update(input, 90);
    visit_hasher.finish(visit);
    layer_hasher.update(visit, 32);
  }
  layer_hasher.finish(state);
}

void bench_sha3(std::uint64_t width, std::uint64_t height, std::uint64_t steps, int rounds) {
  const auto pixels = random_bytes(width * height * 3, 1);
  const auto seed = random_bytes(64, 2);
  const quorvex::PixelGrid grid{pixels, width, height};
  // Alternate the two so both see the same machine noise; keep the best.
  double walk = 0, floor = 0;
  for (int round = 0; round < rounds; ++round) {
    walk = std::max(walk, best_rate(steps, 1, [&] {
                      quorvex::execute_multilayer_sha3(seed, grid, steps, 1, nullptr);
                    }));
    floor = std::max(floor, best_rate(steps, 1, [&] { sha3_floor(steps); }));
  }
  std::printf(
      "sha3 walk   %4llux%-4llu %llu steps: %10.0f steps/s   floor %10.0f steps/s   ratio %.3f\n",
      static_cast<unsigned long long>(width), static_cast<unsigned long long>(height),
      static_cast<unsigned long long>(steps), walk, floor, walk / floor);
}

// Per step: one BLAKE3 of 71 bytes and 32 bytes into SHA3-256 (batched as
// the walk does).
void blake3_floor(std::uint64_t steps) {
  quorvex::Blake3 hasher;
  Digest accumulator(GCRY_MD_SHA3_256);
  std::uint8_t message[71] = {}, batch[64 * 32], digest[32];
  std::size_t batched = 0;
  for (std::uint64_t i = 0; i < steps; ++i) {
    hasher.hash(message, sizeof message, message);
    std::copy_n(message, 32, batch + 32 * batched);
    if (++batched == 64) {
      accumulator.update(batch, sizeof batch);
      batched = 0;
    }
  }
  accumulator.update(batch, 32 * batched);
  accumulator.finish(digest);
}

void bench_blake3(int rounds) {
  const std::uint64_t width = 1024, height = 768, steps = 400000;
  const auto pixels = random_bytes(width * height * 3, 1);
  const auto seed = random_bytes(64, 2);
  const quorvex::PixelGrid grid{pixels, width, height};
  auto one = quorvex::WorkerPool::create(1, quorvex::start_posix_thread);
  auto two = quorvex::WorkerPool::create(2, quorvex::start_posix_thread);
  double walk1 = 0, walk2 = 0, floor = 0;
  for (int round = 0; round < rounds; ++round) {
    walk1 = std::max(walk1, best_rate(steps, 1, [&] {
                       quorvex::execute_multilayer_blake3_on(*one, seed, grid, steps, 1, nullptr);
                     }));
    walk2 = std::max(walk2, best_rate(steps, 1, [&] {
                       quorvex::execute_multilayer_blake3_on(*two, seed, grid, steps, 1, nullptr);
                     }));
    floor = std::max(floor, best_rate(steps, 1, [&] { blake3_floor(steps); }));
  }
  std::printf(
      "blake3 walk t=1, 1024x768 %llu steps: %10.0f steps/s   floor %10.0f steps/s   ratio %.3f\n",
      static_cast<unsigned long long>(steps), walk1, floor, walk1 / floor);
  std::printf("blake3 walk t=2, same steps:         %10.0f steps/s   speed-up over t=1 %.2fx\n",
              walk2, walk2 / walk1);
  for (auto* pool : {one.get(), two.get()}) {
    const std::uint64_t layers = 10000, t = pool->thread_count();
    double best = 1e9;
    for (int round = 0; round < rounds; ++round) {
      const auto start = Clock::now();
      quorvex::execute_multilayer_blake3_on(*pool, seed, grid, t, layers, nullptr);
      best = std::min(best, seconds_since(start) / static_cast<double>(layers));
    }
    std::printf("blake3 tiny layers t=%llu (steps = t, %llu layers): %6.2f us per layer\n",
                static_cast<unsigned long long>(t), static_cast<unsigned long long>(layers),
                best * 1e6);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::string which = argc > 1 ? argv[1] : "all";
  const int rounds = 15;
  if (which == "all" || which == "sha3") {
    bench_sha3(1024, 768, 50000, rounds);
    bench_sha3(64, 64, 50000, rounds);
  }
  if (which == "all" || which == "blake3") bench_blake3(rounds / 3);
  return 0;
}
