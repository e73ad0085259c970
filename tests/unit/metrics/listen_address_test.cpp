// The --metrics address as a user writes it.
#include "app/metrics/ListenAddress.h"

#include <gtest/gtest.h>

namespace {

ListenAddress Parsed(const std::string& text) {
    ListenAddress address;
    std::string message;
    EXPECT_TRUE(ParseListenAddress(text, address, message)) << text << ": " << message;
    return address;
}

std::string Refused(const std::string& text) {
    ListenAddress address;
    std::string message;
    EXPECT_FALSE(ParseListenAddress(text, address, message)) << text;
    return message;
}

TEST(ListenAddressTest, WhatIsLeftOutIsLoopbackAndTheDefaultPort) {
    EXPECT_EQ(Parsed("").Text(), "127.0.0.1:9464");
    EXPECT_EQ(Parsed("9100").Text(), "127.0.0.1:9100");
    EXPECT_EQ(Parsed(":9100").Text(), "127.0.0.1:9100");
    EXPECT_EQ(Parsed("localhost").Text(), "localhost:9464");
    EXPECT_EQ(Parsed("0").port, 0);
}

TEST(ListenAddressTest, OtherInterfacesOnlyWhenWrittenOut) {
    EXPECT_EQ(Parsed("0.0.0.0:9464").host, "0.0.0.0");
    EXPECT_EQ(Parsed("metrics-host.example:80").Text(), "metrics-host.example:80");
    const ListenAddress v6 = Parsed("[::]:9464");
    EXPECT_EQ(v6.host, "::");
    EXPECT_EQ(v6.Text(), "[::]:9464");
    EXPECT_EQ(Parsed("[::1]").port, 9464);
    EXPECT_EQ(Parsed("::1").host, "::1");
}

TEST(ListenAddressTest, BadAddressesAreNamedInTheMessage) {
    EXPECT_NE(Refused("127.0.0.1:99999").find("99999"), std::string::npos);
    EXPECT_NE(Refused("127.0.0.1:").find("without a port"), std::string::npos);
    EXPECT_NE(Refused("127.0.0.1:http").find("'http'"), std::string::npos);
    EXPECT_NE(Refused("[::1").find("'['"), std::string::npos);
    EXPECT_NE(Refused("[::1]9464").find("':PORT'"), std::string::npos);
    EXPECT_NE(Refused("[zz]:1").find("IPv6"), std::string::npos);
    EXPECT_NE(Refused("bad_host:1").find("'bad_host'"), std::string::npos);
    EXPECT_NE(Refused("a b").find("'a b'"), std::string::npos);
    Refused("-1");
}

}  // namespace
