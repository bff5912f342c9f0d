#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <stdexcept>
#include <string>

#include "lexical_test_support.h"
#include "tokenizer/limonp/Logger.h"

namespace limonp = lumo::typing::text::limonp;
using lexical_test::ParseRecords;
using lexical_test::Record;

namespace {

constexpr const char* kPreFilter = "csrc/tokenizer/jieba/PreFilter";
constexpr const char* kDictTrie = "csrc/tokenizer/jieba/DictTrie";

TEST(LoggerRecord, ErrorRecordLayout) {
  testing::internal::CaptureStderr();
  LUMO_LOG(ERROR, kPreFilter) << "decode failed. ";
  const int line = __LINE__ - 1;
  const std::string captured = testing::internal::GetCapturedStderr();

  const std::vector<Record> records = ParseRecords(captured);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].label, kPreFilter);
  EXPECT_EQ(records[0].line, line);
  EXPECT_EQ(records[0].level, "ERROR");
  EXPECT_EQ(records[0].message, "decode failed. ");
  // Exactly one space between the parts and the line feed right after the message.
  EXPECT_EQ(captured, records[0].stamp + " " + kPreFilter + ":" + std::to_string(line) + " ERROR decode failed. \n");
}

// The stamp is local time, not UTC: with a zone seven hours east of UTC it must read seven
// hours ahead of the UTC clock.
TEST(LoggerRecord, StampIsLocalTime) {
  const char* saved = std::getenv("TZ");
  const std::string previous = saved ? saved : "";
  setenv("TZ", "XST-07", 1);
  tzset();
  const std::time_t before = std::time(nullptr);
  testing::internal::CaptureStderr();
  LUMO_LOG(ERROR, kPreFilter) << "x";
  const std::string captured = testing::internal::GetCapturedStderr();
  const std::time_t after = std::time(nullptr);
  const std::vector<Record> records = ParseRecords(captured);
  auto utc_plus_seven = [](std::time_t t) {
    t += 7 * 3600;
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof(buf), "%Y-%m-%d %H:%M:%S", &tm);
    return std::string(buf);
  };
  if (saved) {
    setenv("TZ", previous.c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
  ASSERT_EQ(records.size(), 1u);
  // The stamp format sorts chronologically as text.
  EXPECT_LE(utc_plus_seven(before), records[0].stamp);
  EXPECT_GE(utc_plus_seven(after), records[0].stamp);
}

TEST(LoggerRecord, PiecesOfAnyTypeFollowEachOtherWithoutSeparators) {
  testing::internal::CaptureStderr();
  const std::string word = "\xE4\xB8\xAD";
  LUMO_LOG(ERROR, kDictTrie) << "Decode " << word << " failed." << 42 << 'c' << -7L << std::size_t{3};
  const std::vector<Record> records = ParseRecords(testing::internal::GetCapturedStderr());
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].message, "Decode \xE4\xB8\xAD failed.42c-73");
}

TEST(LoggerRecord, ConsecutiveRecordsAreSeparateLinesInOrder) {
  testing::internal::CaptureStderr();
  LUMO_LOG(ERROR, kPreFilter) << "first";
  LUMO_LOG(WARN, kDictTrie) << "second";
  const std::vector<Record> records = ParseRecords(testing::internal::GetCapturedStderr());
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].message, "first");
  EXPECT_EQ(records[0].label, kPreFilter);
  EXPECT_EQ(records[1].message, "second");
  EXPECT_EQ(records[1].level, "WARN");
  EXPECT_EQ(records[1].line, records[0].line + 1);
}

TEST(LoggerRecord, ExplicitLineIsUsedAsGiven) {
  testing::internal::CaptureStderr();
  LUMO_LOG_AT(ERROR, kPreFilter, 24) << "decode failed. ";
  const std::vector<Record> records = ParseRecords(testing::internal::GetCapturedStderr());
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].line, 24);
}

