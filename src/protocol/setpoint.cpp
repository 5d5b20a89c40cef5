#include "protocol/setpoint.hpp"

#include <cmath>

namespace zq::protocol {

ScaledSetpoint scale_to_milli(double value) {
    if (std::isnan(value)) return {ScaleError::kNotANumber, 0};
    if (std::isinf(value)) return {ScaleError::kInfinite, 0};
    const double product = value * 1000.0;  // may overflow to infinity: out of range
    if (!std::isfinite(product)) return {ScaleError::kOutOfRange, 0};
    const double truncated = std::trunc(product);
    // Compare as doubles before converting: casting an out-of-range double
    // to an integer is undefined behaviour.
    if (truncated < 0.0 || truncated > static_cast<double>(kMaxMilli)) {
        return {ScaleError::kOutOfRange, 0};
    }
    return {ScaleError::kNone, static_cast<std::uint32_t>(truncated)};
}

std::array<std::uint8_t, 4> little_endian_u32(std::uint32_t value) {
    return {static_cast<std::uint8_t>(value & 0xFF), static_cast<std::uint8_t>((value >> 8) & 0xFF),
            static_cast<std::uint8_t>((value >> 16) & 0xFF),
            static_cast<std::uint8_t>((value >> 24) & 0xFF)};
}

}  // namespace zq::protocol
