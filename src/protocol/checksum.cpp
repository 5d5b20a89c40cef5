#include "protocol/checksum.hpp"

namespace zq::protocol {

std::uint8_t checksum_of(const std::uint8_t* bytes, std::size_t count) {
    ChecksumAccumulator sum;
    for (std::size_t i = 0; i < count; ++i) sum.add(bytes[i]);
    return sum.value();
}

void fill_checksum(Frame& frame) {
    frame[kChecksumIndex] = checksum_of(frame.data(), kChecksumIndex);
}

bool checksum_matches(const Frame& frame) {
    return frame[kChecksumIndex] == checksum_of(frame.data(), kChecksumIndex);
}

}  // namespace zq::protocol
