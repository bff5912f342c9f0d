#pragma once

#include <string>

namespace lumo::typing::text {

// Tokens are the member names of the model file's "_doc_token_frequency" object. A token may
// hold any byte, so it is written as a standard JSON string body; reading a model undoes that
// from the form in which the JSON parser holds a key.
//
// A token without a double quote, a backslash or a control byte is written exactly as it is.

// Escapes the double quote, the backslash and every byte below 0x20. A backslash followed by
// the letter u is written as \u005c, so that it cannot be mistaken for a \u escape once the
// parser has read it (the parser keeps \u escapes as written).
std::string EscapeTokenKey(const std::string& token);

// The token of a member name as the JSON parser holds it (in escaped form, with \u escapes
// kept as written). \u escapes are decoded to UTF-8, surrogate pairs included, so a model file
// written by another JSON tool reads back too; a lone surrogate escape is kept as written.
std::string UnescapeTokenKey(const std::string& held_key);

}  // namespace lumo::typing::text
