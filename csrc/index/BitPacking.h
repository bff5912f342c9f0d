#pragma once

// Fixed-width bit packing of small unsigned numbers into 32-bit words, lowest bits first. A
// block of postings stores its document gaps and term frequencies this way: one width per
// array, the width of its largest value.
#include <cstddef>
#include <cstdint>
#include <utility>

namespace lumo::index {

inline unsigned BitsFor(std::uint32_t largest) {
  unsigned bits = 0;
  while (bits < 32 && (largest >> bits) != 0) ++bits;
  return bits;
}

inline std::size_t PackedWords(std::size_t count, unsigned bits) { return (count * bits + 31) / 32; }

// Writes PackedWords(count, bits) words to `out`; every value must fit in `bits` bits.
inline void PackBits(const std::uint32_t* values, std::size_t count, unsigned bits, std::uint32_t* out) {
  if (bits == 0) return;
  std::uint64_t pending = 0;
  unsigned filled = 0;
  for (std::size_t i = 0; i < count; ++i) {
    pending |= static_cast<std::uint64_t>(values[i]) << filled;
    filled += bits;
    if (filled >= 32) {
      *out++ = static_cast<std::uint32_t>(pending);
      pending >>= 32;
      filled -= 32;
    }
  }
  if (filled > 0) *out = static_cast<std::uint32_t>(pending);
}

// Reads `count` values of `bits` (at most 32) bits from PackedWords(count, bits) words.
inline void UnpackBits(const std::uint32_t* words, std::size_t count, unsigned bits, std::uint32_t* values) {
  if (bits == 0) {
    for (std::size_t i = 0; i < count; ++i) values[i] = 0;
    return;
  }
  const std::uint64_t mask = (std::uint64_t{1} << bits) - 1;
  std::uint64_t pending = 0;
  unsigned available = 0;
  for (std::size_t i = 0; i < count; ++i) {
    if (available < bits) {
      pending |= static_cast<std::uint64_t>(*words++) << available;
      available += 32;
    }
    values[i] = static_cast<std::uint32_t>(pending & mask);
    pending >>= bits;
    available -= bits;
  }
}

// UnpackBits for exactly `Count` values of `Bits` bits: with both fixed, and taken 32 values
// (`Bits` whole words) at a time, every shift is a constant and the compiler unrolls the loop
// (a block of postings decodes several times faster).
template <unsigned Bits, std::size_t Count>
inline void UnpackFixed(const std::uint32_t* words, std::uint32_t* values) {
  if constexpr (Bits == 0) {
    for (std::size_t i = 0; i < Count; ++i) values[i] = 0;
  } else {
    static_assert(Count % 32 == 0, "whole groups of 32 values");
    constexpr std::uint64_t kMask = (std::uint64_t{1} << Bits) - 1;
    for (std::size_t group = 0; group < Count / 32; ++group) {
      const std::uint32_t* in = words + group * Bits;
      std::uint32_t* out = values + group * 32;
#pragma GCC unroll 32
      for (unsigned i = 0; i < 32; ++i) {
        const unsigned bit = i * Bits;
        const unsigned word = bit / 32;
        const unsigned shift = bit % 32;
        std::uint64_t pair = in[word];
        if (shift + Bits > 32) pair |= static_cast<std::uint64_t>(in[word + 1]) << 32;
        out[i] = static_cast<std::uint32_t>((pair >> shift) & kMask);
      }
    }
  }
}

template <std::size_t Count, std::size_t... Widths>
inline void UnpackFixedCount(const std::uint32_t* words, unsigned bits, std::uint32_t* values,
                             std::index_sequence<Widths...>) {
  using Unpacker = void (*)(const std::uint32_t*, std::uint32_t*);
  static constexpr Unpacker kByWidth[] = {&UnpackFixed<static_cast<unsigned>(Widths), Count>...};
  kByWidth[bits](words, values);
}

// UnpackBits for `Count` values (a full block), through the unrolled decoder of the width.
template <std::size_t Count>
inline void UnpackBlock(const std::uint32_t* words, unsigned bits, std::uint32_t* values) {
  if (bits > 32) return;
  UnpackFixedCount<Count>(words, bits, values, std::make_index_sequence<33>{});
}

}  // namespace lumo::index
