// Training is all or nothing: whatever fails part-way (here every single allocation in turn, the
// way memory running out would), the model is exactly as before the call. Python cannot make a
// chosen allocation fail, so this is a native test. The replaceable global operator new of this
// test binary fails on request; it behaves as the standard one otherwise.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <sstream>
#include <string>
#include <vector>

#include "bm25/BM25.h"

namespace {
// -1: no failure planned; n >= 0: that many more allocations succeed, then one fails.
std::atomic<long> allocations_before_failure{-1};
}  // namespace

// GCC takes the free() below for a mismatch once operator new is inlined into a caller, though
// both sides are these two replacements.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

void* operator new(std::size_t size) {
  long left = allocations_before_failure.load();
  while (left >= 0 && !allocations_before_failure.compare_exchange_weak(left, left - 1)) {
  }
  if (left == 0) throw std::bad_alloc();
  if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
  throw std::bad_alloc();
}
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
// The nothrow forms too (std::stable_sort's buffer uses them): left to the runtime, they would
// allocate memory that the delete above hands to free().
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return ::operator new(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void operator delete(void* memory, const std::nothrow_t&) noexcept { std::free(memory); }

namespace {

using lumo::typing::text::BM25;

struct Snapshot {
  std::string text;
  std::int64_t total;
  bool operator==(const Snapshot& other) const { return text == other.text && total == other.total; }
};

Snapshot Of(const BM25& model) {
  std::ostringstream out;
  model.dump(out);
  return {out.str(), model.doc_length_total()};
}

std::vector<std::string> LongTokens(int first, int count) {
  std::vector<std::string> tokens;
  for (int i = first; i < first + count; ++i) tokens.push_back("a token too long to sit inline #" + std::to_string(i));
  return tokens;
}

BM25 Seeded() {
  BM25 model(0.75, 1.2);
  model.train(LongTokens(0, 10));
  model.train(std::vector<long long>{1, 2, 3});
  return model;
}

// Trains `train` on a seeded model with the n-th allocation failing, for n = 0, 1, 2, ... until
// the call succeeds; every failed call must leave the model as it was, and the last one must
// give what an undisturbed call gives.
template <typename Train>
void CheckEveryFailure(Train train) {
  BM25 expected = Seeded();
  train(expected);
  BM25 model = Seeded();
  const Snapshot before = Of(model);
  for (long budget = 0;; ++budget) {
    allocations_before_failure = budget;
    bool done = false;
    try {
      train(model);
      done = true;
    } catch (const std::bad_alloc&) {
    }
    allocations_before_failure = -1;
    if (done) break;
    ASSERT_TRUE(Of(model) == before) << "allocation " << budget << " failed and the model changed";
  }
  EXPECT_TRUE(Of(model) == Of(expected));
}

TEST(TrainAllOrNothing, StringTokensWithNewKeysAndGrowth) {
  // Old and new keys, repeated, and enough new ones that the index grows on the way.
  std::vector<std::string> document = LongTokens(5, 300);
  for (const auto& token : LongTokens(0, 40)) document.push_back(token);
  CheckEveryFailure([&document](BM25& model) { model.train(document); });
}

TEST(TrainAllOrNothing, IntegerTokens) {
  std::vector<long long> document;
  for (long long i = -150; i < 150; ++i) document.push_back(i * 1000003);
  document.push_back(2);
  CheckEveryFailure([&document](BM25& model) { model.train(document); });
}

TEST(TrainAllOrNothing, SeveralDocumentsAtOnce) {
  std::vector<std::vector<long long>> documents(40);
  for (std::size_t d = 0; d < documents.size(); ++d)
    for (long long i = 0; i < 9; ++i) documents[d].push_back(static_cast<long long>(d) * 100 + i);
  documents[7].clear();  // skipped, not a document
  CheckEveryFailure([&documents](BM25& model) { model.train(documents); });
}

}  // namespace
