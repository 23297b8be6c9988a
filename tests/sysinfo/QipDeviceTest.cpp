#include <gtest/gtest.h>

#include "qip/QipDevice.h"
#include "tests/sysinfo/LoopbackHttpServer.h"

namespace {

QipPacketHello Hello(const std::string& type, const std::string& id, const std::string& ip,
                     const std::string& packetId) {
    return QipPacketHello(type, id, ip, "255.255.255.0", "http://127.0.0.1/status.xml",
                          packetId);
}

}  // namespace

TEST(QipDevice, EqualExactlyWhenIdsAreByteWiseEqual) {
    QipDevice a(Hello("typeA", "AB12", "192.168.1.20", "1"), "192.168.1.20");
    EXPECT_TRUE(a == QipDevice(Hello("typeB", "AB12", "192.168.1.21", "2"), "192.168.1.22"));
    EXPECT_FALSE(a == QipDevice(Hello("typeA", "ab12", "192.168.1.20", "1"), "192.168.1.20"));
}

TEST(QipDevice, CopiesCarryFetchedValuesAndFetchIndependently) {
    LoopbackHttpServer first("HTTP/1.0 200 OK\r\n\r\n<status>\r\n<wlan>\r\n<ssid>One</ssid>\r\n");
    LoopbackHttpServer second("HTTP/1.0 200 OK\r\n\r\n<status>\r\n<wlan>\r\n<ssid>Two</ssid>\r\n");
    QipDevice original(Hello("typeA", "AB12", "192.168.1.20", "1"), "127.0.0.1");
    original.GetSysInfo()->SetPort(first.Port());
    ASSERT_TRUE(original.GetSysInfo()->Fetch());
    QipDevice copy(original);
    EXPECT_EQ(copy.GetSysInfo()->GetValue("status/wlan/ssid"), "One");
    copy.GetSysInfo()->SetPort(second.Port());
    ASSERT_TRUE(copy.GetSysInfo()->Fetch());
    EXPECT_EQ(copy.GetSysInfo()->GetValue("status/wlan/ssid"), "Two");
    EXPECT_EQ(original.GetSysInfo()->GetValue("status/wlan/ssid"), "One");
}
