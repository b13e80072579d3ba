// Walk throughput against the hashing floor: the same library hash calls on
// the same message sizes, with no walk logic, measured in the same run.
// Every variant runs once per round, in turn. On a shared host, other
// tenants' threads take turns on our cores and slow a round by up to half,
// at random; they never speed one up. So the headline figure is a
// variant's best round, the one the host disturbed least, and a ratio is
// best against best. The median of the rounds (and of the per-round ratios
// to that round's floor) follows in brackets: the gap between the two
// shows how busy the host was.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "blake3_chunk_walk.hpp"
#include "blake3_hasher.hpp"
#include "blake3_walk.hpp"
#include "cpu_features.hpp"
#include "digest.hpp"
#include "random_bytes.hpp"
#include "sha3_walk.hpp"
#include "worker_pool.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using quorvex::Digest;
using quorvex::SimdLevel;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

using quorvex::testing::random_bytes;

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

struct Variant {
  std::string name;
  std::function<void()> run;
  std::vector<double> rates;  // steps per second, one per round
};

// Variant 0 is the floor.
void contest(std::vector<Variant>& variants, std::uint64_t steps, int rounds) {
  for (int round = 0; round < rounds; ++round) {
    for (Variant& variant : variants) {
      const auto start = Clock::now();
      variant.run();
      variant.rates.push_back(static_cast<double>(steps) / seconds_since(start));
    }
  }
}

double best(const std::vector<double>& rates) { return *std::max_element(rates.begin(), rates.end()); }

double best_ratio(const Variant& variant, const Variant& base) {
  return best(variant.rates) / best(base.rates);
}

double median_ratio(const Variant& variant, const Variant& base) {
  std::vector<double> ratios;
  for (std::size_t i = 0; i < variant.rates.size(); ++i) {
    ratios.push_back(variant.rates[i] / base.rates[i]);
  }
  return median(ratios);
}

void report(const char* title, const std::vector<Variant>& variants) {
  std::printf("%s\n", title);
  std::printf("  %-38s %s\n", "", "M steps/s, best (median)    x floor, best (median)");
  for (const Variant& variant : variants) {
    std::printf("  %-38s %7.3f (%7.3f)            %.3f (%.3f)\n", variant.name.c_str(),
                best(variant.rates) / 1e6, median(variant.rates) / 1e6,
                best_ratio(variant, variants[0]), median_ratio(variant, variants[0]));
  }
}

// The levels this machine runs (a level above the CPU's is not listed).
std::vector<SimdLevel> runnable_levels() {
  std::vector<SimdLevel> levels;
  for (SimdLevel level : quorvex::kAllSimdLevels) {
    if (level <= quorvex::supported_simd_level()) levels.push_back(level);
  }
  return levels;
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
  std::vector<Variant> variants;
  variants.push_back({"floor: libgcrypt calls alone", [&] { sha3_floor(steps); }, {}});
  for (SimdLevel level : runnable_levels()) {
    variants.push_back(
        {std::string("walk, ") + quorvex::simd_level_name(level),
         [&, level] { quorvex::execute_multilayer_sha3_at(level, seed, grid, steps, 1, nullptr); },
         {}});
  }
  contest(variants, steps, rounds);
  char title[128];
  std::snprintf(title, sizeof title, "SHA3 walk, %llux%llu, %llu steps, %d rounds:",
                static_cast<unsigned long long>(width), static_cast<unsigned long long>(height),
                static_cast<unsigned long long>(steps), rounds);
  report(title, variants);
}

// Per step: one BLAKE3 of 71 bytes and 32 bytes into SHA3-256 (batched as
// the walk once did).
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

