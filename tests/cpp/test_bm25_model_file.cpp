// What Python cannot reach: the token-key escaping on its own, and write failures injected
// into the model writer's stream.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <streambuf>
#include <string>
#include <vector>

#include "bm25/BM25.h"
#include "bm25/ModelFileWriter.h"
#include "bm25/ModelText.h"
#include "capture_stderr.h"
#include "json/JSON.h"
#include "json/StringEscape.h"

namespace fs = std::filesystem;
using lumo::typing::text::BM25;
using lumo::typing::text::ParseModelText;
using lumo::typing::text::WriteModelFile;
using lumo::typing::text::json::JSON;

namespace {

// A token as the model file writes it: a member name in standard JSON.
std::string EscapeTokenKey(const std::string& token) {
  std::string key;
  lumo::typing::text::json::AppendStandardEscaped(key, token);
  return key;
}

// The tokens of a model text whose token object has the member names given as written.
std::vector<std::string> TokensRead(const std::string& written) {
  const auto model = ParseModelText("{\"_doc_token_frequency\": {\"" + written +
                                    "\": 1}, \"_doc_count\": 1, \"_doc_length_average\": 1.0, "
                                    "\"_b\": 0.5, \"_k1\": 1.0}");
  std::vector<std::string> tokens;
  for (const auto& entry : model.token_frequency) tokens.push_back(entry.first);
  return tokens;
}

// The token as a model file gives it back: written as a member name and read.
std::string ThroughFile(const std::string& token) {
  const auto tokens = TokensRead(EscapeTokenKey(token));
  return tokens.size() == 1 ? tokens[0] : "<lost>";
}

TEST(TokenKey, WrittenFormIsStandardJson) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"plain \xe4\xb8\xad\x7f/", "plain \xe4\xb8\xad\x7f/"},  // unchanged
      {"a\"b", "a\\\"b"},
      {"a\\b\\", "a\\\\b\\\\"},
      {"\\u0041", "\\u005cu0041"},  // not to be taken for an escape once parsed
      {"\\\\u", "\\\\\\u005cu"},
      {"\b\t\n\f\r", "\\b\\t\\n\\f\\r"},
      {std::string("\0\x01\x0b\x1f", 4), "\\u0000\\u0001\\u000b\\u001f"}};
  for (const auto& [token, written] : cases) {
    EXPECT_EQ(EscapeTokenKey(token), written);
    EXPECT_EQ(ThroughFile(token), token);
  }
}

TEST(TokenKey, EveryByteInEveryNeighbourhoodRoundTrips) {
  // The last two: the bytes a lone high and a lone low surrogate escape read as.
  const std::vector<std::string> neighbours = {"",      "\\",      "u",    "\\u",          "\"",
                                               "u0041", "\\u0041", "\\\\", "\xed\xa0\xbd", "\xed\xb8\x80"};
  for (int byte = 0; byte < 256; ++byte) {
    const std::string b(1, static_cast<char>(byte));
    for (const std::string& n : neighbours)
      for (const std::string& token : {b + n, n + b, n + b + n}) ASSERT_EQ(ThroughFile(token), token) << byte;
  }
}

TEST(TokenKey, UnicodeEscapesOfOtherWritersDecode) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"\\u0041b", "Ab"},
      {"\\u4e2d\\u00E9", "\xe4\xb8\xad\xc3\xa9"},
      {"\\ud83d\\ude00", "\xf0\x9f\x98\x80"},
      {"\\ud83dx", "\xed\xa0\xbdx"},  // a lone surrogate: the three bytes of its number
      {"\\\\u0041", "\\u0041"},       // an escaped backslash before u is no escape
      {"a\\/b", "a/b"}};
  for (const auto& [member, token] : cases) EXPECT_EQ(TokensRead(member), std::vector<std::string>{token}) << member;
}

// Takes `capacity` bytes and then fails, as a full disk does.
class FailingBuffer : public std::streambuf {
 public:
  explicit FailingBuffer(std::size_t capacity) : room_(capacity) {}

 protected:
  int_type overflow(int_type ch) override {
    if (room_ == 0 || traits_type::eq_int_type(ch, traits_type::eof())) return traits_type::eof();
    --room_;
    return ch;
  }
  std::streamsize xsputn(const char*, std::streamsize count) override {
    const auto accepted = std::min<std::streamsize>(count, static_cast<std::streamsize>(room_));
    room_ -= static_cast<std::size_t>(accepted);
    return accepted;
  }

 private:
  std::size_t room_;
};

BM25 Example() {
  BM25 model(0.75, 1.2);
  model.train(std::vector<std::string>{"a", "b"});
  return model;
}

TEST(ModelFile, FailingStreamRaisesInsteadOfReturning) {
  std::ostringstream whole;
  Example().dump(whole);
  const std::size_t size = whole.str().size();
  for (std::size_t capacity : {std::size_t{0}, std::size_t{1}, size / 2, size - 1, size}) {
    FailingBuffer buffer(capacity);
    std::ostream out(&buffer);
    if (capacity == size) {
      EXPECT_NO_THROW(Example().dump(out));
      continue;
    }
    try {
      Example().dump(out);
      ADD_FAILURE() << "dump returned although the stream failed at " << capacity;
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "Failed to dump: Unable to write file");
    }
  }
}

