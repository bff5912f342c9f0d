#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "lexical_test_support.h"
#include "tokenizer/limonp/Logger.h"

namespace limonp = lumo::typing::text::limonp;
using lexical_test::ParseRecords;
using lexical_test::Record;
using lexical_test::Records;

namespace {

constexpr const char* kPreFilter = "csrc/tokenizer/jieba/PreFilter";

TEST(LoggerRecord, LayoutOfAnErrorRecord) {
  testing::internal::CaptureStderr();
  LUMO_LOG(ERROR, kPreFilter) << "decode failed. ";
  const int line = __LINE__ - 1;
  const std::string captured = testing::internal::GetCapturedStderr();
  ASSERT_FALSE(captured.empty());
  EXPECT_EQ(captured.back(), '\n');
  EXPECT_EQ(captured.find('\n'), captured.size() - 1) << captured;
  Record record;
  ASSERT_TRUE(lexical_test::ParseRecordLine(captured.substr(0, captured.size() - 1), &record)) << captured;
  EXPECT_EQ(record.label, kPreFilter);
  EXPECT_EQ(record.line, line);
  EXPECT_EQ(record.level, "ERROR");
  EXPECT_EQ(record.message, "decode failed. ");
}

TEST(LoggerRecord, PiecesRecordsAndExplicitLines) {
  testing::internal::CaptureStderr();
  LUMO_LOG(ERROR, kPreFilter) << "Decode " << std::string("\xE4\xB8\xAD") << " failed." << 42 << 'c' << -7L;
  LUMO_LOG_AT(WARN, kPreFilter, 24) << "second";
  const std::vector<Record> records = ParseRecords(testing::internal::GetCapturedStderr());
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].message, "Decode \xE4\xB8\xAD failed.42c-7");
  EXPECT_EQ(std::make_tuple(records[1].label, records[1].line, records[1].level, records[1].message),
            std::make_tuple(std::string(kPreFilter), 24, std::string("WARN"), std::string("second")));
}

class LoggerLevels : public ::testing::TestWithParam<std::size_t> {};

TEST_P(LoggerLevels, NameFromTheTableAndOnlyFatalStops) {
  const std::size_t level = GetParam();
  bool fatal = false;
  const auto records = Records(
      kPreFilter, [&] { limonp::Logger(level, kPreFilter, 5).Stream() << "m"; }, &fatal);
  const char* const names[] = {"DEBUG", "INFO", "WARN", "ERROR", "FATAL"};
  EXPECT_STREQ(limonp::LOG_LEVEL_ARRAY[level], names[level]);
  EXPECT_EQ(records, std::vector<std::string>{std::string(names[level]) + " m"});
  EXPECT_EQ(fatal, level == limonp::LL_FATAL);
}

INSTANTIATE_TEST_SUITE_P(All, LoggerLevels, ::testing::Range<std::size_t>(0, 5));

// The exception reaches Python as RuntimeError; its text is the record as written.
TEST(LoggerFatal, ThrowsTheRecordTextAfterWritingIt) {
  testing::internal::CaptureStderr();
  std::string what;
  try {
    LUMO_LOG(FATAL, kPreFilter) << "stop";
    ADD_FAILURE() << "the statement after a FATAL record ran";
  } catch (const std::runtime_error& e) {
    what = e.what();
  }
  EXPECT_EQ(testing::internal::GetCapturedStderr(), what + "\n");
}

bool Fails(int* calls) { return ++*calls < 0; }

TEST(LoggerFatal, CheckQuotesTheConditionOnceWithTrailingSpace) {
  int calls = 0;
  const std::string path = "/no/such";
  EXPECT_EQ(Records(kPreFilter, [&] { LUMO_CHECK(Fails(&calls), kPreFilter); }),
            std::vector<std::string>{"FATAL exp: [Fails(&calls)] false. "});
  EXPECT_EQ(calls, 1);
  testing::internal::CaptureStderr();
  EXPECT_THROW(LUMO_CHECK_AT(path.empty(), kPreFilter, 21) << "open " << path << " failed.", limonp::FatalError);
  const std::vector<Record> records = ParseRecords(testing::internal::GetCapturedStderr());
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].line, 21);
  EXPECT_EQ(records[0].message, "exp: [path.empty()] false. open /no/such failed.");
}

TEST(LoggerFatal, PassingCheckWritesNothingAndBindsAsOneStatement) {
  int evaluated = 0;
  bool else_taken = false;
  testing::internal::CaptureStderr();
  LUMO_CHECK(1 + 1 == 2, kPreFilter) << ++evaluated;
  if (false)
    LUMO_CHECK(false, kPreFilter);
  else
    else_taken = true;
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(evaluated, 0);
  EXPECT_TRUE(else_taken);
}

}  // namespace
