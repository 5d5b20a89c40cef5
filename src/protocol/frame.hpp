// Frame layout and command words of the supply's serial protocol.
//
// Every request and every reply is exactly 26 bytes: sync byte 0xAA, device
// address, command word, 22 payload bytes, additive checksum.  Multi-byte
// values travel least significant byte first.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace zq::protocol {

constexpr std::size_t kFrameLength = 26;
constexpr std::uint8_t kSyncByte = 0xAA;
constexpr std::size_t kAddressIndex = 1;
constexpr std::size_t kCommandIndex = 2;
constexpr std::size_t kPayloadIndex = 3;
constexpr std::size_t kChecksumIndex = kFrameLength - 1;

using Frame = std::array<std::uint8_t, kFrameLength>;

// Byte 25 of the template is a placeholder, not a valid checksum: every
// request has its checksum computed before it leaves.
constexpr Frame kTemplate = {0xAA, 0xFF, 0x20, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                             0,    0,    0,    0, 0, 0, 0, 0, 0, 0, 0, 0, 0xCC};

constexpr std::uint8_t kBroadcastAddress = 0xFF;

enum CommandWord : std::uint8_t {
    kSetWorkMode = 0x20,
    kSetOutMode = 0x21,
    kSetMaxOutVoltage = 0x22,
    kSetOutVoltage = 0x23,
    kSetOutCurrent = 0x24,
    kSetNewAddr = 0x25,
    kReadDevRealStatus = 0x26,
    kReadDevVersion = 0x31,
    kRestoreFactory = 0x32,
    kDevReturn = 0x12,  // the word of the device's own frames; nothing sends it
};

// A request for `word` to `address` with an empty payload; the checksum is
// left as the template has it (see checksum.hpp to fill it).
constexpr Frame make_request(std::uint8_t address, std::uint8_t word) {
    Frame frame = kTemplate;
    frame[kAddressIndex] = address;
    frame[kCommandIndex] = word;
    return frame;
}

}  // namespace zq::protocol
