#include "json/JSON.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cmath>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string_view>
#include <system_error>
#include <utility>

#include "json/JSONInternal.h"
#include "json/StringEscape.h"
#include "tokenizer/limonp/Utf8.h"

namespace lumo::typing::text::json {

// ---------------------------------------------------------------------------------------------
// Value

JSON::JSON(const std::string& text) : payload_(), kind_(Kind::String) { payload_.string = new std::string(text); }

JSON::JSON(const char* text) : JSON(std::string(text)) {}

JSON::JSON(double number) noexcept : payload_(), kind_(Kind::Float) { payload_.number = number; }

JSON::JSON(bool flag) noexcept : payload_(), kind_(Kind::Bool) { payload_.flag = flag; }

JSON::JSON(const JSON& other) : payload_(), kind_(Kind::Null) {
  // Containers are filled through a unique_ptr so that a failure half-way releases what was
  // already copied.
  switch (other.kind_) {
    case Kind::Object: {
      auto copy = std::make_unique<ObjectMap>();
      for (const auto& entry : *other.payload_.object) copy->emplace_hint(copy->end(), entry);
      payload_.object = copy.release();
      break;
    }
    case Kind::Array: {
      auto copy = std::make_unique<ArrayQueue>(*other.payload_.array);
      payload_.array = copy.release();
      break;
    }
    case Kind::String:
      payload_.string = new std::string(*other.payload_.string);
      break;
    default:
      payload_ = other.payload_;
      break;
  }
  kind_ = other.kind_;
}

JSON::JSON(JSON&& other) noexcept : payload_(), kind_(Kind::Null) { other.StealInto(payload_, kind_); }

JSON::~JSON() { ClearInternal(); }

JSON& JSON::operator=(const JSON& other) {
  // Copy first: `other` may be this value itself or live somewhere inside it.
  JSON copy(other);
  return *this = std::move(copy);
}

JSON& JSON::operator=(JSON&& other) noexcept {
  // Detach the source before releasing the target, for the same reason as above.
  Payload payload;
  Kind kind;
  other.StealInto(payload, kind);
  ClearInternal();
  payload_ = payload;
  kind_ = kind;
  return *this;
}

JSON& JSON::operator=(const std::string& text) {
  if (kind_ == Kind::String) {
    *payload_.string = text;
    return *this;
  }
  auto fresh = std::make_unique<std::string>(text);
  ClearInternal();
  payload_.string = fresh.release();
  kind_ = Kind::String;
  return *this;
}

JSON& JSON::operator=(const char* text) { return *this = std::string(text); }

JSON& JSON::operator=(double number) {
  if (kind_ != Kind::Float) ClearInternal();
  payload_.number = number;
  kind_ = Kind::Float;
  return *this;
}

JSON& JSON::operator=(bool flag) {
  if (kind_ != Kind::Bool) ClearInternal();
  payload_.flag = flag;
  kind_ = Kind::Bool;
  return *this;
}

void JSON::SetInteger(std::int64_t number) noexcept {
  if (kind_ != Kind::Integer) ClearInternal();
  payload_.integer = number;
  kind_ = Kind::Integer;
}

void JSON::StealInto(Payload& payload, Kind& kind) noexcept {
  payload = payload_;
  kind = kind_;
  payload_ = Payload();
  kind_ = Kind::Null;
}

void JSON::ClearInternal() noexcept {
  switch (kind_) {
    case Kind::Object:
      delete payload_.object;
      break;
    case Kind::Array:
      delete payload_.array;
      break;
    case Kind::String:
      delete payload_.string;
      break;
    default:
      break;
  }
  // Leaving a Null behind, rather than a dangling pointer under the old kind, keeps the value
  // safe to destroy even if the caller's next store throws.
  payload_ = Payload();
  kind_ = Kind::Null;
}

JSON& JSON::operator[](const std::string& key) {
  if (kind_ != Kind::Object) {
    auto fresh = std::make_unique<ObjectMap>();
    std::string name(key);  // `key` may live inside the content about to be released
    ClearInternal();
    payload_.object = fresh.release();
    kind_ = Kind::Object;
    return (*payload_.object)[name];
  }
  return (*payload_.object)[key];
}

JSON& JSON::operator[](std::uint32_t index) {
  if (kind_ != Kind::Array) {
    auto fresh = std::make_unique<ArrayQueue>();
    ClearInternal();
    payload_.array = fresh.release();
    kind_ = Kind::Array;
  }
  ArrayQueue& elements = *payload_.array;
  // Counted in size_t so that the largest index asks for 2^32 elements instead of wrapping.
  const std::size_t needed = static_cast<std::size_t>(index) + 1;
  if (elements.size() < needed) elements.resize(needed);
  return elements[index];
}

std::int64_t JSON::AsInteger(bool& ok) const noexcept {
  ok = kind_ == Kind::Integer;
  return ok ? payload_.integer : 0;
}

double JSON::AsFloat(bool& ok) const noexcept {
  ok = kind_ == Kind::Float;
  return ok ? payload_.number : 0.0;
}

std::string JSON::AsString(bool& ok) const {
  ok = kind_ == Kind::String;
  return ok ? *payload_.string : std::string();
}

bool JSON::AsBool(bool& ok) const noexcept {
  ok = kind_ == Kind::Bool;
  return ok ? payload_.flag : false;
}

const JSON::ObjectMap& JSON::Entries() const noexcept {
  static const ObjectMap empty;
  return kind_ == Kind::Object ? *payload_.object : empty;
}

const JSON::ArrayQueue& JSON::Elements() const noexcept {
  static const ArrayQueue empty;
  return kind_ == Kind::Array ? *payload_.array : empty;
}

JSON Object() {
  JSON value;
  value.payload_.object = new JSON::ObjectMap();
  value.kind_ = JSON::Kind::Object;
  return value;
}

JSON Array() {
  JSON value;
  value.payload_.array = new JSON::ArrayQueue();
  value.kind_ = JSON::Kind::Array;
  return value;
}

// ---------------------------------------------------------------------------------------------
// Writer

namespace {

void AppendInteger(std::string& out, std::int64_t number) {
  char buffer[24];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, number);
  out.append(buffer, result.ptr);
}

// Fixed notation with six decimals, the same text as printf's "%f" in the C locale; to_chars
// gives it without depending on the process locale, which Python code may change.
void AppendFloat(std::string& out, double number) {
  // The longest is -DBL_MAX: a sign, 309 digits, the point and six decimals.
  char buffer[320];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, number, std::chars_format::fixed, 6);
  out.append(buffer, result.ptr);
}

}  // namespace

