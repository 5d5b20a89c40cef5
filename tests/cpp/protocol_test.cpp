// Table-driven checks of the protocol core, without the interpreter.
#include <cmath>
#include <cstdio>
#include <limits>

#include "protocol/checksum.hpp"
#include "protocol/identity.hpp"
#include "protocol/setpoint.hpp"
#include "protocol/status.hpp"

namespace {

int failures = 0;

void check(bool ok, const char* what, int line) {
    if (!ok) {
        ++failures;
        std::printf("FAIL line %d: %s\n", line, what);
    }
}
#define CHECK(expr) check((expr), #expr, __LINE__)

using namespace zq::protocol;

void checksums() {
    struct Case {
        std::uint8_t word, byte3, byte4, expected;
    };
    const Case cases[] = {
        {0x20, 0x00, 0x00, 0xC9}, {0x20, 0x01, 0x00, 0xCA}, {0x21, 0x01, 0x00, 0xCB},
        {0x23, 0xC6, 0x04, 0x96}, {0x26, 0x00, 0x00, 0xCF}, {0x31, 0x00, 0x00, 0xDA},
        {0x32, 0x00, 0x00, 0xDB}, {0x25, 0x06, 0x00, 0xD4}, {0x22, 0xD0, 0x07, 0xA2},
    };
    for (const Case& c : cases) {
        Frame frame = make_request(0xFF, c.word);
        frame[3] = c.byte3;
        frame[4] = c.byte4;
        fill_checksum(frame);
        CHECK(frame[25] == c.expected);
        CHECK(checksum_matches(frame));
        frame[7] ^= 1;  // any single changed byte is noticed
        CHECK(!checksum_matches(frame));
    }
    CHECK(!checksum_matches(kTemplate));  // 0xCC is a placeholder

    ChecksumAccumulator wide;  // values wider than a byte add at full value
    wide.add(0xFFFFFFFFFFFFFFFFull);  // -1 modulo 2**64
    wide.add(2);
    CHECK(wide.value() == 1);
}

void setpoints() {
    struct Case {
        double value;
        ScaleError error;
        std::uint32_t milli;
    };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const Case cases[] = {
        {1.222, ScaleError::kNone, 1222},          {0.888, ScaleError::kNone, 888},
        {1.005, ScaleError::kNone, 1004},          {0.0009, ScaleError::kNone, 0},
        {-0.0005, ScaleError::kNone, 0},           {-0.0, ScaleError::kNone, 0},
        {1.0, ScaleError::kNone, 1000},            {4294967.295, ScaleError::kNone, 4294967295u},
        {4294967.296, ScaleError::kOutOfRange, 0}, {-1.0, ScaleError::kOutOfRange, 0},
        {1e300, ScaleError::kOutOfRange, 0},       {-1e300, ScaleError::kOutOfRange, 0},
        {nan, ScaleError::kNotANumber, 0},         {inf, ScaleError::kInfinite, 0},
        {-inf, ScaleError::kInfinite, 0},          {1e306, ScaleError::kOutOfRange, 0},
    };
    for (const Case& c : cases) {
        const ScaledSetpoint scaled = scale_to_milli(c.value);
        CHECK(scaled.error == c.error);
        if (c.error == ScaleError::kNone) CHECK(scaled.milli == c.milli);
    }
    const auto bytes = little_endian_u32(1222);
    CHECK(bytes[0] == 0xC6 && bytes[1] == 0x04 && bytes[2] == 0 && bytes[3] == 0);
    const auto top = little_endian_u32(0xFFFFFC18u);
    CHECK(top[0] == 0x18 && top[1] == 0xFC && top[2] == 0xFF && top[3] == 0xFF);
}

void status() {
    Frame reply = make_request(5, 0x12);
    const std::uint8_t fields[] = {0xC8, 0x00, 0xDA, 0x0C, 0x00, 0x00, 0x85, 0xE8, 0x03,
                                   0x88, 0x13, 0x00, 0x00, 0xE4, 0x0C, 0x00, 0x00};
    for (std::size_t i = 0; i < sizeof fields; ++i) reply[3 + i] = fields[i];
    const Status s = decode_status(reply.data());
    CHECK(s.current_ma == 200 && s.voltage_mv == 3290 && s.current_set_ma == 1000);
    CHECK(s.voltage_max_mv == 5000 && s.voltage_set_mv == 3300);
    CHECK(s.output_on && !s.over_temperature && s.mode == RegulationMode::kConstantVoltage);
    CHECK(s.fan_speed == 0 && s.remote);

    struct Bits {
        std::uint8_t b9;
        bool on, hot;
        RegulationMode mode;
        int fan;
        bool remote;
    };
    const Bits table[] = {
        {0x00, false, false, RegulationMode::kUnknown, 0, false},
        {0xFF, true, true, RegulationMode::kUnknown, 7, true},
        {0x85, true, false, RegulationMode::kConstantVoltage, 0, true},
        {0x38, false, false, RegulationMode::kConstantCurrent, 3, false},
    };
    for (const Bits& b : table) {
        reply[9] = b.b9;
        const Status t = decode_status(reply.data());
        CHECK(t.output_on == b.on && t.over_temperature == b.hot && t.mode == b.mode);
        CHECK(t.fan_speed == b.fan && t.remote == b.remote);
    }
    Frame full{};
    full.fill(0xFF);
    const Status max = decode_status(full.data());
    CHECK(max.current_ma == 65535 && max.voltage_mv == 4294967295u);
}

void identity() {
    Frame reply = make_request(5, 0x12);
    const char model[] = "4181";
    const char serial[] = "076787041";
    for (int i = 0; i < 4; ++i) reply[3 + i] = static_cast<std::uint8_t>(model[i]);
    for (int i = 0; i < 9; ++i) reply[10 + i] = static_cast<std::uint8_t>(serial[i]);
    reply[8] = 0x75;
    reply[9] = 0x01;
    const Identity id = decode_identity(reply.data());
    CHECK(id.address == 5 && id.soft_version == 373);
    CHECK(id.model[0] == '4' && id.model[3] == '1');
    CHECK(id.serial_number[0] == '0' && id.serial_number[8] == '1');
}

}  // namespace

int main() {
    checksums();
    setpoints();
    status();
    identity();
    if (failures == 0) std::printf("protocol checks passed\n");
    return failures == 0 ? 0 : 1;
}
