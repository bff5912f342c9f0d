// Builds and drops many encoders and tokenizers, with model files written and read back and with
// loads and constructions that fail half-way. The loops check their results; the memory checks
// are LeakSanitizer in `make test-asan` and valgrind in `make leak-check`, both over this suite.
#include <gtest/gtest.h>

#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "FuzzChecks.h"
#include "capture_stderr.h"
#include "lexical_test_support.h"

namespace {

using lumo::fuzz::BM25;
namespace jieba = lumo::typing::text::jieba;
namespace limonp = lumo::typing::text::limonp;

constexpr int kIterations = 40;

TEST(LeakLoop, EncodersTrainDumpLoadAndFailAgainAndAgain) {
  lexical_test::TempDir dir;
  const std::string path = dir.Path("model.json");
  for (int i = 0; i < kIterations; ++i) {
    BM25 model(0.75, 1.2);
    model.train(std::vector<std::string>{"a", "b", "token " + std::to_string(i)});
    model.train(std::vector<long long>{i, -i, 7});
    model.dump(path);
    const std::string text = lumo::fuzz::Scratch::Get().Read(path);
    BM25 copy(0.0, 0.0);
    copy.load(text);
    EXPECT_EQ(copy.doc_count(), 2);
    EXPECT_EQ(copy.encode_query(std::vector<std::string>{"a"}), model.encode_query(std::vector<std::string>{"a"}));
    // Failures part-way through: a wrong member after a whole token table, a bad number inside it.
    CaptureStderr quiet;
    EXPECT_THROW(copy.load("{\"_doc_token_frequency\" : {\"x\" : 1, \"y\" : 2}, \"_doc_count\" : 1.5}"),
                 std::runtime_error);
    EXPECT_THROW(copy.load("{\"_doc_token_frequency\" : {\"x\" : 99999999999999999999}}"), std::out_of_range);
    EXPECT_THROW(copy.load("[[[[[[" + std::string(2000, '[')), std::runtime_error);
    EXPECT_THROW(BM25(0.75, 1.2).encode_document(std::vector<std::string>{"a"}), std::runtime_error);
    EXPECT_THROW(model.dump(dir.Path("missing/model.json")), std::runtime_error);
  }
}

TEST(LeakLoop, TokenizersBuildCutAndFailAgainAndAgain) {
  lexical_test::TempDir dir;
  const std::string dict = dir.Write("main.dict", lumo::fuzz::kFuzzMainDict);
  const std::string hmm = dir.Write("model.hmm", lumo::fuzz::kFuzzHmm);
  const std::string user = dir.Write("user.dict", "\xe4\xba\xba\xe6\xb0\x91 nr\nxyz 3 eng\n");
  const std::string idf = dir.Write("words.idf", lumo::fuzz::kFuzzIdf);
  const std::string stop = dir.Write("stop.txt", lumo::fuzz::kFuzzStopWords);
  const std::string truncated_hmm = dir.Write("truncated.hmm", std::string(lumo::fuzz::kFuzzHmm).substr(0, 150));
  const std::string broken_dict = dir.Write("broken.dict", "\xe4\xb8\xad 20 n\n\xe5\x9b\xbd  8 n\n");
  const std::string sentence = "\xe4\xb8\xad\xe5\x9b\xbd\xe4\xba\xba\xe6\xb0\x91 xyz\xef\xbc\x8c\xe4\xb8\xad";
  std::vector<std::string> first;
  for (int i = 0; i < kIterations; ++i) {
    CaptureStderr quiet;
    jieba::Jieba tokenizer(dict, hmm, user, idf, stop);
    std::vector<std::string> words;
    tokenizer.Cut(sentence, words, true);
    if (i == 0) first = words;
    EXPECT_EQ(words, first);
    tokenizer.CutForSearch(sentence, words, true);
    EXPECT_FALSE(words.empty());
    // Each resource fails in turn, after the ones before it were fully built.
    EXPECT_THROW(jieba::Jieba(broken_dict, hmm, user, idf, stop), limonp::FatalError);
    EXPECT_THROW(jieba::Jieba(dict, truncated_hmm, user, idf, stop), limonp::FatalError);
    EXPECT_THROW(jieba::Jieba(dict, hmm, user + ";" + dir.Path("none"), idf, stop), limonp::FatalError);
    EXPECT_THROW(jieba::Jieba(dict, hmm, user, dir.Path("none"), stop), limonp::FatalError);
    EXPECT_THROW(jieba::Jieba(dict, hmm, user, idf, dir.Path("none")), limonp::FatalError);
  }
}

}  // namespace