void JSON::DumpTo(std::string& out, int depth, const std::string& tab) const {
  const int inner = depth < INT_MAX ? depth + 1 : depth;
  switch (kind_) {
    case Kind::Null:
      out += "null";
      break;
    case Kind::Bool:
      out += payload_.flag ? "true" : "false";
      break;
    case Kind::Integer:
      AppendInteger(out, payload_.integer);
      break;
    case Kind::Float:
      AppendFloat(out, payload_.number);
      break;
    case Kind::String:
      out += '"';
      AppendLibraryEscaped(out, *payload_.string);
      out += '"';
      break;
    case Kind::Array: {
      out += '[';
      bool first = true;
      for (const JSON& element : *payload_.array) {
        if (!first) out += ", ";
        first = false;
        element.DumpTo(out, inner, tab);
      }
      out += ']';
      break;
    }
    case Kind::Object: {
      std::string indent;
      for (int i = 0; i < depth; ++i) indent += tab;
      out += "{\n";
      bool first = true;
      for (const auto& [key, value] : *payload_.object) {
        if (!first) out += ",\n";
        first = false;
        out += indent;
        out += '"';
        out += key;  // keys are written as held; parsed keys are already in escaped form
        out += "\" : ";
        value.DumpTo(out, inner, tab);
      }
      out += '\n';
      // The closing brace moves two characters left whatever the unit, one level with "  ".
      out.append(indent, std::min<std::size_t>(2, indent.size()), std::string::npos);
      out += '}';
      break;
    }
  }
}

std::string JSON::dump(int depth, std::string tab) const {
  std::string out;
  DumpTo(out, depth, tab);
  return out;
}

std::ostream& operator<<(std::ostream& out, const JSON& value) {
  const std::string text = value.dump(1, "  ");
  return out.write(text.data(), static_cast<std::streamsize>(text.size()));
}

// ---------------------------------------------------------------------------------------------
// Parser

