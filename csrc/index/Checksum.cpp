#include "index/Checksum.h"

#include <cstring>

namespace lumo::index {
namespace {
constexpr std::uint64_t kPrime1 = 0x9E3779B185EBCA87ULL;
constexpr std::uint64_t kPrime2 = 0xC2B2AE3D27D4EB4FULL;
constexpr std::uint64_t kPrime3 = 0x165667B19E3779F9ULL;

inline std::uint64_t Rotl(std::uint64_t x, int r) { return (x << r) | (x >> (64 - r)); }
inline std::uint64_t Lane(std::uint64_t acc, std::uint64_t word) { return Rotl(acc + word * kPrime2, 31) * kPrime1; }
inline std::uint64_t Load64(const unsigned char* p) {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}
}  // namespace

std::uint64_t Checksum64(const void* data, std::size_t size) {
  const auto* p = static_cast<const unsigned char*>(data);
  std::uint64_t a = kPrime1 + kPrime2, b = kPrime2, c = 0, d = 0 - kPrime1;
  std::size_t i = 0;
  for (; i + 32 <= size; i += 32) {
    a = Lane(a, Load64(p + i));
    b = Lane(b, Load64(p + i + 8));
    c = Lane(c, Load64(p + i + 16));
    d = Lane(d, Load64(p + i + 24));
  }
  std::uint64_t h = Rotl(a, 1) + Rotl(b, 7) + Rotl(c, 12) + Rotl(d, 18) + static_cast<std::uint64_t>(size);
  for (; i + 8 <= size; i += 8) h = Rotl(h ^ Lane(0, Load64(p + i)), 27) * kPrime1 + kPrime3;
  for (; i < size; ++i) h = Rotl(h ^ (p[i] * kPrime3), 11) * kPrime1;
  h ^= h >> 33;
  h *= kPrime2;
  h ^= h >> 29;
  h *= kPrime3;
  h ^= h >> 32;
  return h;
}

std::string ChecksumText(std::uint64_t checksum) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out(16, '0');
  for (int i = 15; i >= 0; --i) {
    out[static_cast<std::size_t>(i)] = kHex[checksum & 15u];
    checksum >>= 4;
  }
  return out;
}

}  // namespace lumo::index
