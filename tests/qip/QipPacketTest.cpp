#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "qip/QipPacket.h"
#include "qip/QipReportLimiter.h"

namespace {

using Bytes = std::basic_string<unsigned char>;

// A literal with embedded 0x00 bytes, as bytes, without the literal's own terminator.
template <size_t N>
Bytes Wire(const char (&literal)[N])
{
    return Bytes(reinterpret_cast<const unsigned char*>(literal), N - 1);
}

std::unique_ptr<QipPacket> Parse(const Bytes& wire, std::string& errors)
{
    testing::internal::CaptureStderr();
    std::unique_ptr<QipPacket> packet(QipPacket::Create(wire.data(), wire.size()));
    errors = testing::internal::GetCapturedStderr();
    return packet;
}

}  // namespace

TEST(QipPacket, WhoIsThereHasTheExactWireFormParsesBackAndNeedsTheWholeBuffer)
{
    const Bytes example = Wire("whoisthere\0" "192.168.1.10\0" "255.255.255.0\0");
    const QipPacketWhoIsThere packet("192.168.1.10", "255.255.255.0");
    unsigned char buffer[38];
    ASSERT_EQ(packet.Serialize(buffer, sizeof(buffer)), 38u);
    EXPECT_EQ(Bytes(buffer, 38), example);

    std::string errors;
    std::unique_ptr<QipPacket> parsed = Parse(example, errors);
    auto* whoIsThere = dynamic_cast<QipPacketWhoIsThere*>(parsed.get());
    ASSERT_NE(whoIsThere, nullptr);
    EXPECT_EQ(whoIsThere->GetIpAddress(), "192.168.1.10");
    EXPECT_EQ(whoIsThere->GetNetmask(), "255.255.255.0");
    EXPECT_EQ(errors, "");

    memset(buffer, 0xAA, sizeof(buffer));
    testing::internal::CaptureStderr();
    EXPECT_EQ(packet.Serialize(buffer, 37), 0u);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Buffer too small for QIP fields\n");
    EXPECT_EQ(Bytes(buffer, 38), Bytes(38, 0xAA));
}

TEST(QipPacket, HelloRoundTripKeepsSixTextsAndParsingIgnoresExtraFields)
{
    const QipPacketHello hello("QIP-Cam", "id:\xff\x01", "192.168.1.20", "255.255.0.0", "", "p-42");
    unsigned char buffer[1472];
    const unsigned long length = hello.Serialize(buffer, sizeof(buffer));
    Bytes wire(buffer, length);
    wire += Wire("extra\0");

    std::string errors;
    std::unique_ptr<QipPacket> parsed = Parse(wire, errors);
    auto* copy = dynamic_cast<QipPacketHello*>(parsed.get());
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy->GetType(), cQipTypeHello);
    EXPECT_EQ(copy->GetDeviceType(), "QIP-Cam");
    EXPECT_EQ(copy->GetDeviceId(), "id:\xff\x01");
    EXPECT_EQ(copy->GetIpAddress(), "192.168.1.20");
    EXPECT_EQ(copy->GetNetmask(), "255.255.0.0");
    EXPECT_EQ(copy->GetStatusUrl(), "");
    EXPECT_EQ(copy->GetPacketId(), "p-42");
    EXPECT_EQ(errors, "");
}

TEST(QipPacket, UnusableDatagramsGiveNullWithTheDocumentedReport)
{
    const std::pair<Bytes, std::string> cases[] = {
        {Bytes(), ""},
        {Wire("\0"), ""},
        {Wire("Hello\0a\0b\0c\0d\0e\0f\0"), ""},
        {Wire("WHOISTHERE\0a\0b\0"), ""},
        {Wire("hello\0a\0b\0c\0d\0e\0"), "Insufficient fields for creating 'hello' packet\n"},
        {Wire("whoisthere\0" "1.2.3.4\0" "255.0.0.0"),
         "QIP payload is not terminated with 0x00\n"
         "Insufficient fields for creating 'whoisthere' packet\n"},
    };
    for (const auto& [wire, expected] : cases) {
        std::string errors;
        EXPECT_EQ(Parse(wire, errors), nullptr) << wire.size() << " bytes";
        EXPECT_EQ(errors, expected) << wire.size() << " bytes";
    }
}

// A host sending malformed datagrams as fast as it can must not write a line for each.
TEST(QipPacket, AFloodOfMalformedDatagramsWritesEachKindAtMostOnce)
{
    const Bytes kinds[] = {Wire("hello\0a\0b\0"), Wire("whoisthere\0a\0"), Wire("hello\0a")};
    testing::internal::CaptureStderr();
    for (int i = 0; i < 10000; ++i) {
        for (const Bytes& wire : kinds) {
            EXPECT_EQ(QipPacket::Create(wire.data(), wire.size()), nullptr);
        }
    }
    const std::string errors = testing::internal::GetCapturedStderr();
    for (const char* line : {"Insufficient fields for creating 'hello' packet\n",
                             "Insufficient fields for creating 'whoisthere' packet\n",
                             "QIP payload is not terminated with 0x00\n"}) {
        const size_t first = errors.find(line);
        EXPECT_TRUE(first == std::string::npos || errors.find(line, first + 1) == std::string::npos)
            << line << errors.substr(0, 400);
    }
}

TEST(QipReportLimiter, LetsALineThroughOnceAPeriodAndCountsWhatItHeldBack)
{
    QipReportLimiter limiter(60000);
    uint64_t leftOut = 99;
    EXPECT_TRUE(limiter.Allow(1000, &leftOut));
    EXPECT_EQ(leftOut, 0u);
    for (long long now = 1000; now < 61000; now += 100) {
        EXPECT_FALSE(limiter.Allow(now, &leftOut)) << now;
    }
    EXPECT_TRUE(limiter.Allow(61000, &leftOut));
    EXPECT_EQ(leftOut, 600u);
    EXPECT_FALSE(limiter.Allow(61001, &leftOut));
    // A clock that went back (a caller's mistake) lets the next line through at once.
    EXPECT_TRUE(limiter.Allow(500, &leftOut));
    EXPECT_EQ(leftOut, 1u);

    testing::internal::CaptureStderr();
    QipReportLimiter::Write("Device list full\n", 0);
    QipReportLimiter::Write("Device list full\n", 7);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Device list full\nDevice list full\n"
              "(7 more of the line above left out since it was last shown)\n");
}
