// The networks whose clients the server takes (--allow). An empty list takes everyone.
#pragma once

#include <string>
#include <vector>

#include "platform/TcpStream.h"

class AllowList {
public:
    // Adds "192.0.2.0/24", "2001:db8::/32" or a single address (all its bits). False,
    // with the reason in *error, for anything else: a host name, a prefix longer than
    // the address, host bits set beyond the prefix.
    bool Add(const std::string& cidr, std::string* error);
    bool Empty() const { return m_networks.empty(); }
    bool Allows(const Platform::IpAddress& address) const;

private:
    struct Network {
        Platform::IpAddress address;
        unsigned bits = 0;
    };
    std::vector<Network> m_networks;
};
