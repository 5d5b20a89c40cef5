#include "protocol/identity.hpp"

#include <algorithm>

namespace zq::protocol {

Identity decode_identity(const std::uint8_t* reply) {
    Identity identity{};
    identity.address = reply[1];
    std::copy(reply + 3, reply + 7, identity.model.begin());
    identity.soft_version = static_cast<std::uint16_t>(reply[8] + reply[9] * 256);
    std::copy(reply + 10, reply + 19, identity.serial_number.begin());
    return identity;
}

}  // namespace zq::protocol
