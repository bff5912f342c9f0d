#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string_view>
#include <utility>
#include <vector>

namespace lumo::typing::text {

// One distinct token of a list: where it first occurs and how often.
struct TokenRun {
  std::size_t first;
  std::size_t count;
};

namespace detail {

// A token's place in byte order, packed in one number: a token of up to seven bytes is its
// bytes, big-endian and zero-padded, with its size in the lowest byte, so that comparing the
// numbers compares the tokens exactly (a zero-padded shorter token sorts first, and equal
// padded bytes fall to the size). A longer token keeps its first seven bytes and 0xFF there
// instead: it sorts after every shorter token with those bytes, and only longer tokens that
// share their first seven bytes tie and need their text compared.
struct OrderKey {
  std::uint64_t key;
  std::uint32_t index;
};

inline constexpr std::uint64_t kLongToken = 0xFF;

inline std::uint64_t LoadBigEndian64(const char* p) {
  std::uint64_t word;
  std::memcpy(&word, p, 8);
  return __builtin_bswap64(word);
}

inline std::uint64_t LoadBigEndian32(const char* p) {
  std::uint32_t word;
  std::memcpy(&word, p, 4);
  return __builtin_bswap32(word);
}

// The first min(n, 8) bytes at p, left-aligned in a big-endian number and zero-padded. Only
// whole, possibly overlapping, loads inside [p, p + n): assembling the bytes in a buffer and
// reading it back as one word would stall on store forwarding.
inline std::uint64_t LeadingBytes(const char* p, std::size_t n) {
  if (n >= 8) return LoadBigEndian64(p);
  if (n >= 4) return (LoadBigEndian32(p) << 32) | (LoadBigEndian32(p + n - 4) << (8 * (8 - n)));
  if (n == 0) return 0;
  const auto byte = [p](std::size_t i) { return static_cast<std::uint64_t>(static_cast<unsigned char>(p[i])); };
  return (byte(0) << 56) | (byte(n >> 1) << (56 - 8 * (n >> 1))) | (byte(n - 1) << (56 - 8 * (n - 1)));
}

inline OrderKey MakeOrderKey(std::string_view token, std::size_t index) {
  const std::size_t n = token.size();
  const std::uint64_t key =
      n <= 7 ? LeadingBytes(token.data(), n) | n : (LeadingBytes(token.data(), 8) & ~std::uint64_t{0xFF}) | kLongToken;
  return {key, static_cast<std::uint32_t>(index)};
}

inline bool IsLong(const OrderKey& key) { return (key.key & 0xFF) == kLongToken; }

}  // namespace detail

// The distinct tokens of a list in ascending byte order of their text, each with its first
// position and its number of occurrences. Sorting compact keys is cheaper than a hash map
// for document-sized lists, and it yields the key order that sparse vectors are returned in.
inline std::vector<TokenRun> DistinctRuns(const std::vector<std::string_view>& tokens) {
  using detail::OrderKey;
  if (tokens.size() > 0xFFFFFFFFu) throw std::length_error("token list too long");
  std::vector<OrderKey> keys(tokens.size());
  for (std::size_t i = 0; i < tokens.size(); ++i) keys[i] = detail::MakeOrderKey(tokens[i], i);
  std::sort(keys.begin(), keys.end(), [](const OrderKey& a, const OrderKey& b) { return a.key < b.key; });
  auto text = [&tokens](const OrderKey& key) { return tokens[key.index]; };
  // Long tokens with one seven-byte prefix are adjacent now: put each such group in text order.
  for (std::size_t i = 0; i < keys.size();) {
    std::size_t j = i + 1;
    while (j < keys.size() && keys[j].key == keys[i].key) ++j;
    if (j - i > 1 && detail::IsLong(keys[i])) {
      std::sort(keys.begin() + i, keys.begin() + j,
                [&text](const OrderKey& a, const OrderKey& b) { return text(a).compare(text(b)) < 0; });
    }
    i = j;
  }
  auto same = [&text](const OrderKey& a, const OrderKey& b) {
    return a.key == b.key && (!detail::IsLong(a) || text(a) == text(b));
  };
  std::vector<TokenRun> runs;
  runs.reserve(keys.size());
  for (std::size_t i = 0; i < keys.size();) {
    std::size_t j = i + 1;
    std::uint32_t first = keys[i].index;  // the sort is not stable
    while (j < keys.size() && same(keys[j], keys[i])) first = std::min(first, keys[j++].index);
    runs.push_back({first, j - i});
    i = j;
  }
  return runs;
}

// Sorting (value, position) pairs keeps the values beside the positions, so the sort never
// looks back into the token list.
inline std::vector<TokenRun> DistinctRuns(const std::vector<long long>& tokens) {
  std::vector<std::pair<long long, std::size_t>> order(tokens.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = {tokens[i], i};
  std::sort(order.begin(), order.end());
  std::vector<TokenRun> runs;
  for (std::size_t i = 0; i < order.size();) {
    std::size_t j = i + 1;
    while (j < order.size() && order[j].first == order[i].first) ++j;
    runs.push_back({order[i].second, j - i});
    i = j;
  }
  return runs;
}

}  // namespace lumo::typing::text