class LoggerLevels : public ::testing::TestWithParam<std::pair<std::size_t, std::string>> {};

TEST_P(LoggerLevels, NameFromTheTableAndOnlyFatalStops) {
  const auto [level, name] = GetParam();
  EXPECT_EQ(limonp::LOG_LEVEL_ARRAY[level], name);
  testing::internal::CaptureStderr();
  bool threw = false;
  try {
    limonp::Logger(level, kDictTrie, 5).Stream() << "m";
  } catch (const limonp::FatalError&) {
    threw = true;
  }
  const std::vector<Record> records = ParseRecords(testing::internal::GetCapturedStderr());
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].level, name);
  EXPECT_EQ(records[0].line, 5);
  EXPECT_EQ(threw, level == limonp::LL_FATAL);
}

INSTANTIATE_TEST_SUITE_P(All, LoggerLevels,
                         ::testing::Values(std::make_pair(0, std::string("DEBUG")), std::make_pair(1, std::string("INFO")),
                                           std::make_pair(2, std::string("WARN")), std::make_pair(3, std::string("ERROR")),
                                           std::make_pair(4, std::string("FATAL"))));

TEST(LoggerFatal, ExceptionCarriesTheRecordTextAfterItWasWritten) {
  testing::internal::CaptureStderr();
  std::string what;
  try {
    LUMO_LOG(FATAL, kDictTrie) << "stop " << 1;
    ADD_FAILURE() << "a FATAL record must not let the statement after it run";
  } catch (const std::runtime_error& e) {  // reaches Python as RuntimeError
    what = e.what();
  }
  const std::string captured = testing::internal::GetCapturedStderr();
  EXPECT_EQ(captured, what + "\n");
  const std::vector<Record> records = ParseRecords(captured);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].message, "stop 1");
}

bool Fails(int* calls) {
  ++*calls;
  return false;
}

TEST(LoggerFatal, CheckQuotesTheConditionAndEndsWithTrailingSpace) {
  int calls = 0;
  testing::internal::CaptureStderr();
  EXPECT_THROW(LUMO_CHECK(Fails(&calls), kDictTrie), limonp::FatalError);
  const int line = __LINE__ - 1;
  const std::string captured = testing::internal::GetCapturedStderr();
  EXPECT_EQ(calls, 1);
  const std::vector<Record> records = ParseRecords(captured);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].level, "FATAL");
  EXPECT_EQ(records[0].line, line);
  EXPECT_EQ(records[0].message, "exp: [Fails(&calls)] false. ");
  EXPECT_EQ(captured.substr(captured.size() - 10), "] false. \n");
}

TEST(LoggerFatal, CheckAppendsTheCallersMessage) {
  const std::string path = "/no/such/file";
  testing::internal::CaptureStderr();
  EXPECT_THROW(LUMO_CHECK_AT(path.empty(), "csrc/tokenizer/jieba/SegmentBase", 21) << "open " << path << " failed.",
               limonp::FatalError);
  const std::vector<Record> records = ParseRecords(testing::internal::GetCapturedStderr());
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].label, "csrc/tokenizer/jieba/SegmentBase");
  EXPECT_EQ(records[0].line, 21);
  EXPECT_EQ(records[0].message, "exp: [path.empty()] false. open /no/such/file failed.");
}

TEST(LoggerFatal, PassingCheckWritesNothingAndSkipsTheMessage) {
  int evaluated = 0;
  auto piece = [&evaluated]() {
    ++evaluated;
    return "never";
  };
  testing::internal::CaptureStderr();
  LUMO_CHECK(1 + 1 == 2, kDictTrie) << piece();
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(evaluated, 0);
}

TEST(LoggerFatal, CheckInsideIfElseBindsAsOneStatement) {
  bool else_taken = false;
  testing::internal::CaptureStderr();
  if (false)
    LUMO_CHECK(false, kDictTrie);
  else
    else_taken = true;
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_TRUE(else_taken);
}

}  // namespace
