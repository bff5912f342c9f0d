// The one UTF-8 codec and the readings built on it: what each malformed shape decodes to, and
// what the index's lenient stepping makes of it.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include "index/Utf8.h"
#include "tokenizer/limonp/Utf8.h"

namespace utf8 = lumo::utf8;
using utf8::Form;

namespace {

const unsigned char* Bytes(const std::string& s) { return reinterpret_cast<const unsigned char*>(s.data()); }

// (bytes, rune, length, form) for the sequence at the start of the bytes, all of them available.
class DecodeOne : public ::testing::TestWithParam<std::tuple<std::string, char32_t, std::uint32_t, Form>> {};

TEST_P(DecodeOne, RuneLengthAndForm) {
  const auto& [bytes, rune, length, form] = GetParam();
  const utf8::Decoded decoded = utf8::Decode(Bytes(bytes), bytes.size());
  EXPECT_EQ(decoded.rune, rune);
  EXPECT_EQ(decoded.length, length);
  EXPECT_EQ(decoded.form, form);
}

INSTANTIATE_TEST_SUITE_P(Valid, DecodeOne,
                         ::testing::Values(std::make_tuple(std::string(1, '\0'), 0, 1, Form::kValid),
                                           std::make_tuple("\x7F", 0x7F, 1, Form::kValid),
                                           std::make_tuple("\xC2\x80", 0x80, 2, Form::kValid),
                                           std::make_tuple("\xDF\xBF", 0x7FF, 2, Form::kValid),
                                           std::make_tuple("\xE0\xA0\x80", 0x800, 3, Form::kValid),
                                           std::make_tuple("\xE4\xB8\xAD", 0x4E2D, 3, Form::kValid),
                                           std::make_tuple("\xED\x9F\xBF", 0xD7FF, 3, Form::kValid),
                                           std::make_tuple("\xEE\x80\x80", 0xE000, 3, Form::kValid),
                                           std::make_tuple("\xEF\xBF\xBF", 0xFFFF, 3, Form::kValid),
                                           std::make_tuple("\xF0\x90\x80\x80", 0x10000, 4, Form::kValid),
                                           std::make_tuple("\xF4\x8F\xBF\xBF", 0x10FFFF, 4, Form::kValid),
                                           // Only the first sequence is read.
                                           std::make_tuple("a\xFF", 'a', 1, Form::kValid)));

INSTANTIATE_TEST_SUITE_P(OverlongSurrogateAboveMax, DecodeOne,
                         ::testing::Values(std::make_tuple(std::string("\xC0\x80", 2), 0, 2, Form::kOverlong),
                                           std::make_tuple("\xC1\xBF", 0x7F, 2, Form::kOverlong),
                                           std::make_tuple(std::string("\xE0\x80\x80", 3), 0, 3, Form::kOverlong),
                                           std::make_tuple("\xE0\x9F\xBF", 0x7FF, 3, Form::kOverlong),
                                           std::make_tuple("\xF0\x8F\xBF\xBF", 0xFFFF, 4, Form::kOverlong),
                                           // An overlong form of a surrogate is overlong first.
                                           std::make_tuple("\xF0\x8D\xA0\x80", 0xD800, 4, Form::kOverlong),
                                           std::make_tuple("\xED\xA0\x80", 0xD800, 3, Form::kSurrogate),
                                           std::make_tuple("\xED\xBF\xBF", 0xDFFF, 3, Form::kSurrogate),
                                           std::make_tuple("\xF4\x90\x80\x80", 0x110000, 4, Form::kAboveMax),
                                           std::make_tuple("\xF7\xBF\xBF\xBF", 0x1FFFFF, 4, Form::kAboveMax)));

// The value still comes from the lead's payload and the low six bits of what follows.
INSTANTIATE_TEST_SUITE_P(Malformed, DecodeOne,
                         ::testing::Values(std::make_tuple("\xE4\x41\x42", 0x4042, 3, Form::kBadContinuation),
                                           std::make_tuple("\xC3(", 0xE8, 2, Form::kBadContinuation),
                                           std::make_tuple("\xF0\x9F\x98\x41", 0x1F601, 4, Form::kBadContinuation),
                                           std::make_tuple("\xED\xA0\xC0", 0xD800, 3, Form::kBadContinuation),
                                           std::make_tuple("\x80\x41", 0x01, 2, Form::kContinuationLead),
                                           std::make_tuple("\xBF\xBF", 0x7FF, 2, Form::kContinuationLead),
                                           std::make_tuple("\x80", 0x80, 1, Form::kTruncated),
                                           std::make_tuple("\xC3", 0xC3, 1, Form::kTruncated),
                                           std::make_tuple("\xE4\xB8", 0xE4, 1, Form::kTruncated),
                                           std::make_tuple("\xF0\x9F\x98", 0xF0, 1, Form::kTruncated),
                                           std::make_tuple("\xF8\x80\x80\x80", 0xF8, 1, Form::kBadLead),
                                           std::make_tuple("\xFF", 0xFF, 1, Form::kBadLead)));

TEST(Decode, ReadsOnlyTheBytesItIsGiven) {
  const std::string bytes = "\xE4\xB8\xAD";
  EXPECT_EQ(utf8::Decode(Bytes(bytes), 2).form, Form::kTruncated);
  EXPECT_EQ(utf8::Decode(Bytes(bytes), 3).form, Form::kValid);
}

// (rune, its bytes, the form they decode as): every well-shaped value comes back as written.
class Encode : public ::testing::TestWithParam<std::tuple<char32_t, std::string, Form>> {};

TEST_P(Encode, ShortestFormDecodesBack) {
  const auto& [rune, bytes, form] = GetParam();
  std::string out = "x";  // appends
  utf8::AppendUtf8(rune, out);
  EXPECT_EQ(out, "x" + bytes);
  const utf8::Decoded decoded = utf8::Decode(Bytes(bytes), bytes.size());
  EXPECT_EQ(decoded.rune, rune);
  EXPECT_EQ(decoded.length, bytes.size());
  EXPECT_EQ(decoded.form, form);
}

INSTANTIATE_TEST_SUITE_P(Boundaries, Encode,
                         ::testing::Values(std::make_tuple(0, std::string(1, '\0'), Form::kValid),
                                           std::make_tuple(0x7F, "\x7F", Form::kValid),
                                           std::make_tuple(0x80, "\xC2\x80", Form::kValid),
                                           std::make_tuple(0x7FF, "\xDF\xBF", Form::kValid),
                                           std::make_tuple(0x800, "\xE0\xA0\x80", Form::kValid),
                                           std::make_tuple(0x4E2D, "\xE4\xB8\xAD", Form::kValid),
                                           std::make_tuple(0xD800, "\xED\xA0\x80", Form::kSurrogate),
                                           std::make_tuple(0xDFFF, "\xED\xBF\xBF", Form::kSurrogate),
                                           std::make_tuple(0xFFFF, "\xEF\xBF\xBF", Form::kValid),
                                           std::make_tuple(0x10000, "\xF0\x90\x80\x80", Form::kValid),
                                           std::make_tuple(0x1F600, "\xF0\x9F\x98\x80", Form::kValid),
                                           std::make_tuple(0x10FFFF, "\xF4\x8F\xBF\xBF", Form::kValid),
                                           std::make_tuple(0x110000, "\xF4\x90\x80\x80", Form::kAboveMax),
                                           std::make_tuple(0x1FFFFF, "\xF7\xBF\xBF\xBF", Form::kAboveMax)));

// The index's stepping: (text, code points it reads). Shapes that are not well formed step one
// byte and read the byte's own value; well-shaped ones keep their value, valid or not.
class IndexStepping : public ::testing::TestWithParam<std::tuple<std::string, std::vector<char32_t>>> {};

TEST_P(IndexStepping, CodePoints) {
  const auto& [text, expected] = GetParam();
  std::vector<char32_t> read;
  for (std::size_t i = 0; i < text.size();) read.push_back(lumo::index::DecodeUtf8(text, i));
  EXPECT_EQ(read, expected);
}

INSTANTIATE_TEST_SUITE_P(Texts, IndexStepping,
                         ::testing::Values(std::make_tuple("a\xE4\xB8\xAD", std::vector<char32_t>{'a', 0x4E2D}),
                                           std::make_tuple(std::string("\xC0\x80", 2), std::vector<char32_t>{0}),
                                           std::make_tuple("\xED\xA0\x80", std::vector<char32_t>{0xD800}),
                                           std::make_tuple("\xF7\xBF\xBF\xBF", std::vector<char32_t>{0x1FFFFF}),
                                           std::make_tuple("\xE4\x41\x42", std::vector<char32_t>{0xE4, 'A', 'B'}),
                                           std::make_tuple("\x80\x41", std::vector<char32_t>{0x80, 'A'}),
                                           std::make_tuple("x\xE4\xB8", std::vector<char32_t>{'x', 0xE4, 0xB8}),
                                           std::make_tuple("\xFF\xF8", std::vector<char32_t>{0xFF, 0xF8})));

}  // namespace
