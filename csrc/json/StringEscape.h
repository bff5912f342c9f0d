#pragma once

// The two rules by which this code writes a byte string as the body of a JSON string, each in
// one place: the library's own form, and standard JSON for readers other than this library.
#include <string>
#include <string_view>

namespace lumo::typing::text::json {

// The library's own form, used for the writer's strings and the keys the parser stores: the
// seven bytes backspace, tab, line feed, form feed, carriage return, double quote and backslash
// become two-character escapes; every other byte is copied unchanged, and no \u escape is ever
// produced. The parser keeps \u escapes as written, so this form and the parser agree.
void AppendLibraryEscaped(std::string& out, std::string_view text);

// Standard JSON, which a standard reader decodes back to the same bytes (the model file's
// token keys, read by bm25/ModelText.h). Text without a double quote, a backslash, a control
// byte or the bytes of a lone surrogate is written exactly as it is.
//
// The seven bytes above take the same two-character escapes, except that a backslash followed
// by the letter u is written as \u005c, as earlier versions did, whose reader kept \u escapes
// as written; every other byte below 0x20 becomes a \u00XX escape. The three bytes that a lone
// surrogate escape reads as (ED A0..BF 80..BF) are written as that escape again, so such text
// written by another JSON tool comes back as it was read; a high and a low surrogate next to
// each other stay bytes, since as escapes they would read as the one code point of the pair.
void AppendStandardEscaped(std::string& out, std::string_view text);

}  // namespace lumo::typing::text::json