// Short layers and many rounds: the two-thread layer waits for the slower
// of its two chunk walks, so its best round needs both vCPUs undisturbed
// at once, and a short round finds such a moment far more often. For the
// same reason the scaling comes from a contest of its own, of the two
// walks alone and four times as many rounds.
void bench_blake3(int rounds) {
  const std::uint64_t width = 1024, height = 768, steps = 100000;
  const auto pixels = random_bytes(width * height * 3, 1);
  const auto seed = random_bytes(64, 2);
  const quorvex::PixelGrid grid{pixels, width, height};
  auto one = quorvex::WorkerPool::create(1, quorvex::start_posix_thread);
  auto two = quorvex::WorkerPool::create(2, quorvex::start_posix_thread);
  // A thread count set far above the CPUs: sixteen workers taking turns on
  // two CPUs, and the same sixteen chunks walked in two groups side by side.
  auto sixteen_taking_turns = quorvex::WorkerPool::create(16, quorvex::start_posix_thread);
  auto sixteen_grouped = quorvex::WorkerPool::create(16, quorvex::start_posix_thread, 2);
  std::vector<Variant> variants;
  variants.push_back({"floor: BLAKE3 + SHA3-256 calls alone", [&] { blake3_floor(steps); }, {}});
  variants.push_back(
      {"walk, t=1",
       [&] { quorvex::execute_multilayer_blake3_on(*one, seed, grid, steps, 1, nullptr); },
       {}});
  variants.push_back(
      {"walk, t=2",
       [&] { quorvex::execute_multilayer_blake3_on(*two, seed, grid, steps, 1, nullptr); },
       {}});
  variants.push_back({"walk, t=16 on 2 CPUs, a chunk each",
                      [&] {
                        quorvex::execute_multilayer_blake3_on(*sixteen_taking_turns, seed, grid,
                                                              steps, 1, nullptr);
                      },
                      {}});
  variants.push_back(
      {"walk, t=16 on 2 CPUs, in lanes",
       [&] {
         quorvex::execute_multilayer_blake3_on(*sixteen_grouped, seed, grid, steps, 1, nullptr);
       },
       {}});
  // At t = 1 a layer is one chunk walked on the calling thread: the chunk
  // walk at each level is the one-thread walk at that level.
  const auto chunk_seed = random_bytes(32, 3);
  for (SimdLevel level : runnable_levels()) {
    variants.push_back({std::string("chunk walk (t=1), ") + quorvex::simd_level_name(level),
                        [&, level] {
                          quorvex::ChunkResult result;
                          quorvex::chunk_walk(chunk_seed.data(), grid, steps, result, {}, level);
                        },
                        {}});
  }
  contest(variants, steps, rounds);
  char title[128];
  std::snprintf(title, sizeof title,
                "BLAKE3 walk, 1024x768, %llu steps per layer, %d rounds (walks at the active "
                "level):",
                static_cast<unsigned long long>(steps), rounds);
  report(title, variants);
  std::vector<Variant> scaling{{variants[1].name, variants[1].run, {}},
                               {variants[2].name, variants[2].run, {}}};
  contest(scaling, steps, 4 * rounds);
  std::printf("  two-thread scaling, %d rounds of t=1 and t=2 alone: %.2fx (median %.2fx)\n",
              4 * rounds, best_ratio(scaling[1], scaling[0]), median_ratio(scaling[1], scaling[0]));

  for (auto* pool : {one.get(), two.get()}) {
    const std::uint64_t layers = 2500, t = pool->thread_count();
    std::vector<double> per_layer;
    for (int round = 0; round < rounds; ++round) {
      const auto start = Clock::now();
      quorvex::execute_multilayer_blake3_on(*pool, seed, grid, t, layers, nullptr);
      per_layer.push_back(seconds_since(start) / static_cast<double>(layers));
    }
    std::printf(
        "BLAKE3 tiny layers t=%llu (steps = t, %llu layers): %6.2f us per layer (median %.2f)\n",
        static_cast<unsigned long long>(t), static_cast<unsigned long long>(layers),
        *std::min_element(per_layer.begin(), per_layer.end()) * 1e6, median(per_layer) * 1e6);
  }
}

}  // namespace

// quorvex_bench [all|sha3|blake3] [rounds] [--libgcrypt-as=avx2|scalar]
// The last option measures the floor as libgcrypt runs on a CPU of that
// level, the floor that the level's walk replaces there: without AVX-512,
// or also without AVX2 and BMI2 (its portable Keccak).
int main(int argc, char** argv) {
  const std::string which = argc > 1 ? argv[1] : "all";
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 15;
  const std::string cpu = argc > 3 ? argv[3] : "";
  if (cpu == "--libgcrypt-as=avx2" || cpu == "--libgcrypt-as=scalar") {
    std::vector<const char*> features{"intel-avx512"};
    if (cpu == "--libgcrypt-as=scalar") features.insert(features.end(), {"intel-avx2", "intel-bmi2"});
    std::printf("libgcrypt without:");
    for (const char* feature : features) {
      gcry_control(GCRYCTL_DISABLE_HWF, feature, nullptr);
      std::printf(" %s", feature);
    }
    std::printf("\n");
  } else if (!cpu.empty()) {
    std::fprintf(stderr, "unknown option %s\n", cpu.c_str());
    return 2;
  }
  std::printf("SIMD level: supported %s, active %s\n",
              quorvex::simd_level_name(quorvex::supported_simd_level()),
              quorvex::simd_level_name(quorvex::active_simd_level()));
  if (which == "all" || which == "sha3") {
    bench_sha3(1024, 768, 50000, rounds);
    bench_sha3(64, 64, 50000, rounds);
  }
  if (which == "all" || which == "blake3") bench_blake3(4 * rounds);
  return 0;
}
