#pragma once

// Building blocks of the JSON library that are not part of its public face. They are
// declared here so that the library's own tests can reach them, and the model-file reader
// (bm25/ModelText.h), which reads a document member by member instead of building it; other
// code includes JSON.h.

#include <cstddef>
#include <string>

#include "json/JSON.h"

namespace lumo::typing::text::json::internal {

// Arrays and objects may nest this deep; an opening bracket or brace beyond it is skipped
// with its whole contents and read as Null, so a hostile document cannot exhaust the stack.
constexpr int kMaxNestingDepth = 512;

// How much of a parsed value is built. A reader that only needs to know the kind of a value
// (a member it ignores, or one that must be a number) takes its shape: scalars as they are,
// an array or object as an empty one of its kind. Its contents are still parsed with the
// same diagnostics, recovery and number conversions, but never held, so a text of many
// small containers costs no more memory than its deepest nesting.
enum class Build { Everything, Shape };

// Parses the value that starts at `offset` (after whitespace) and leaves `offset` after it,
// or where the failed construct stopped. `depth` counts the arrays and objects around it.
JSON parse_next(const std::string& text, std::size_t& offset, int depth = 0, Build build = Build::Everything);

// Receives the members of an object one at a time (see parse_members).
class MemberReader {
 public:
  virtual ~MemberReader() = default;
  // `key` is the member name decoded as a standard JSON reader decodes it (the empty string
  // for a key that is not a string). The value starts at `offset`; the reader must parse it
  // with parse_next or parse_members at `depth`, leaving `offset` after it.
  virtual void Member(std::string&& key, const std::string& text, std::size_t& offset, int depth) = 0;
};

// Reads the object that starts at `offset` (after whitespace) exactly as parse_next would,
// with the same diagnostics and recovery, but hands each member to `reader` instead of
// building the object. Returns false, having consumed only whitespace, when the value there is
// not an object or lies beyond the nesting limit; the caller then parses it with parse_next.
bool parse_members(const std::string& text, std::size_t& offset, int depth, MemberReader& reader);

// The writer's string escaper, by the library's own rule (AppendLibraryEscaped in
// json/StringEscape.h); the parser stores object keys in this form.
std::string json_escape(const std::string& text);

}  // namespace lumo::typing::text::json::internal
