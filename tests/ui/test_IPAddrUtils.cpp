#include "platform/Error.h"
#include "ui/IPAddrUtils.h"

#include <gtest/gtest.h>

#include <array>
#include <string>

namespace {

using namespace norva;

TEST(IPAddrText, OctetsOfAValidAddress) {
    const std::pair<const char*, std::array<int, 4>> cases[] = {
        {"192.168.1.10", {192, 168, 1, 10}},
        {"0.0.0.0", {0, 0, 0, 0}},
        {"255.255.255.255", {255, 255, 255, 255}},
        {"10.20.30.40", {10, 20, 30, 40}},
    };
    for (const auto& [text, octets] : cases) {
        for (int K = 1; K <= 4; ++K)
            EXPECT_EQ(GetIPOctet(text, K), octets[static_cast<std::size_t>(K - 1)]) << text << K;
        EXPECT_EQ(GetIPOctet(text, 0), 0) << text;
        EXPECT_EQ(GetIPOctet(text, 5), 0) << text;
    }
}

// Even an octet that is not asked for goes through the whole check, with the check's error.
TEST(IPAddrText, AnInvalidAddressRaisesForEveryOctet) {
    for (const int K : {1, 5}) {
        EXPECT_THROW(GetIPOctet("1.2.3", K), AssertionFailed) << K;
        try {
            GetIPOctet("256.1.1.1", K);
            ADD_FAILURE() << "no error";
        } catch (const AssertionFailed& e) {
            ADD_FAILURE() << e.what();
        } catch (const Error& e) {
            EXPECT_EQ(std::string(e.what()),
                      "Triplets must be of range 0..255  IPAddressString[256.1.1.1]");
        }
        try {
            GetIPOctet("192.168.01.1", K);
            ADD_FAILURE() << "no error";
        } catch (const AssertionFailed& e) {
            ADD_FAILURE() << e.what();
        } catch (const Error& e) {
            EXPECT_EQ(std::string(e.what()),
                      "Leading zero not allowed. IPAddressString[192.168.01.1]");
        }
    }
}

} // namespace
