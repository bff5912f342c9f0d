#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <functional>
#include <fstream>
#include <iterator>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <streambuf>
#include <string>
#include <vector>

#include "bm25/BM25.h"
#include "bm25/ModelFileWriter.h"
#include "bm25/TokenKey.h"
#include "json/JSON.h"

namespace fs = std::filesystem;
using lumo::typing::text::BM25;
using lumo::typing::text::EscapeTokenKey;
using lumo::typing::text::UnescapeTokenKey;
using lumo::typing::text::WriteModelFile;
using lumo::typing::text::json::JSON;

namespace {

const char kExampleModel[] =
    "{\n"
    "  \"_b\" : 0.750000,\n"
    "  \"_doc_count\" : 1,\n"
    "  \"_doc_length_average\" : 2.000000,\n"
    "  \"_doc_token_frequency\" : {\n"
    "    \"a\" : 1,\n"
    "    \"b\" : 1\n"
    "  },\n"
    "  \"_k1\" : 1.200000\n"
    "}";

// The token as it comes back from a model file: written as a member name, parsed, unescaped.
std::string ThroughFile(const std::string& token) {
  const JSON parsed = JSON::Load("{\"" + EscapeTokenKey(token) + "\": 1}");
  EXPECT_EQ(parsed.Entries().size(), 1u);
  return parsed.Entries().empty() ? std::string() : UnescapeTokenKey(parsed.Entries().begin()->first);
}

std::string Printable(const std::string& bytes) {
  std::ostringstream out;
  for (unsigned char c : bytes) {
    if (c >= 0x20 && c < 0x7f && c != '\\')
      out << c;
    else
      out << "\\x" << std::hex << static_cast<int>(c) << std::dec;
  }
  return out.str();
}

TEST(TokenKey, PlainTokensAreWrittenUnchanged) {
  for (const std::string token :
       {"abc", "", "42", "-5", "/slash", "\x7f", "\xe4\xb8\xad\xe6\x96\x87", "\xff\xfe"})
    EXPECT_EQ(EscapeTokenKey(token), token) << Printable(token);
}

struct KeyCase {
  const char* name;
  std::string token;
  std::string written;
};

class TokenKeyForm : public ::testing::TestWithParam<KeyCase> {};

TEST_P(TokenKeyForm, IsStandardJsonAndReadsBack) {
  EXPECT_EQ(EscapeTokenKey(GetParam().token), GetParam().written);
  EXPECT_EQ(ThroughFile(GetParam().token), GetParam().token);
}

INSTANTIATE_TEST_SUITE_P(Specials, TokenKeyForm,
                         ::testing::Values(KeyCase{"Quote", "a\"b", "a\\\"b"},
                                           KeyCase{"Backslash", "a\\b", "a\\\\b"},
                                           KeyCase{"TrailingBackslash", "a\\", "a\\\\"},
                                           KeyCase{"BackslashBeforeU", "\\u0041", "\\u005cu0041"},
                                           KeyCase{"TwoBackslashesBeforeU", "\\\\u", "\\\\\\u005cu"},
                                           KeyCase{"ShortEscapes", "\b\t\n\f\r", "\\b\\t\\n\\f\\r"},
                                           KeyCase{"Nul", std::string("a\0b", 3), "a\\u0000b"},
                                           KeyCase{"OtherControls", "\x01\x0b\x1f", "\\u0001\\u000b\\u001f"},
                                           KeyCase{"EscapeLookalike", "\\u005c", "\\u005cu005c"}),
                         [](const auto& info) { return std::string(info.param.name); });

// Every byte next to the characters that matter to the escapes, in both orders.
TEST(TokenKey, EveryByteInEveryNeighbourhoodRoundTrips) {
  const std::vector<std::string> neighbours = {"", "\\", "u", "\\u", "\"", "u0041", "\\u0041", "\\\\"};
  for (int byte = 0; byte < 256; ++byte) {
    const std::string b(1, static_cast<char>(byte));
    for (const std::string& n : neighbours) {
      for (const std::string& token : {b + n, n + b, n + b + n}) {
        ASSERT_EQ(ThroughFile(token), token) << Printable(token);
      }
    }
  }
}

struct ForeignCase {
  const char* name;
  std::string member;  // as another JSON tool may write it
  std::string token;
};

class TokenKeyForeign : public ::testing::TestWithParam<ForeignCase> {};

TEST_P(TokenKeyForeign, DecodesUnicodeEscapes) {
  const JSON parsed = JSON::Load("{\"" + GetParam().member + "\": 1}");
  ASSERT_EQ(parsed.Entries().size(), 1u);
  EXPECT_EQ(UnescapeTokenKey(parsed.Entries().begin()->first), GetParam().token);
}

INSTANTIATE_TEST_SUITE_P(Forms, TokenKeyForeign,
                         ::testing::Values(ForeignCase{"Ascii", "\\u0041b", "Ab"},
                                           ForeignCase{"Cjk", "\\u4e2d\\u6587", "\xe4\xb8\xad\xe6\x96\x87"},
                                           ForeignCase{"TwoByte", "\\u00E9", "\xc3\xa9"},
                                           ForeignCase{"SurrogatePair", "\\ud83d\\ude00", "\xf0\x9f\x98\x80"},
                                           ForeignCase{"LoneSurrogateKept", "\\ud83dx", "\\ud83dx"},
                                           ForeignCase{"EscapedSlash", "a\\/b", "a/b"}),
                         [](const auto& info) { return std::string(info.param.name); });

BM25 TrainedExample() {
  BM25 model(0.75, 1.2);
  model.train(std::vector<std::string>{"a", "b"});
  return model;
}

TEST(ModelFile, StreamsTheExampleDocument) {
  std::ostringstream out;
  TrainedExample().dump(out);
  EXPECT_EQ(out.str(), kExampleModel);
}

// A stream buffer that takes `capacity` bytes and then fails, as a full disk does.
class FailingBuffer : public std::streambuf {
 public:
  explicit FailingBuffer(std::size_t capacity) : capacity_(capacity) {}
  std::size_t taken() const { return taken_; }