class ModelFileOnDisk : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::path(::testing::TempDir()) / "modelfileXXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    target_ = dir_ / "model.json";
    std::ofstream(target_) << "earlier model";
  }
  void TearDown() override { fs::remove_all(dir_); }

  // The earlier file is intact and no temporary file is left beside it.
  void ExpectUntouched() const {
    std::ifstream in(target_);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "earlier model");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1);
  }

  fs::path dir_, target_;
};

TEST_F(ModelFileOnDisk, WriteErrorKeepsTheEarlierFile) {
  try {
    WriteModelFile(target_.string(), [](std::ostream& out) {
      out << "half a docu";
      out.setstate(std::ios::badbit);  // the disk fills up here
      Example().dump(out);
    });
    ADD_FAILURE() << "write error not reported";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Failed to dump: Unable to write file");
  }
  ExpectUntouched();
}

TEST_F(ModelFileOnDisk, ProducerFailureKeepsTheEarlierFile) {
  EXPECT_THROW(WriteModelFile(target_.string(),
                              [](std::ostream& out) {
                                out << std::string(1 << 20, 'x');  // more than a buffer reaches the disk
                                throw std::bad_alloc();
                              }),
               std::bad_alloc);
  ExpectUntouched();
}

}  // namespace

// The model reader parses what it ignores without building it, and decodes member names; the
// diagnostics are those of parsing the whole document, line for line.
TEST(ModelText, DiagnosticsAreThoseOfTheWholeParse) {
  const std::vector<std::string> texts = {
      "{\"junk\": [[], [1 2], {\"a\" 1}, tru, nul, 1.5x, \"\\uZZ\"], \"_doc_count\": 1}",
      "{\"_doc_token_frequency\": {\"a\": [1,], \"b\": {,}, \"c\": 1e}, \"_doc_count\": 1,}",
      "{\"_b\": [" + std::string(600, '[') + "], \"_k1\": {\"x\": " + std::string(600, '{') + "}}",
      "[[], {\"a\": 1} x, 3",
      "{\"\\ud83d\": 1, [\"key\"]: 2, 3 4}",
      "{\"_doc_token_frequency\": {\"x\": 1, \"y\" 2}, \"_doc_count\": 1, \"_doc_length_average\": 1.0}",
      "{\"_doc_count\": 1, \"unclosed",
  };
  for (const std::string& text : texts) {
    std::string whole, model;
    {
      CaptureStderr capture;
      JSON::Load(text);
      whole = capture.text();
    }
    {
      CaptureStderr capture;
      try {
        ParseModelText(text);
      } catch (const std::exception&) {
      }
      model = capture.text();
    }
    EXPECT_FALSE(whole.empty()) << text;
    EXPECT_EQ(model, whole) << text;
  }
}

// Duplicate names: the later member wins, in the order of the text, as in a JSON object.
TEST(ModelText, LaterDuplicatesWinInTextOrder) {
  const auto model = ParseModelText(
      "{\"_doc_count\": \"no\", \"_doc_token_frequency\": {\"A\": 1, \"\\u0041\": 2, \"b\": \"x\", \"b\": 3}, "
      "\"_doc_count\": 4, \"_doc_length_average\": 1.0, \"_b\": 0.5, \"_k1\": 1.0}");
  EXPECT_EQ(model.doc_count, 4);
  EXPECT_EQ(model.doc_length_total, 4);
  EXPECT_EQ(model.token_frequency.size(), 2u);
  EXPECT_EQ(model.token_frequency.at("A"), 2);
  EXPECT_EQ(model.token_frequency.at("b"), 3);
}

// Whether a model's statistics can encode is the encoder's own rule: a caller that reads the
// statistics (the command line) refuses exactly the models whose encoding would throw.
TEST(ModelText, CanEncodeIsTheEncodersRule) {
  struct Case {
    const char* count;
    const char* average;
    bool encodes;
  };
  for (const Case& c : {Case{"0", "0.0", false}, Case{"0", "2.0", false}, Case{"5", "0.0", false},
                        Case{"1", "0.0000000001", false}, Case{"1", "0.000000001", true}, Case{"1", "1.0", true}}) {
    const std::string text = std::string("{\"_b\": 0.75, \"_doc_count\": ") + c.count +
                             ", \"_doc_length_average\": " + c.average +
                             ", \"_doc_token_frequency\": {\"a\": 1}, \"_k1\": 1.2}";
    const auto statistics = ParseModelText(text);
    EXPECT_EQ(lumo::typing::text::CanEncode(statistics.doc_count, statistics.doc_length_average), c.encodes) << text;
    BM25 model(0.75, 1.2);
    model.load(text);
    bool encoded = true;
    try {
      model.encode_query(std::vector<std::string>{"a"});
    } catch (const std::runtime_error&) {
      encoded = false;
    }
    EXPECT_EQ(encoded, c.encodes) << text;
  }
}
