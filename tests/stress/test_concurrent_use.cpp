// Several threads share one trained encoder (and one tokenizer) and use them at once. Every
// thread compares what it gets with the single-threaded answer; the ThreadSanitizer build
// (make test-tsan) runs the same binary and fails on any data race.
#include <gtest/gtest.h>

#include <atomic>
#include <iostream>
#include <map>
#include <mutex>
#include <streambuf>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "FuzzChecks.h"
#include "bm25/BM25.h"
#include "tokenizer/jieba/Jieba.h"

namespace {

using lumo::typing::text::BM25;

constexpr int kThreads = 4;
constexpr int kRounds = 200;

// Runs `work(thread_index)` on kThreads threads released together, and returns how many calls
// disagreed with the expected results.
template <class Work>
int RunTogether(Work work) {
  std::atomic<int> ready{0};
  std::atomic<int> mismatches{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      ready.fetch_add(1);
      while (ready.load() < kThreads) std::this_thread::yield();
      mismatches.fetch_add(work(t));
    });
  }
  for (std::thread& thread : threads) thread.join();
  return mismatches.load();
}

// Takes over std::cerr while it lives and keeps what the threads write there (the mutex keeps
// concurrent writes whole, and ThreadSanitizer's view of the buffer clean). A record and its line
// feed are two writes, so another thread's record may come between them: the expected records
// are found by their text, not by lines. On leaving, everything else goes on to the real
// standard error, so only the expected records are silenced.
class StderrFilter : public std::streambuf {
 public:
  explicit StderrFilter(std::string expected) : expected_(std::move(expected)), previous_(std::cerr.rdbuf(this)) {}

  ~StderrFilter() override {
    std::cerr.rdbuf(previous_);
    int count = 0;
    const std::string rest = Rest(count);
    if (rest.find_first_not_of('\n') != std::string::npos) std::cerr << rest;
  }

  StderrFilter(const StderrFilter&) = delete;
  StderrFilter& operator=(const StderrFilter&) = delete;

  int ExpectedRecords() {
    const std::lock_guard<std::mutex> lock(mutex_);
    int count = 0;
    Rest(count);
    return count;
  }

 protected:
  int_type overflow(int_type ch) override {
    if (!traits_type::eq_int_type(ch, traits_type::eof())) {
      const std::lock_guard<std::mutex> lock(mutex_);
      text_.push_back(traits_type::to_char_type(ch));
    }
    return traits_type::not_eof(ch);
  }

  std::streamsize xsputn(const char* s, std::streamsize n) override {
    const std::lock_guard<std::mutex> lock(mutex_);
    text_.append(s, static_cast<std::size_t>(n));
    return n;
  }

 private:
  // The text without the expected records, each cut out with the time stamp before it
  // ("YYYY-MM-DD HH:MM:SS", 19 characters); `count` is how many were cut.
  std::string Rest(int& count) const {
    constexpr std::size_t kStamp = 19;
    std::string rest;
    std::size_t pos = 0;
    for (std::size_t hit; (hit = text_.find(expected_, pos)) != std::string::npos; pos = hit + expected_.size()) {
      rest.append(text_, pos, (hit - pos >= kStamp ? hit - kStamp : pos) - pos);
      ++count;
    }
    rest.append(text_, pos, std::string::npos);
    return rest;
  }

  std::mutex mutex_;
  std::string text_;
  const std::string expected_;
  std::streambuf* const previous_;
};

std::vector<std::vector<std::string>> Corpus() {
  return {{"alpha", "beta", "gamma", "alpha"},
          {"beta", "delta"},
          {"gamma", "gamma", "epsilon", "zeta", "eta"},
          {"theta", "alpha", "iota", "kappa", "beta", "lambda"},
          {"mu"}};
}

