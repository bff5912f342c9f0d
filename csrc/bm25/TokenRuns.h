#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

namespace lumo::typing::text {

// One distinct token of a list: where it first occurs and how often.
struct TokenRun {
  std::size_t first;
  std::size_t count;
};

namespace detail {

// The first eight bytes of a token as a big-endian number (zero-padded): comparing these
// numbers orders tokens like comparing their bytes, so most comparisons of a sort never
// reach memcmp. Equal prefixes fall back to the full comparison.
inline std::uint64_t OrderPrefix(std::string_view token) {
  unsigned char bytes[8] = {0, 0, 0, 0, 0, 0, 0, 0};
  std::memcpy(bytes, token.data(), std::min<std::size_t>(token.size(), 8));
  std::uint64_t prefix = 0;
  for (unsigned char byte : bytes) prefix = (prefix << 8) | byte;
  return prefix;
}

}  // namespace detail

// The distinct tokens of a list in ascending byte order of their text. Sorting a copy of
// the positions is cheaper than a hash map for document-sized lists, and it yields the key
// order that sparse vectors are returned in.
inline std::vector<TokenRun> DistinctRuns(const std::vector<std::string_view>& tokens) {
  struct Key {
    std::uint64_t prefix;
    std::size_t index;
  };
  std::vector<Key> keys(tokens.size());
  for (std::size_t i = 0; i < tokens.size(); ++i) keys[i] = {detail::OrderPrefix(tokens[i]), i};
  auto less = [&tokens](const Key& a, const Key& b) {
    if (a.prefix != b.prefix) return a.prefix < b.prefix;
    const int order = tokens[a.index].compare(tokens[b.index]);
    return order != 0 ? order < 0 : a.index < b.index;
  };
  std::sort(keys.begin(), keys.end(), less);
  std::vector<TokenRun> runs;
  for (std::size_t i = 0; i < keys.size();) {
    std::size_t j = i + 1;
    while (j < keys.size() && keys[j].prefix == keys[i].prefix && tokens[keys[j].index] == tokens[keys[i].index]) ++j;
    runs.push_back({keys[i].index, j - i});
    i = j;
  }
  return runs;
}

inline std::vector<TokenRun> DistinctRuns(const std::vector<long long>& tokens) {
  std::vector<std::size_t> order(tokens.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::sort(order.begin(), order.end(), [&tokens](std::size_t a, std::size_t b) {
    return tokens[a] != tokens[b] ? tokens[a] < tokens[b] : a < b;
  });
  std::vector<TokenRun> runs;
  for (std::size_t i = 0; i < order.size();) {
    std::size_t j = i + 1;
    while (j < order.size() && tokens[order[j]] == tokens[order[i]]) ++j;
    runs.push_back({order[i], j - i});
    i = j;
  }
  return runs;
}

}  // namespace lumo::typing::text