namespace internal {

std::string json_escape(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  AppendLibraryEscaped(out, text);
  return out;
}

namespace {

constexpr const char* kUnknownStart = "ERROR: Parse: Unknown starting character '";
constexpr const char* kTooDeep = "ERROR: Parse: Nesting deeper than 512 levels, found '";
constexpr const char* kArrayExpected = "ERROR: Array: Expected ',' or ']', found '";
constexpr const char* kColonExpected = "Error: Object: Expected colon, found '";
constexpr const char* kCommaExpected = "ERROR: Object: Expected comma, found '";
constexpr const char* kHexExpected = "ERROR: String: Expected hex character in unicode escape, found '";
constexpr const char* kQuoteExpected = "ERROR: String: Expected '\"' before the end of the text, found '";
constexpr const char* kBoolExpected = "ERROR: Bool: Expected 'true' or 'false', found '";
constexpr const char* kNullExpected = "ERROR: Null: Expected 'null', found '";
constexpr const char* kNumberEnd = "ERROR: Number: unexpected character '";
constexpr const char* kExponentEnd = "ERROR: Number: Expected a number for exponent, found '";

static_assert(kMaxNestingDepth == 512, "the nesting diagnostic names the limit");

// The byte at a position; the end of the text, and anything past it, reads as NUL.
char At(const std::string& text, std::size_t offset) { return offset < text.size() ? text[offset] : '\0'; }

bool IsSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsHex(char c) { return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
bool EndsNumber(char c) { return IsSpace(c) || c == ',' || c == ']' || c == '}'; }

void SkipSpace(const std::string& text, std::size_t& offset) {
  while (IsSpace(At(text, offset))) ++offset;
}

// One message per diagnostic, so concurrent parses interleave whole lines at worst.
void Report(const char* prefix, std::string_view found) {
  std::string message(prefix);
  message.append(found);
  message += "'\n";
  std::cerr.write(message.data(), static_cast<std::streamsize>(message.size()));
  std::cerr.flush();
}

void Report(const char* prefix, char found) { Report(prefix, std::string_view(&found, 1)); }

// Conversions read the longest valid leading part of the text, as strtoll and strtod do, but
// never depend on the process locale.
template <class Number>
Number ToNumber(const std::string& text, const char* range) {
  Number value{};
  auto result = std::from_chars(text.data(), text.data() + text.size(), value);
  if (result.ec == std::errc::invalid_argument)
    throw std::invalid_argument("JSON number is not a number: '" + text + "'");
  if (result.ec == std::errc::result_out_of_range)
    throw std::out_of_range(std::string("JSON number is out of ") + range + ": '" + text + "'");
  return value;
}

std::int64_t ToInteger(const std::string& text) { return ToNumber<std::int64_t>(text, "the 64-bit range"); }
double ToDouble(const std::string& text) { return ToNumber<double>(text, "the range of a double"); }

// Moves past a whole bracketed construct, strings included, without building anything, so
// that arbitrarily deep input costs no stack. Stops at the end of the text if it never closes.
void SkipNested(const std::string& text, std::size_t& offset) {
  std::size_t level = 0;
  while (offset < text.size()) {
    const char c = text[offset++];
    if (c == '"') {
      while (offset < text.size() && text[offset] != '"') offset += text[offset] == '\\' ? 2 : 1;
      ++offset;
    } else if (c == '[' || c == '{') {
      ++level;
    } else if ((c == ']' || c == '}') && --level == 0) {
      return;
    }
  }
  offset = text.size();
}

int HexDigitValue(char c) {
  if (IsDigit(c)) return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return c - 'A' + 10;
}

// The code unit of the four hex digits at `at`, or -1 when they are not all there.
long HexUnit(const std::string& text, std::size_t at) {
  long unit = 0;
  for (std::size_t i = at; i < at + 4; ++i) {
    const char digit = At(text, i);
    if (!IsHex(digit)) return -1;
    unit = unit * 16 + HexDigitValue(digit);
  }
  return unit;
}

// The body of the string whose opening quote is at `offset`. `decode` turns \u escapes into
// UTF-8, a surrogate pair into its one code point, as a standard JSON reader does; without it
// they are kept as written (the library's own form). Errors are the same either way.
std::string ReadString(const std::string& text, std::size_t& offset, bool decode) {
  std::string buffer;
  ++offset;  // the opening quote
  while (offset < text.size()) {
    const char c = text[offset];
    if (c == '"') {
      ++offset;
      return buffer;
    }
    if (c != '\\') {
      buffer += c;
      ++offset;
      continue;
    }
    if (offset + 1 >= text.size()) break;  // a lone backslash ends the text
    const char escaped = text[offset + 1];
    switch (escaped) {
      case '"':
        buffer += '"';
        break;
      case '/':
        buffer += '/';
        break;
      case 'b':
        buffer += '\b';
        break;
      case 'f':
        buffer += '\f';
        break;
      case 'n':
        buffer += '\n';
        break;
      case 'r':
        buffer += '\r';
        break;
      case 't':
        buffer += '\t';
        break;
      case 'u': {
        const std::size_t u = offset + 1;
        for (std::size_t i = 1; i <= 4; ++i) {
          const char digit = At(text, u + i);
          if (!IsHex(digit)) {
            Report(kHexExpected, digit);
            offset = u;
            return std::string();
          }
        }
        if (!decode) {
          // No code point is decoded: the escape is kept as written.
          buffer.append(text, offset, 6);
          offset += 6;
          continue;
        }
        auto unit = static_cast<std::uint32_t>(HexUnit(text, u + 1));
        offset += 6;
        if (unit >= 0xD800 && unit <= 0xDBFF && At(text, offset) == '\\' && At(text, offset + 1) == 'u') {
          const long low = HexUnit(text, offset + 2);
          if (low >= 0xDC00 && low <= 0xDFFF) {
            unit = 0x10000 + ((unit - 0xD800) << 10) + (static_cast<std::uint32_t>(low) - 0xDC00);
            offset += 6;
          }
        }
        // A lone surrogate gets the three bytes of its number, as Python's "surrogatepass"
        // gives it: no other text has those bytes, so the token stays distinct and is written
        // back as the same escape.
        utf8::AppendUtf8(unit, buffer);
        continue;
      }
      default:
        // Also an escaped backslash: one backslash stays, the escaped character goes.
        buffer += '\\';
        break;
    }
    offset += 2;
  }
  Report(kQuoteExpected, '\0');
  offset = text.size();
  return std::string();
}

JSON ParseString(const std::string& text, std::size_t& offset) { return JSON(ReadString(text, offset, false)); }

// The mantissa times the power of ten, refused like an out-of-range mantissa when it leaves the
// range of a double: infinity (or 0 times infinity) has no JSON text, so the value could not be
// written back as a number. Zero stays zero whatever the exponent.
double Scale(double mantissa, double scale, const std::string& mantissa_text, std::int64_t exponent) {
  if (mantissa == 0.0) return mantissa;
  const double value = mantissa * scale;
  if (!std::isfinite(value)) {
    throw std::out_of_range("JSON number is out of the range of a double: '" + mantissa_text + "e" +
                            std::to_string(exponent) + "'");
  }
  return value;
}

JSON ParseNumber(const std::string& text, std::size_t& offset) {
  std::string mantissa;
  bool floating = false;
  for (char c = At(text, offset); c == '-' || c == '.' || IsDigit(c); c = At(text, ++offset)) {
    floating = floating || c == '.';
    mantissa += c;
  }
  char c = At(text, offset);
  bool has_exponent = false;
  std::int64_t exponent = 0;
  if (c == 'e' || c == 'E') {
    has_exponent = true;
    std::string digits;
    c = At(text, ++offset);
    if (c == '-') {
      digits += c;
      ++offset;
    } else if (c == '+') {
      ++offset;
    }
    for (c = At(text, offset); IsDigit(c); c = At(text, ++offset)) digits += c;
    if (!EndsNumber(c)) {
      Report(kExponentEnd, c);
      ++offset;
      return JSON();
    }
    exponent = ToInteger(digits);
  } else if (!EndsNumber(c)) {
    Report(kNumberEnd, c);
    ++offset;
    return JSON();
  }
  // The power is computed on its own and multiplied in, so 1.5e-5 is 1.5 * 1e-05.
  const double scale = has_exponent ? std::pow(10.0, static_cast<double>(exponent)) : 1.0;
  if (floating) return JSON(Scale(ToDouble(mantissa), scale, mantissa, exponent));
  if (has_exponent) return JSON(Scale(static_cast<double>(ToInteger(mantissa)), scale, mantissa, exponent));
  return JSON(ToInteger(mantissa));
}

JSON ParseWord(const std::string& text, std::size_t& offset) {
  if (text.compare(offset, 4, "true") == 0) {
    offset += 4;
    return JSON(true);
  }
  if (text.compare(offset, 5, "false") == 0) {
    offset += 5;
    return JSON(false);
  }
  if (text.compare(offset, 4, "null") == 0) {
    offset += 4;
    return JSON();
  }
  if (text[offset] == 'n')
    Report(kNullExpected, std::string_view(text).substr(offset, 4));
  else
    Report(kBoolExpected, std::string_view(text).substr(offset, 5));
  return JSON();
}

JSON ParseArray(const std::string& text, std::size_t& offset, int depth, Build build) {
  JSON result = Array();
  ++offset;
  SkipSpace(text, offset);
  if (At(text, offset) == ']') {
    ++offset;
    return result;
  }
  for (std::uint32_t index = 0;; ++index) {
    if (build == Build::Everything) {
      result[index] = parse_next(text, offset, depth + 1, build);
    } else {
      parse_next(text, offset, depth + 1, build);
    }
    SkipSpace(text, offset);
    if (At(text, offset) != ',') break;
    ++offset;
  }
  const char c = At(text, offset);
  if (c == ']') {
    ++offset;
    return result;
  }
  Report(kArrayExpected, c);
  return Array();
}

// Reads the members of the object whose opening brace is at `offset`, with the steps and
// diagnostics of the object syntax. Each key is a string's body (decoded as standard JSON when
// `decode_keys`, else as written) or, for a key of any other kind, the empty text with
// `is_string` false; `member(key, is_string)` then parses the value at `offset`, at depth + 1.
template <class Member>
void ReadMembers(const std::string& text, std::size_t& offset, int depth, bool decode_keys, Member member) {
  ++offset;
  SkipSpace(text, offset);
  if (At(text, offset) == '}') {
    ++offset;
    return;
  }
  while (true) {
    SkipSpace(text, offset);
    const bool is_string = At(text, offset) == '"';
    std::string key;
    if (is_string) {
      key = ReadString(text, offset, decode_keys);
    } else {
      // Only the kind of such a key counts, so a container as key is never built.
      parse_next(text, offset, depth + 1, Build::Shape);
    }
    SkipSpace(text, offset);
    char c = At(text, offset);
    if (c != ':') {
      Report(kColonExpected, c);
      return;
    }
    ++offset;
    SkipSpace(text, offset);
    member(std::move(key), is_string);
    SkipSpace(text, offset);
    c = At(text, offset);
    if (c == ',') {
      ++offset;
      continue;
    }
    if (c == '}') {
      ++offset;
      return;
    }
    Report(kCommaExpected, c);
    return;
  }
}

JSON ParseObject(const std::string& text, std::size_t& offset, int depth, Build build) {
  JSON result = Object();
  ReadMembers(text, offset, depth, false, [&](std::string&& key, bool is_string) {
    JSON value = parse_next(text, offset, depth + 1, build);
    // Keys are held in their written, escaped form; keys of any other kind are the empty key.
    if (build == Build::Everything) result[is_string ? json_escape(key) : std::string()] = std::move(value);
  });
  return result;
}

}  // namespace

JSON parse_next(const std::string& text, std::size_t& offset, int depth, Build build) {
  SkipSpace(text, offset);
  const char c = At(text, offset);
  if ((c == '[' || c == '{') && depth >= kMaxNestingDepth) {
    Report(kTooDeep, c);
    SkipNested(text, offset);
    return JSON();
  }
  switch (c) {
    case '"':
      return ParseString(text, offset);
    case '[':
      return ParseArray(text, offset, depth, build);
    case '{':
      return ParseObject(text, offset, depth, build);
    case 't':
    case 'f':
    case 'n':
      return ParseWord(text, offset);
    default:
      if (c == '-' || IsDigit(c)) return ParseNumber(text, offset);
      Report(kUnknownStart, c);
      return JSON();
  }
}

bool parse_members(const std::string& text, std::size_t& offset, int depth, MemberReader& reader) {
  SkipSpace(text, offset);
  if (At(text, offset) != '{' || depth >= kMaxNestingDepth) return false;
  ReadMembers(text, offset, depth, true,
              [&](std::string&& key, bool) { reader.Member(std::move(key), text, offset, depth + 1); });
  return true;
}

}  // namespace internal

JSON JSON::Load(const std::string& text) {
  std::size_t offset = 0;
  return internal::parse_next(text, offset, 0);
}

}  // namespace lumo::typing::text::json