 protected:
  int_type overflow(int_type ch) override {
    if (taken_ >= capacity_ || traits_type::eq_int_type(ch, traits_type::eof())) return traits_type::eof();
    ++taken_;
    return ch;
  }
  std::streamsize xsputn(const char*, std::streamsize count) override {
    const auto room = static_cast<std::streamsize>(capacity_ - taken_);
    const std::streamsize accepted = count < room ? count : room;
    taken_ += static_cast<std::size_t>(accepted);
    return accepted;
  }

 private:
  std::size_t capacity_;
  std::size_t taken_ = 0;
};

class ModelDumpToFailingStream : public ::testing::TestWithParam<std::size_t> {};

TEST_P(ModelDumpToFailingStream, RaisesInsteadOfReturning) {
  FailingBuffer buffer(GetParam());
  std::ostream out(&buffer);
  try {
    TrainedExample().dump(out);
    FAIL() << "dump returned although the stream failed";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), "Failed to dump: Unable to write file");
  }
  EXPECT_LE(buffer.taken(), GetParam());
}

INSTANTIATE_TEST_SUITE_P(Capacities, ModelDumpToFailingStream,
                         ::testing::Values(0u, 1u, 40u, sizeof kExampleModel - 2));

TEST(ModelFile, StreamWithRoomForAllSucceeds) {
  FailingBuffer buffer(sizeof kExampleModel - 1);
  std::ostream out(&buffer);
  EXPECT_NO_THROW(TrainedExample().dump(out));
  EXPECT_EQ(buffer.taken(), sizeof kExampleModel - 1);
}

struct NonFiniteCase {
  const char* name;
  double b;
  double k1;
  const char* field;
};

class ModelDumpNonFinite : public ::testing::TestWithParam<NonFiniteCase> {};

TEST_P(ModelDumpNonFinite, IsRefusedNamingTheField) {
  BM25 model(GetParam().b, GetParam().k1);
  std::ostringstream out;
  try {
    model.dump(out);
    FAIL() << "non-finite parameter accepted";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()),
              std::string("Failed to dump: ") + GetParam().field + " is not a finite number");
  }
  EXPECT_EQ(out.str(), "");
}

INSTANTIATE_TEST_SUITE_P(Fields, ModelDumpNonFinite,
                         ::testing::Values(NonFiniteCase{"NanB", std::nan(""), 1.2, "_b"},
                                           NonFiniteCase{"InfiniteK1", 0.75,
                                                         std::numeric_limits<double>::infinity(), "_k1"},
                                           NonFiniteCase{"NegativeInfiniteK1", 0.75,
                                                         -std::numeric_limits<double>::infinity(), "_k1"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ModelFile, NonFiniteAverageIsRefused) {
  BM25 model(0.75, 1.2);
  model.load("{\"_doc_count\": 1, \"_doc_length_average\": 1.0e999, \"_b\": 0.5, \"_k1\": 1.0}");
  ASSERT_TRUE(std::isinf(model.doc_length_average()));
  std::ostringstream out;
  EXPECT_THROW(model.dump(out), std::runtime_error);
  EXPECT_EQ(out.str(), "");
}

class ModelFileOnDisk : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::path(::testing::TempDir()) / "modelfileXXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  static std::string Read(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  static void Write(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
  }

  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir_)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  static std::string ErrorOf(const std::function<void()>& call) {
    try {
      call();
    } catch (const std::runtime_error& e) {
      return e.what();
    }
    return "no error";
  }

  fs::path dir_;
};

TEST_F(ModelFileOnDisk, DumpWritesTheDocumentAndNothingElse) {
  const fs::path target = dir_ / "model.json";
  TrainedExample().dump(target.string());
  EXPECT_EQ(Read(target), kExampleModel);
  EXPECT_EQ(Names(), std::vector<std::string>{"model.json"});
}

