#include "AllowList.h"

#include <cstdlib>

namespace {

// Whether the first `bits` bits of the two addresses' bytes agree.
bool SamePrefix(const Platform::IpAddress& a, const Platform::IpAddress& b, unsigned bits) {
    for (unsigned i = 0; bits > 0; ++i) {
        const unsigned take = bits < 8 ? bits : 8;
        const auto mask = static_cast<std::uint8_t>(0xFF00u >> take);
        if (((a.bytes[i] ^ b.bytes[i]) & mask) != 0) {
            return false;
        }
        bits -= take;
    }
    return true;
}

}  // namespace

bool AllowList::Add(const std::string& cidr, std::string* error) {
    const std::size_t slash = cidr.find('/');
    const std::string host = cidr.substr(0, slash);
    Network network;
    if (!Platform::ParseIpAddress(host, &network.address)) {
        *error = "\"" + cidr + "\" is not an IPv4 or IPv6 address or network (like 192.0.2.0/24)";
        return false;
    }
    const unsigned width = network.address.v6 ? 128 : 32;
    network.bits = width;
    if (slash != std::string::npos) {
        const std::string digits = cidr.substr(slash + 1);
        char* end = nullptr;
        const unsigned long bits = std::strtoul(digits.c_str(), &end, 10);
        if (digits.empty() || digits.size() > 3 || *end != '\0' || digits[0] == '-' ||
            digits[0] == '+' || bits > width) {
            *error = "\"" + cidr + "\": the prefix length must be a number from 0 to " +
                     std::to_string(width);
            return false;
        }
        network.bits = static_cast<unsigned>(bits);
    }
    // 192.0.2.1/24 is most likely a typing slip for a network or a single address: say so
    // rather than guess which was meant.
    Platform::IpAddress zero;
    zero.v6 = network.address.v6;
    Platform::IpAddress hostBits = network.address;
    for (unsigned bit = 0; bit < network.bits; ++bit) {
        hostBits.bytes[bit / 8] &= static_cast<std::uint8_t>(~(0x80u >> (bit % 8)));
    }
    if (!SamePrefix(hostBits, zero, width)) {
        *error = "\"" + cidr + "\" has address bits set beyond its prefix of " +
                 std::to_string(network.bits);
        return false;
    }
    m_networks.push_back(network);
    return true;
}

bool AllowList::Allows(const Platform::IpAddress& address) const {
    if (m_networks.empty()) {
        return true;
    }
    for (const Network& network : m_networks) {
        if (network.address.v6 == address.v6 &&
            SamePrefix(network.address, address, network.bits)) {
            return true;
        }
    }
    return false;
}
