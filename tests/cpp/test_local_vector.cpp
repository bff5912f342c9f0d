#include <gtest/gtest.h>

#include <cstdint>
#include <utility>

#include "tokenizer/limonp/LocalVector.h"

using lumo::typing::text::limonp::LocalVector;

namespace {

LocalVector<std::uint32_t> Filled(std::size_t n) {
  LocalVector<std::uint32_t> v;
  for (std::size_t i = 0; i < n; ++i) {
    v.push_back(static_cast<std::uint32_t>(i * 7));
  }
  return v;
}

void ExpectElements(const LocalVector<std::uint32_t>& v, std::size_t n) {
  ASSERT_EQ(v.size(), n);
  std::size_t i = 0;
  for (std::uint32_t x : v) {
    EXPECT_EQ(x, i * 7) << "at " << i;
    ++i;
  }
  EXPECT_EQ(i, n);
}

struct GrowthCase {
  std::size_t pushes;
  std::size_t capacity;
  bool local;
};

class LocalVectorGrowth : public ::testing::TestWithParam<GrowthCase> {};

TEST_P(LocalVectorGrowth, DoublesWhenFull) {
  const GrowthCase c = GetParam();
  LocalVector<std::uint32_t> v = Filled(c.pushes);
  EXPECT_EQ(v.capacity(), c.capacity);
  EXPECT_EQ(v.is_local(), c.local);
  EXPECT_EQ(v.empty(), c.pushes == 0);
  ExpectElements(v, c.pushes);
}

INSTANTIATE_TEST_SUITE_P(Pushes, LocalVectorGrowth,
                         ::testing::Values(GrowthCase{0, 16, true}, GrowthCase{16, 16, true},
                                           GrowthCase{17, 32, false}, GrowthCase{32, 32, false},
                                           GrowthCase{33, 64, false}, GrowthCase{100, 128, false}));

TEST(LocalVector, ReserveTakesExactlyTheRequestedBlockAndNeverShrinks) {
  LocalVector<std::uint32_t> v = Filled(5);
  v.reserve(10);  // within the inline buffer: nothing happens
  EXPECT_TRUE(v.is_local());
  EXPECT_EQ(v.capacity(), 16u);
  v.reserve(20);
  EXPECT_FALSE(v.is_local());
  EXPECT_EQ(v.capacity(), 20u);
  ExpectElements(v, 5);
  v.reserve(18);
  EXPECT_EQ(v.capacity(), 20u);
  v.reserve(45);  // from one heap block to another
  EXPECT_EQ(v.capacity(), 45u);
  ExpectElements(v, 5);
}

TEST(LocalVector, ReserveThenFillDoublesFromTheReservedCapacity) {
  LocalVector<std::uint32_t> v;
  v.reserve(20);
  for (std::uint32_t i = 0; i < 21; ++i) {
    v.push_back(i * 7);
  }
  EXPECT_EQ(v.capacity(), 40u);
  ExpectElements(v, 21);
}

TEST(LocalVector, ClearReturnsToTheInlineBuffer) {
  LocalVector<std::uint32_t> v = Filled(40);
  v.clear();
  EXPECT_TRUE(v.empty());
  EXPECT_TRUE(v.is_local());
  EXPECT_EQ(v.capacity(), 16u);
  v.push_back(0);
  ExpectElements(v, 1);
}

TEST(LocalVector, PushingOwnElementWhileGrowingCopiesTheValue) {
  LocalVector<std::uint32_t> v = Filled(16);
  v.push_back(v[3]);  // the storage moves while the argument points into it
  ASSERT_EQ(v.size(), 17u);
  EXPECT_EQ(v[16], 21u);
}

class LocalVectorCopy : public ::testing::TestWithParam<std::pair<std::size_t, std::size_t>> {};

// Copies keep size and capacity, own their storage, and assignment replaces what was there.
TEST_P(LocalVectorCopy, CopiesAreIndependent) {
  const auto [source_size, target_size] = GetParam();
  const LocalVector<std::uint32_t> source = Filled(source_size);

  LocalVector<std::uint32_t> constructed(source);
  EXPECT_EQ(constructed.capacity(), source.capacity());
  EXPECT_EQ(constructed.is_local(), source.is_local());
  ExpectElements(constructed, source_size);

  LocalVector<std::uint32_t> assigned = Filled(target_size);
  assigned = source;
  EXPECT_EQ(assigned.capacity(), source.capacity());
  EXPECT_EQ(assigned.is_local(), source.is_local());
  ExpectElements(assigned, source_size);

  LocalVector<std::uint32_t>& alias = assigned;
  assigned = alias;  // self-assignment keeps the elements
  ExpectElements(assigned, source_size);

  if (source_size > 0) {
    constructed[0] = 999;
    assigned[0] = 998;
    EXPECT_EQ(source[0], 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, LocalVectorCopy,
                         ::testing::Values(std::make_pair(3, 0), std::make_pair(3, 40), std::make_pair(40, 3),
                                           std::make_pair(40, 70), std::make_pair(0, 40)));

}  // namespace
