#include "protocol/status.hpp"

namespace zq::protocol {
namespace {

std::uint16_t u16_at(const std::uint8_t* bytes, std::size_t index) {
    return static_cast<std::uint16_t>(bytes[index] | (bytes[index + 1] << 8));
}

std::uint32_t u32_at(const std::uint8_t* bytes, std::size_t index) {
    return static_cast<std::uint32_t>(bytes[index]) |
           (static_cast<std::uint32_t>(bytes[index + 1]) << 8) |
           (static_cast<std::uint32_t>(bytes[index + 2]) << 16) |
           (static_cast<std::uint32_t>(bytes[index + 3]) << 24);
}

RegulationMode mode_from_bits(unsigned bits) {
    switch (bits) {
        case 1: return RegulationMode::kConstantVoltage;
        case 2: return RegulationMode::kConstantCurrent;
        default: return RegulationMode::kUnknown;
    }
}

}  // namespace

Status decode_status(const std::uint8_t* reply) {
    const std::uint8_t bits = reply[9];
    Status status{};
    status.current_ma = u16_at(reply, 3);
    status.voltage_mv = u32_at(reply, 5);
    status.current_set_ma = u16_at(reply, 10);
    status.voltage_max_mv = u32_at(reply, 12);
    status.voltage_set_mv = u32_at(reply, 16);
    status.output_on = (bits & 0x01) != 0;
    status.over_temperature = (bits & 0x02) != 0;
    status.mode = mode_from_bits((bits & 0x0C) >> 2);
    status.fan_speed = static_cast<std::uint8_t>((bits & 0x70) >> 4);
    status.remote = (bits & 0x80) != 0;
    return status;
}

}  // namespace zq::protocol
