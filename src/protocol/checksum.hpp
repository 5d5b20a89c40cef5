// The frame checksum: the low 8 bits of the plain sum of every byte but the
// last.  No polynomial, no complement; the names elsewhere say "crc" only
// for historical reasons.
#pragma once

#include <cstddef>
#include <cstdint>

#include "protocol/frame.hpp"

namespace zq::protocol {

// Sums values of any width modulo 2**64.  Only the low 8 bits of the sum
// count, and 2**64 is a multiple of 256, so the wrap-around never changes
// the result: elements can be added at full value without overflow checks.
class ChecksumAccumulator {
public:
    void add(std::uint64_t value_mod_2_64) { sum_ += value_mod_2_64; }
    std::uint8_t value() const { return static_cast<std::uint8_t>(sum_ & 0xFF); }

private:
    std::uint64_t sum_ = 0;
};

// Checksum of the first `count` bytes.
std::uint8_t checksum_of(const std::uint8_t* bytes, std::size_t count);

// Writes the checksum of bytes 0..24 into byte 25.
void fill_checksum(Frame& frame);

// True when byte 25 is the checksum of bytes 0..24.
bool checksum_matches(const Frame& frame);

}  // namespace zq::protocol
