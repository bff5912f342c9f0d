#pragma once

// The engine's description in a commit is JSON the engine wrote, but it is read back from a file:
// a number the parser cannot convert there is damage like any other, reported as such.
#include <stdexcept>
#include <string>

#include "index/Errors.h"
#include "json/JSON.h"

namespace lumo::index {

inline typing::text::json::JSON ParseEngineDescription(const std::string& text) {
  try {
    return typing::text::json::JSON::Load(text);
  } catch (const std::invalid_argument& e) {
    throw CorruptIndex(std::string("damaged index: the engine description: ") + e.what());
  } catch (const std::out_of_range& e) {
    throw CorruptIndex(std::string("damaged index: the engine description: ") + e.what());
  }
}

}  // namespace lumo::index
