#pragma once

#include <string>

namespace lumo::typing::text {

// Tokens are the member names of the model file's "_doc_token_frequency" object. A token may
// hold any byte, so it is written as a standard JSON string body, and the model reader decodes
// member names as a standard JSON reader does (ModelText.h).
//
// A token without a double quote, a backslash, a control byte or the bytes of a lone surrogate
// is written exactly as it is.
//
// Escapes the double quote, the backslash and every byte below 0x20. A backslash followed by
// the letter u is written as \u005c, as earlier versions did, whose reader kept \u escapes as
// written. The three bytes that a lone surrogate escape reads as (ED A0..BF 80..BF) are written
// as that escape again, so such a token written by another JSON tool comes back as it was read;
// a high and a low surrogate next to each other stay bytes, since as escapes they would read as
// the one code point of the pair.
std::string EscapeTokenKey(const std::string& token);

}  // namespace lumo::typing::text
