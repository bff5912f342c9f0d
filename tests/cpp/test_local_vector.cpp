#include <gtest/gtest.h>

#include <cstdint>
#include <tuple>

#include "tokenizer/limonp/LocalVector.h"

using Vec = lumo::typing::text::limonp::LocalVector<std::uint32_t>;

namespace {

Vec Filled(std::size_t n, std::size_t reserve = 0) {
  Vec v;
  v.reserve(reserve);
  for (std::uint32_t i = 0; i < n; ++i) v.push_back(i * 7);
  return v;
}

bool Holds(const Vec& v, std::size_t n) {
  std::size_t i = 0;
  for (std::uint32_t x : v) {
    if (x != i++ * 7) return false;
  }
  return i == n && v.size() == n;
}

// (elements appended, capacity reserved first, expected capacity): 16 inline, doubling when
// full, and a reserve takes exactly what it is asked for.
class LocalVectorGrowth : public ::testing::TestWithParam<std::tuple<int, int, int>> {};

TEST_P(LocalVectorGrowth, Capacity) {
  const auto [pushes, reserve, capacity] = GetParam();
  const Vec v = Filled(pushes, reserve);
  EXPECT_EQ(v.capacity(), static_cast<std::size_t>(capacity));
  EXPECT_EQ(v.is_local(), capacity == 16);
  EXPECT_TRUE(Holds(v, pushes));
}

INSTANTIATE_TEST_SUITE_P(Cases, LocalVectorGrowth,
                         ::testing::Values(std::make_tuple(0, 0, 16), std::make_tuple(16, 0, 16),
                                           std::make_tuple(17, 0, 32), std::make_tuple(33, 0, 64),
                                           std::make_tuple(5, 10, 16), std::make_tuple(5, 20, 20),
                                           std::make_tuple(21, 20, 40)));

TEST(LocalVector, ReserveNeverShrinksAndClearReturnsInline) {
  Vec v = Filled(5, 20);
  v.reserve(18);
  EXPECT_EQ(v.capacity(), 20u);
  v.reserve(45);
  EXPECT_EQ(v.capacity(), 45u);
  EXPECT_TRUE(Holds(v, 5));
  v.clear();
  EXPECT_TRUE(v.empty() && v.is_local() && v.capacity() == 16u);
}

// The argument points into the heap block that growing releases.
TEST(LocalVector, PushingOwnElementWhileGrowingCopiesTheValue) {
  Vec v = Filled(32);
  v.push_back(v[2]);
  EXPECT_EQ(v[32], 14u);
}

class LocalVectorCopy : public ::testing::TestWithParam<std::tuple<int, int>> {};

// Copies keep size and capacity, and own their storage.
TEST_P(LocalVectorCopy, CopiesAreIndependent) {
  const auto [source_size, target_size] = GetParam();
  const Vec source = Filled(source_size);
  Vec constructed(source);
  Vec assigned = Filled(target_size);
  assigned = source;
  Vec& alias = assigned;
  assigned = alias;
  for (Vec* copy : {&constructed, &assigned}) {
    EXPECT_EQ(copy->capacity(), source.capacity());
    EXPECT_EQ(copy->is_local(), source.is_local());
    EXPECT_TRUE(Holds(*copy, source_size));
    if (source_size > 0) (*copy)[0] = 999;
  }
  EXPECT_TRUE(Holds(source, source_size));
}

INSTANTIATE_TEST_SUITE_P(Sizes, LocalVectorCopy,
                         ::testing::Values(std::make_tuple(3, 0), std::make_tuple(3, 40), std::make_tuple(40, 3),
                                           std::make_tuple(40, 70), std::make_tuple(0, 40)));

}  // namespace
