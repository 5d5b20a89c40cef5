// Setpoints travel as whole milli-units (mV, mA) in an unsigned 32-bit field.
#pragma once

#include <array>
#include <cstdint>

namespace zq::protocol {

constexpr std::uint32_t kMaxMilli = 0xFFFFFFFFu;

enum class ScaleError { kNone, kNotANumber, kInfinite, kOutOfRange };

struct ScaledSetpoint {
    ScaleError error;
    std::uint32_t milli;  // valid only when error == kNone
};

// value * 1000.0 in double precision, truncated toward zero (1.005 V is
// 1004 mV: the product is 1004.9999999999999).  A result outside the 32-bit
// field is refused rather than wrapped: -1 V would otherwise reach the
// supply as 4294966.296 V.  NaN and infinite values are errors of their
// own; a finite value whose product overflows is simply out of range.
ScaledSetpoint scale_to_milli(double value);

// Bytes 3..6 of a setpoint request.
std::array<std::uint8_t, 4> little_endian_u32(std::uint32_t value);

}  // namespace zq::protocol
