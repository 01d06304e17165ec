// The genetic search's one source of randomness: a 128-bit multiplicative congruential
// generator with an xor-shift-low / random-rotate output, seeded through four steps of a
// 64-bit LCG, plus the uniform and normal deviates drawn from it. Every operation is
// integer arithmetic or plain double precision, so a seed gives the same stream on every
// machine and with any number of threads.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace morvel::ga {

__extension__ typedef unsigned __int128 u128;

class Rng {
 public:
  // Expands a 64-bit seed to the 128-bit state.
  static Rng from_seed(std::uint64_t seed);
  // Reads 16 bytes as a little-endian 128-bit state (the lowest bit is set).
  static Rng from_bytes(const std::array<std::uint8_t, 16>& bytes);
  // 16 bytes from the operating system's random source.
  static Rng from_os();
  // A raw state; the lowest bit is set so the state stays odd.
  static Rng from_state(u128 state);

  std::uint64_t next_u64();
  std::uint32_t next_u32() { return static_cast<std::uint32_t>(next_u64()); }

  // Uniform in [0, 1) with 53 random bits.
  double uniform();
  // Uniform integer in [a, b); b > a (InternalError otherwise).
  std::uint64_t uniform_int(std::uint64_t a, std::uint64_t b);
  std::size_t index(std::size_t n) { return static_cast<std::size_t>(uniform_int(0, n)); }
  // Standard normal deviate (256-layer ziggurat).
  double normal();

  u128 state() const { return state_; }

 private:
  explicit Rng(u128 state) : state_(state | 1u) {}
  // Uniform in (0, 1): 52 random bits, never 0 or 1, for the ziggurat's tail logarithms.
  double open01();

  u128 state_;
};

// The ziggurat's layer table: x[0..256] and f[i] = exp(-x[i]^2 / 2), f[256] = 1.
struct ZigguratTables {
  std::array<double, 257> x;
  std::array<double, 257> f;
};
const ZigguratTables& ziggurat_tables();

}  // namespace morvel::ga
