#pragma once

// A fast 64-bit checksum of saved index files: four independent multiply-rotate lanes over
// 8-byte words, so it runs at memory speed. It detects accidental damage (truncation, flipped
// bits, swapped files), not tampering.
#include <cstddef>
#include <cstdint>
#include <string>

namespace lumo::index {

std::uint64_t Checksum64(const void* data, std::size_t size);

// A checksum as saved files spell it: 16 lower-case hex digits.
std::string ChecksumText(std::uint64_t checksum);

}  // namespace lumo::index
