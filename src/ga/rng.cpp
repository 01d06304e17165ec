#include "ga/rng.hpp"

#include <sys/random.h>

#include <bit>
#include <cerrno>
#include <cmath>
#include <random>

#include "errors.hpp"

namespace morvel::ga {
namespace {

constexpr u128 kMultiplier =
    (static_cast<u128>(0x2360ED051FC65DA4ull) << 64) | 0x4385DF649FCCF645ull;
constexpr std::uint64_t kSeedMultiplier = 6364136223846793005ull;
constexpr std::uint64_t kSeedIncrement = 11634580027462260723ull;

// Start of the tail and the common area of the ziggurat's 256 layers.
constexpr double kTailStart = 3.654152885361009;
constexpr double kLayerArea = 0.00492867323399;

double gauss(double t) { return std::exp(-t * t / 2.0); }

ZigguratTables build_tables() {
  ZigguratTables t{};
  t.x[0] = kLayerArea / gauss(kTailStart);
  t.x[1] = kTailStart;
  for (std::size_t i = 1; i < 255; ++i) {
    t.x[i + 1] = std::sqrt(-2.0 * std::log(kLayerArea / t.x[i] + gauss(t.x[i])));
  }
  t.x[256] = 0.0;
  for (std::size_t i = 0; i < 256; ++i) t.f[i] = gauss(t.x[i]);
  t.f[256] = 1.0;
  return t;
}

}  // namespace

const ZigguratTables& ziggurat_tables() {
  static const ZigguratTables tables = build_tables();
  return tables;
}

Rng Rng::from_state(u128 state) { return Rng(state); }

Rng Rng::from_bytes(const std::array<std::uint8_t, 16>& bytes) {
  u128 s = 0;
  for (std::size_t i = 16; i-- > 0;) s = (s << 8) | bytes[i];
  return Rng(s);
}

Rng Rng::from_seed(std::uint64_t seed) {
  std::array<std::uint8_t, 16> bytes{};
  std::uint64_t t = seed;
  for (std::size_t word = 0; word < 4; ++word) {
    t = t * kSeedMultiplier + kSeedIncrement;
    const auto xorshifted = static_cast<std::uint32_t>(((t >> 18) ^ t) >> 27);
    const std::uint32_t out = std::rotr(xorshifted, static_cast<int>(t >> 59));
    for (std::size_t b = 0; b < 4; ++b) {
      bytes[4 * word + b] = static_cast<std::uint8_t>(out >> (8 * b));
    }
  }
  return from_bytes(bytes);
}

Rng Rng::from_os() {
  std::array<std::uint8_t, 16> bytes{};
  std::size_t got = 0;
  while (got < bytes.size()) {
    const ssize_t n = getrandom(bytes.data() + got, bytes.size() - got, 0);
    if (n > 0) {
      got += static_cast<std::size_t>(n);
    } else if (n < 0 && errno != EINTR) {
      break;
    }
  }
  if (got < bytes.size()) {
    // No getrandom (old kernel, seccomp): the C++ library's device reads the same source.
    std::random_device device("/dev/urandom");
    for (std::size_t i = 0; i < bytes.size(); i += 4) {
      const std::uint32_t word = device();
      for (std::size_t b = 0; b < 4; ++b) bytes[i + b] = static_cast<std::uint8_t>(word >> (8 * b));
    }
  }
  return from_bytes(bytes);
}

std::uint64_t Rng::next_u64() {
  state_ *= kMultiplier;
  const auto hi = static_cast<std::uint64_t>(state_ >> 64);
  const auto lo = static_cast<std::uint64_t>(state_);
  return std::rotr(hi ^ lo, static_cast<int>(hi >> 58));
}

double Rng::uniform() { return static_cast<double>(next_u64() >> 11) * 0x1.0p-53; }

double Rng::open01() {
  const double one_to_two = std::bit_cast<double>((next_u64() >> 12) | 0x3FF0000000000000ull);
  return one_to_two - (1.0 - 0x1.0p-53);
}

// Multiply-and-shift with one extra draw on the rare low products that could carry, so
// the result is unbiased without a rejection loop.
std::uint64_t Rng::uniform_int(std::uint64_t a, std::uint64_t b) {
  if (!(b > a)) internal_fail("cannot sample empty range");
  const std::uint64_t n = b - a;
  if (b <= 0xFFFFFFFFull) {
    const auto n32 = static_cast<std::uint32_t>(n);
    const std::uint64_t m = static_cast<std::uint64_t>(next_u32()) * n32;
    std::uint64_t result = a + (m >> 32);
    const auto low = static_cast<std::uint32_t>(m);
    if (low > static_cast<std::uint32_t>(0u - n32)) {
      const std::uint64_t extra = (static_cast<std::uint64_t>(next_u32()) * n32) >> 32;
      if (static_cast<std::uint64_t>(low) + extra > 0xFFFFFFFFull) result += 1;
    }
    return result;
  }
  const u128 m = static_cast<u128>(next_u64()) * n;
  std::uint64_t result = a + static_cast<std::uint64_t>(m >> 64);
  const auto low = static_cast<std::uint64_t>(m);
  if (low > 0 - n) {
    const auto extra = static_cast<std::uint64_t>((static_cast<u128>(next_u64()) * n) >> 64);
    if (low + extra < low) result += 1;
  }
  return result;
}

double Rng::normal() {
  const ZigguratTables& t = ziggurat_tables();
  for (;;) {
    const std::uint64_t bits = next_u64();
    const std::size_t i = bits & 0xFF;
    const double u = std::bit_cast<double>((bits >> 12) | 0x4000000000000000ull) - 3.0;
    const double z = u * t.x[i];
    if (std::fabs(z) < t.x[i + 1]) return z;
    if (i == 0) {
      // The tail beyond kTailStart, by Marsaglia's exponential method.
      double a = 0.0;
      double c = 0.0;
      do {
        a = std::log(open01()) / kTailStart;
        c = std::log(open01());
      } while (!(a * a <= -2.0 * c));
      return u < 0.0 ? a - kTailStart : kTailStart - a;
    }
    const double w = uniform();
    if (std::exp(-z * z / 2.0) > t.f[i + 1] + w * (t.f[i] - t.f[i + 1])) return z;
  }
}

}  // namespace morvel::ga
