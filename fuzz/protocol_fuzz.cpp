// libFuzzer target for the protocol core: decoding, checksums and setpoint
// scaling must hold their properties for any input, and ASan must see no
// access outside the bytes each decoder says it needs.
//
// Input layout: bytes 0..25 a frame, 26..33 a double (host order) whose low
// four bytes also give a milli count, the rest 64-bit values summed by the
// checksum accumulator.  Shorter inputs are zero-padded, so every input
// exercises every part.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "protocol/checksum.hpp"
#include "protocol/frame.hpp"
#include "protocol/identity.hpp"
#include "protocol/setpoint.hpp"
#include "protocol/status.hpp"

namespace {

using namespace zq::protocol;

[[noreturn]] void violated(const char* what, int line) {
    std::fprintf(stderr, "property violated at line %d: %s\n", line, what);
    std::abort();
}
#define REQUIRE(expr) ((expr) ? (void)0 : violated(#expr, __LINE__))

// A heap copy of exactly `count` bytes: one byte more read is an ASan report.
std::unique_ptr<std::uint8_t[]> exact_copy(const Frame& frame, std::size_t count) {
    std::unique_ptr<std::uint8_t[]> copy(new std::uint8_t[count]);
    std::memcpy(copy.get(), frame.data(), count);
    return copy;
}

std::uint32_t le32(const Frame& f, std::size_t i) {
    return std::uint32_t(f[i]) | std::uint32_t(f[i + 1]) << 8 | std::uint32_t(f[i + 2]) << 16 |
           std::uint32_t(f[i + 3]) << 24;
}

void status_recombines(const Frame& frame) {
    const auto bytes = exact_copy(frame, kStatusBytesNeeded);
    const Status s = decode_status(bytes.get());
    REQUIRE(s.current_ma == (frame[3] | frame[4] << 8));
    REQUIRE(s.voltage_mv == le32(frame, 5));
    REQUIRE(s.current_set_ma == (frame[10] | frame[11] << 8));
    REQUIRE(s.voltage_max_mv == le32(frame, 12));
    REQUIRE(s.voltage_set_mv == le32(frame, 16));

    // Byte 9 from the decoded flags.  The mode field has four codes but three
    // meanings: 0 and 3 both decode as unknown, so compare it by meaning.
    const unsigned mode_code = (frame[9] >> 2) & 3;
    unsigned encoded = (s.output_on ? 0x01u : 0u) | (s.over_temperature ? 0x02u : 0u) |
                       unsigned(s.fan_speed) << 4 | (s.remote ? 0x80u : 0u);
    REQUIRE(s.fan_speed <= 7);
    switch (s.mode) {
        case RegulationMode::kConstantVoltage: REQUIRE(mode_code == 1); break;
        case RegulationMode::kConstantCurrent: REQUIRE(mode_code == 2); break;
        case RegulationMode::kUnknown: REQUIRE(mode_code == 0 || mode_code == 3); break;
        default: violated("mode outside the enumeration", __LINE__);
    }
    encoded |= mode_code << 2;
    REQUIRE(encoded == frame[9]);
}

void identity_recombines(const Frame& frame) {
    const auto bytes = exact_copy(frame, kIdentityBytesNeeded);
    const Identity id = decode_identity(bytes.get());
    REQUIRE(id.address == frame[1]);
    REQUIRE(std::memcmp(id.model.data(), &frame[3], 4) == 0);
    REQUIRE(id.soft_version == (frame[8] | frame[9] << 8));
    REQUIRE(std::memcmp(id.serial_number.data(), &frame[10], 9) == 0);
}

void request_is_the_template(std::uint8_t address, std::uint8_t word) {
    const Frame request = make_request(address, word);
    for (std::size_t i = 0; i < kFrameLength; ++i) {
        const std::uint8_t expected =
            i == kAddressIndex ? address : i == kCommandIndex ? word : kTemplate[i];
        REQUIRE(request[i] == expected);
    }
}

void checksums_hold(const Frame& frame) {
    unsigned sum = 0;
    for (std::size_t i = 0; i < kChecksumIndex; ++i) sum += frame[i];
    REQUIRE(checksum_matches(frame) == (frame[kChecksumIndex] == (sum & 0xFF)));

    auto copy = exact_copy(frame, kFrameLength);
    REQUIRE(checksum_of(copy.get(), kChecksumIndex) == (sum & 0xFF));

    Frame filled = frame;
    fill_checksum(filled);
    REQUIRE(checksum_matches(filled));
    REQUIRE(std::memcmp(filled.data(), frame.data(), kChecksumIndex) == 0);
    Frame changed = filled;
    changed[frame[0] % kChecksumIndex] ^= static_cast<std::uint8_t>(frame[1] | 1);
    REQUIRE(!checksum_matches(changed));  // any one changed byte is noticed
}

void scaling_holds(double value) {
    const ScaledSetpoint scaled = scale_to_milli(value);
    const double product = value * 1000.0;
    switch (scaled.error) {
        case ScaleError::kNone:
            REQUIRE(std::isfinite(product));
            REQUIRE(static_cast<double>(scaled.milli) == std::trunc(product));
            break;
        case ScaleError::kNotANumber: REQUIRE(std::isnan(value)); break;
        case ScaleError::kInfinite: REQUIRE(std::isinf(value)); break;
        case ScaleError::kOutOfRange:  // a finite value whose product overflows included
            REQUIRE(std::isfinite(value));
            REQUIRE(!std::isfinite(product) || std::trunc(product) < 0.0 ||
                    std::trunc(product) > double(kMaxMilli));
            break;
        default: violated("scale error outside the enumeration", __LINE__);
    }
    if (scaled.error == ScaleError::kNone) {
        const auto le = little_endian_u32(scaled.milli);
        REQUIRE((std::uint32_t(le[0]) | std::uint32_t(le[1]) << 8 | std::uint32_t(le[2]) << 16 |
                 std::uint32_t(le[3]) << 24) == scaled.milli);
    }
}

void accumulator_holds(const std::uint8_t* data, std::size_t size) {
    ChecksumAccumulator wide;
    unsigned low = 0;
    for (; size >= 8; data += 8, size -= 8) {
        std::uint64_t value;
        std::memcpy(&value, data, 8);
        wide.add(value);
        low += value & 0xFF;
    }
    REQUIRE(wide.value() == (low & 0xFF));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::uint8_t head[kFrameLength + 8] = {};
    std::memcpy(head, data, size < sizeof head ? size : sizeof head);
    Frame frame;
    std::memcpy(frame.data(), head, kFrameLength);
    double value;
    std::memcpy(&value, head + kFrameLength, 8);

    status_recombines(frame);
    identity_recombines(frame);
    checksums_hold(frame);
    request_is_the_template(frame[1], frame[2]);
    scaling_holds(value);
    // Random doubles almost never land next to the 32-bit field's edges; a
    // milli count and its neighbours do (0xFFFFFFFF is an easy mutation).
    std::uint32_t milli;
    std::memcpy(&milli, head + kFrameLength, 4);
    for (double near : {milli / 1000.0, (milli + 1.0) / 1000.0, -(milli / 1000.0)}) {
        scaling_holds(near);
        scaling_holds(std::nextafter(near, -HUGE_VAL));
        scaling_holds(std::nextafter(near, HUGE_VAL));
    }
    if (size > sizeof head) accumulator_holds(data + sizeof head, size - sizeof head);
    return 0;
}
