#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <ostream>
#include <string>
#include <type_traits>

namespace lumo::typing::text::json {

// A tagged JSON value. Objects and arrays own their nested values exclusively: copying is
// deep, moving hands the container over, destroying releases everything below.
//
// The payload is one machine word whose meaning depends on the kind, which keeps a value two
// words wide however large the document under it is.
class JSON {
 public:
  // The numbers are part of the writer's contract and never change.
  enum class Kind : std::uint32_t {
    Null = 0,
    Object = 1,
    Array = 2,
    String = 3,
    Float = 4,
    Integer = 5,
    Bool = 6,
  };

  using ObjectMap = std::map<std::string, JSON>;
  using ArrayQueue = std::deque<JSON>;

  JSON() noexcept : payload_(), kind_(Kind::Null) {}
  JSON(const std::string& text);
  JSON(const char* text);
  JSON(double number) noexcept;
  // Any integer width is widened to signed 64 bits; bool has its own constructor below.
  template <typename T, typename std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, bool>, int> = 0>
  JSON(T number)
  noexcept : payload_(), kind_(Kind::Integer) {
    payload_.integer = static_cast<std::int64_t>(number);
  }
  JSON(bool flag) noexcept;

  JSON(const JSON& other);
  JSON(JSON&& other) noexcept;
  ~JSON();

  JSON& operator=(const JSON& other);
  JSON& operator=(JSON&& other) noexcept;

  // Payload assignment: keeps the container only when the kind stays the same.
  JSON& operator=(const std::string& text);
  JSON& operator=(const char* text);
  JSON& operator=(double number);
  template <typename T, typename std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, bool>, int> = 0>
  JSON& operator=(T number) {
    SetInteger(static_cast<std::int64_t>(number));
    return *this;
  }
  JSON& operator=(bool flag);

  // Member access. A value of another kind becomes an empty Object first; an absent key is
  // inserted with a Null value, so reading a key adds it.
  JSON& operator[](const std::string& key);
  // Element access. A value of another kind becomes an empty Array first; the array grows
  // with Null values until the index exists.
  JSON& operator[](std::uint32_t index);

  Kind GetKind() const noexcept { return kind_; }

  // No conversion between kinds: a Float read as an integer is not ok, and vice versa.
  std::int64_t AsInteger(bool& ok) const noexcept;
  double AsFloat(bool& ok) const noexcept;
  std::string AsString(bool& ok) const;
  bool AsBool(bool& ok) const noexcept;

  // Entries of an Object in key order, elements of an Array in index order. A value of
  // another kind shows an empty sequence.
  const ObjectMap& Entries() const noexcept;
  const ArrayQueue& Elements() const noexcept;

  // Releases what the payload owns without touching the kind or the payload word; every
  // caller stores a new kind and payload straight afterwards.
  void ClearInternal() noexcept;

  // Parses the value at the start of `text`; anything after it is ignored. Syntax errors are
  // reported on standard error and replaced by fallback values; only numeric conversions throw.
  static JSON Load(const std::string& text);

  // Text of the value: objects one entry per line, indented by `tab` repeated `depth` times.
  std::string dump(int depth, std::string tab) const;

 private:
  friend JSON Object();
  friend JSON Array();

  union Payload {
    ObjectMap* object;
    ArrayQueue* array;
    std::string* string;
    double number;
    std::int64_t integer;
    bool flag;
  };

  void SetInteger(std::int64_t number) noexcept;
  // Hands this value's payload and kind to the caller and leaves the value Null.
  void StealInto(Payload& payload, Kind& kind) noexcept;
  void DumpTo(std::string& out, int depth, const std::string& tab) const;

  Payload payload_;
  Kind kind_;
};

JSON Object();
JSON Array();

// Writes the value as `dump(1, "  ")` does, with no line break after it.
std::ostream& operator<<(std::ostream& out, const JSON& value);

}  // namespace lumo::typing::text::json
