// Decoding of the identity reply (command word 0x31).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace zq::protocol {

struct Identity {
    std::uint8_t address;               // byte 1: the supply's own bus address
    std::array<std::uint8_t, 4> model;  // bytes 3..6, one character per byte
    std::uint16_t soft_version;         // bytes 8..9
    std::array<std::uint8_t, 9> serial_number;  // bytes 10..18, leading zeros kept
};

// The identity fields end at byte 18.
constexpr std::size_t kIdentityBytesNeeded = 19;

// `reply` holds at least kIdentityBytesNeeded bytes.  Texts are taken whole,
// byte for byte: nothing is trimmed or validated.
Identity decode_identity(const std::uint8_t* reply);

}  // namespace zq::protocol
