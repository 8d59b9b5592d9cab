#include "AllowList.h"

#include <gtest/gtest.h>

namespace {

Platform::IpAddress Address(const std::string& text) {
    Platform::IpAddress address;
    EXPECT_TRUE(Platform::ParseIpAddress(text, &address)) << text;
    return address;
}

TEST(AllowListTest, NetworksTakeTheirAddressesAndNoOthers) {
    struct Case {
        const char* cidr;
        std::vector<const char*> inside;
        std::vector<const char*> outside;
    };
    const Case cases[] = {
        {"192.0.2.0/24", {"192.0.2.0", "192.0.2.255"}, {"192.0.3.1", "192.0.1.255"}},
        {"10.0.0.0/9", {"10.127.255.255"}, {"10.128.0.0", "11.0.0.1"}},
        {"127.0.0.1", {"127.0.0.1"}, {"127.0.0.2"}},
        {"0.0.0.0/0", {"8.8.8.8", "127.0.0.1"}, {"::1"}},
        {"2001:db8::/32", {"2001:db8::1", "2001:db8:ffff::"}, {"2001:db9::1", "32.1.13.184"}},
        {"fe80::/10", {"febf::1"}, {"fec0::1"}},
        {"::1", {"::1"}, {"::2", "127.0.0.1"}},
        {"::/0", {"::1", "2001:db8::1"}, {"127.0.0.1"}},
    };
    for (const Case& c : cases) {
        AllowList list;
        std::string error;
        ASSERT_TRUE(list.Add(c.cidr, &error)) << c.cidr << ": " << error;
        for (const char* a : c.inside) {
            EXPECT_TRUE(list.Allows(Address(a))) << c.cidr << " " << a;
        }
        for (const char* a : c.outside) {
            EXPECT_FALSE(list.Allows(Address(a))) << c.cidr << " " << a;
        }
    }
    AllowList everyone;
    EXPECT_TRUE(everyone.Allows(Address("203.0.113.9")));
    AllowList two;
    std::string error;
    ASSERT_TRUE(two.Add("192.0.2.0/24", &error) && two.Add("2001:db8::/32", &error));
    EXPECT_TRUE(two.Allows(Address("2001:db8::7")));
    EXPECT_TRUE(two.Allows(Address("192.0.2.7")));
    EXPECT_FALSE(two.Allows(Address("198.51.100.7")));
}

TEST(AllowListTest, BadTextIsRefusedWithItsReason) {
    struct Case {
        const char* cidr;
        const char* says;
    };
    const Case cases[] = {
        {"", "is not an IPv4 or IPv6 address"},
        {"localhost", "is not an IPv4 or IPv6 address"},
        {"192.0.2", "is not an IPv4 or IPv6 address"},
        {"256.0.0.0/8", "is not an IPv4 or IPv6 address"},
        {"[::1]/128", "is not an IPv4 or IPv6 address"},
        {"192.0.2.0/", "prefix length must be a number from 0 to 32"},
        {"192.0.2.0/33", "prefix length must be a number from 0 to 32"},
        {"192.0.2.0/-1", "prefix length must be a number from 0 to 32"},
        {"192.0.2.0/+8", "prefix length must be a number from 0 to 32"},
        {"192.0.2.0/24x", "prefix length must be a number from 0 to 32"},
        {"192.0.2.0/24/8", "prefix length must be a number from 0 to 32"},
        {"2001:db8::/129", "prefix length must be a number from 0 to 128"},
        {"192.0.2.1/24", "address bits set beyond its prefix of 24"},
        {"2001:db8::1/32", "address bits set beyond its prefix of 32"},
    };
    for (const Case& c : cases) {
        AllowList list;
        std::string error;
        EXPECT_FALSE(list.Add(c.cidr, &error)) << c.cidr;
        EXPECT_NE(error.find(c.says), std::string::npos) << c.cidr << ": " << error;
        EXPECT_TRUE(list.Empty()) << c.cidr;
    }
}

}  // namespace
