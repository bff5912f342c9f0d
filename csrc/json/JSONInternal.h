#pragma once

// Building blocks of the JSON library that are not part of its public face. They are
// declared here so that the library's own tests can reach them; other code includes JSON.h.

#include <cstddef>
#include <string>

#include "json/JSON.h"

namespace lumo::typing::text::json::internal {

// Arrays and objects may nest this deep; an opening bracket or brace beyond it is skipped
// with its whole contents and read as Null, so a hostile document cannot exhaust the stack.
constexpr int kMaxNestingDepth = 512;

// Parses the value that starts at `offset` (after whitespace) and leaves `offset` after it,
// or where the failed construct stopped. `depth` counts the arrays and objects around it.
JSON parse_next(const std::string& text, std::size_t& offset, int depth = 0);

// The writer's string escaper: the seven bytes backspace, tab, line feed, form feed,
// carriage return, double quote and backslash become two-character escapes; every other
// byte is copied unchanged.
std::string json_escape(const std::string& text);

}  // namespace lumo::typing::text::json::internal