TEST(ConcurrentUse, OneTrainedEncoderServesManyThreads) {
  BM25 model(0.75, 1.2);
  for (const auto& doc : Corpus()) model.train(doc);
  model.train(std::vector<long long>{7, 7, -3, 42});

  std::vector<std::vector<std::string>> queries = Corpus();
  queries.push_back({"unseen", "alpha", "alpha"});
  const std::vector<std::vector<long long>> integer_queries = {{7, -3}, {42, 42, 1}, {-3}};

  std::vector<std::map<std::string, double>> documents, query_weights;
  std::vector<std::map<long long, double>> integer_documents, integer_query_weights;
  for (const auto& q : queries) {
    documents.push_back(model.encode_document(q));
    query_weights.push_back(model.encode_query(q));
  }
  for (const auto& q : integer_queries) {
    integer_documents.push_back(model.encode_document(q));
    integer_query_weights.push_back(model.encode_query(q));
  }

  const BM25& shared = model;
  const int mismatches = RunTogether([&](int t) {
    int wrong = 0;
    for (int round = 0; round < kRounds; ++round) {
      // Each thread starts at another query so that different calls overlap.
      const std::size_t i = static_cast<std::size_t>(round + t) % queries.size();
      const std::size_t j = static_cast<std::size_t>(round + t) % integer_queries.size();
      wrong += shared.encode_document(queries[i]) != documents[i];
      wrong += shared.encode_query(queries[i]) != query_weights[i];
      wrong += shared.encode_document(integer_queries[j]) != integer_documents[j];
      wrong += shared.encode_query(integer_queries[j]) != integer_query_weights[j];
    }
    return wrong;
  });
  EXPECT_EQ(mismatches, 0);
}

// Cut and CutForSearch on one tokenizer from several threads while encoding their words with
// one trained encoder, as a retrieval service would.
TEST(ConcurrentUse, OneTokenizerAndOneEncoderServeManyThreads) {
  const lumo::typing::text::jieba::Jieba& tokenizer = lumo::fuzz::SmallTokenizer();
  const std::vector<std::string> sentences = {
      "\xe4\xb8\xad\xe5\x9b\xbd\xe4\xba\xba\xe6\xb0\x91",
      "ab \xe4\xb8\xad\xe5\x9b\xbd\xef\xbc\x8c\xe4\xba\xba abc123",
      "\xe5\x9b\xbd\xe4\xba\xba\xe4\xb8\xad\xe4\xb8\xad\xe5\x9b\xbd\xe4\xba\xba\xe3\x80\x82xyz",
      std::string(300, 'a') + "\xe4\xb8\xad\xe5\x9b\xbd",
      "\xff invalid",
      ""};
  const std::size_t invalid = 4;
  // Every cut of the sentence that does not decode writes one record, from whichever thread
  // made it; the records are counted here instead of filling the log.
  StderrFilter filter(" csrc/tokenizer/jieba/PreFilter:24 ERROR decode failed. ");
  int invalid_cuts = 2;
  BM25 model(0.75, 1.2);
  std::vector<std::vector<std::string>> cut(sentences.size()), search(sentences.size());
  std::vector<std::map<std::string, double>> encoded(sentences.size());
  for (std::size_t i = 0; i < sentences.size(); ++i) {
    tokenizer.Cut(sentences[i], cut[i], true);
    tokenizer.CutForSearch(sentences[i], search[i], true);
    if (!cut[i].empty()) model.train(cut[i]);
  }
  for (std::size_t i = 0; i < sentences.size(); ++i) encoded[i] = model.encode_query(search[i]);
  const BM25& shared = model;

  const int mismatches = RunTogether([&](int t) {
    int wrong = 0;
    std::vector<std::string> words;
    for (int round = 0; round < kRounds; ++round) {
      const std::size_t i = static_cast<std::size_t>(round + t) % sentences.size();
      tokenizer.Cut(sentences[i], words, true);
      wrong += words != cut[i];
      tokenizer.CutForSearch(sentences[i], words, true);
      wrong += words != search[i];
      wrong += shared.encode_query(words) != encoded[i];
    }
    return wrong;
  });
  EXPECT_EQ(mismatches, 0);
  for (int t = 0; t < kThreads; ++t)
    for (int round = 0; round < kRounds; ++round) invalid_cuts += 2 * ((round + t) % sentences.size() == invalid);
  EXPECT_EQ(filter.ExpectedRecords(), invalid_cuts);
}

}  // namespace