TEST_F(ModelFileOnDisk, WriteErrorKeepsTheEarlierFile) {
  const fs::path target = dir_ / "model.json";
  Write(target, "earlier model");
  const std::string error = ErrorOf([&] {
    WriteModelFile(target.string(), [](std::ostream& out) {
      out << "half a docu";
      out.setstate(std::ios::badbit);  // the disk fills up here
      TrainedExample().dump(out);
    });
  });
  EXPECT_EQ(error, "Failed to dump: Unable to write file");
  EXPECT_EQ(Read(target), "earlier model");
  EXPECT_EQ(Names(), std::vector<std::string>{"model.json"});
}

TEST_F(ModelFileOnDisk, ProducerFailureKeepsTheEarlierFile) {
  const fs::path target = dir_ / "model.json";
  Write(target, "earlier model");
  EXPECT_THROW(WriteModelFile(target.string(),
                              [](std::ostream& out) {
                                out << std::string(1 << 20, 'x');  // more than one buffer reaches the file
                                throw std::bad_alloc();
                              }),
               std::bad_alloc);
  EXPECT_EQ(Read(target), "earlier model");
  EXPECT_EQ(Names(), std::vector<std::string>{"model.json"});
}

TEST_F(ModelFileOnDisk, ReplacedFileKeepsItsPermissions) {
  const fs::path target = dir_ / "model.json";
  Write(target, "earlier");
  ASSERT_EQ(::chmod(target.c_str(), 0640), 0);
  TrainedExample().dump(target.string());
  struct stat status{};
  ASSERT_EQ(::stat(target.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0640u);
  EXPECT_EQ(Read(target), kExampleModel);
}

TEST_F(ModelFileOnDisk, SymbolicLinksAreFollowed) {
  fs::create_directory(dir_ / "real");
  const fs::path real = dir_ / "real" / "model.json";
  Write(real, "earlier");
  fs::create_symlink("real/model.json", dir_ / "link.json");
  fs::create_symlink("real/new.json", dir_ / "dangling.json");
  TrainedExample().dump((dir_ / "link.json").string());
  TrainedExample().dump((dir_ / "dangling.json").string());
  EXPECT_TRUE(fs::is_symlink(dir_ / "link.json"));
  EXPECT_TRUE(fs::is_symlink(dir_ / "dangling.json"));
  EXPECT_EQ(Read(real), kExampleModel);
  EXPECT_EQ(Read(dir_ / "real" / "new.json"), kExampleModel);
  EXPECT_EQ(Names(), (std::vector<std::string>{"dangling.json", "link.json", "real"}));
}

TEST_F(ModelFileOnDisk, SymbolicLinkLoopCannotBeOpened) {
  fs::create_symlink("b", dir_ / "a");
  fs::create_symlink("a", dir_ / "b");
  EXPECT_EQ(ErrorOf([&] { TrainedExample().dump((dir_ / "a").string()); }),
            "Failed to dump: Unable to open file");
}

TEST_F(ModelFileOnDisk, UnopenablePaths) {
  const std::vector<std::string> paths = {(dir_ / "missing" / "model.json").string(), dir_.string(),
                                          (dir_.string() + "/"), "",
                                          (dir_ / "model.json").string() + std::string(1, '\0') + "tail"};
  for (const std::string& path : paths)
    EXPECT_EQ(ErrorOf([&] { TrainedExample().dump(path); }), "Failed to dump: Unable to open file") << path;
  EXPECT_TRUE(Names().empty());
}

TEST_F(ModelFileOnDisk, NonFiniteModelWritesNothing) {
  const fs::path target = dir_ / "model.json";
  Write(target, "earlier");
  BM25 model(0.75, std::nan(""));
  EXPECT_EQ(ErrorOf([&] { model.dump(target.string()); }), "Failed to dump: _k1 is not a finite number");
  EXPECT_EQ(ErrorOf([&] { model.dump((dir_ / "new.json").string()); }),
            "Failed to dump: _k1 is not a finite number");
  EXPECT_EQ(Read(target), "earlier");
  EXPECT_EQ(Names(), std::vector<std::string>{"model.json"});
}

TEST(ModelFileDevices, FullDeviceReportsTheWriteError) {
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "/dev/full is not available";
  try {
    TrainedExample().dump("/dev/full");
    FAIL() << "dump to a full device returned normally";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), "Failed to dump: Unable to write file: No space left on device");
  }
  EXPECT_TRUE(fs::is_character_file("/dev/full"));
}

TEST(ModelFileDevices, NullDeviceIsWrittenInPlace) {
  if (!fs::exists("/dev/null")) GTEST_SKIP() << "/dev/null is not available";
  EXPECT_NO_THROW(TrainedExample().dump("/dev/null"));
  EXPECT_TRUE(fs::is_character_file("/dev/null"));
}

}  // namespace
