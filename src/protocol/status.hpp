// Decoding of the live status reply (command word 0x26).
#pragma once

#include <cstddef>
#include <cstdint>

namespace zq::protocol {

enum class RegulationMode { kConstantVoltage, kConstantCurrent, kUnknown };

struct Status {
    std::uint16_t current_ma;      // bytes 3..4, measured
    std::uint32_t voltage_mv;      // bytes 5..8, measured
    std::uint16_t current_set_ma;  // bytes 10..11, current limit
    std::uint32_t voltage_max_mv;  // bytes 12..15, voltage ceiling
    std::uint32_t voltage_set_mv;  // bytes 16..19, output voltage setpoint
    bool output_on;                // byte 9 bit 0
    bool over_temperature;         // byte 9 bit 1
    RegulationMode mode;           // byte 9 bits 2..3: 1 CV, 2 CC, else unknown
    std::uint8_t fan_speed;        // byte 9 bits 4..6
    bool remote;                   // byte 9 bit 7
};

// The status fields end at byte 19.
constexpr std::size_t kStatusBytesNeeded = 20;

// `reply` holds at least kStatusBytesNeeded bytes.
Status decode_status(const std::uint8_t* reply);

}  // namespace zq::protocol
