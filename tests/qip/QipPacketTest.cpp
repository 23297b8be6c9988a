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

// The parser keeps no history: the same datagram earns the same line on every call, so a
// tool reading captured datagrams, a test or a fuzzer sees each one reported.
TEST(QipPacket, UnusableDatagramsGiveNullWithTheDocumentedReportEveryTime)
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
    for (int round = 0; round < 2; ++round) {
        for (const auto& [wire, expected] : cases) {
            std::string errors;
            EXPECT_EQ(Parse(wire, errors), nullptr) << wire.size() << " bytes";
            EXPECT_EQ(errors, expected) << wire.size() << " bytes, round " << round;
        }
    }
}

TEST(QipReportLimiter, TellsEachRepeatedLineOncePerPeriodUnderItsOwnText)
{
    QipReportLimiter limiter;
    EXPECT_EQ(limiter.OnLine("Device list full", 0), (std::vector<std::string>{"Device list full"}));
    // Two floods interleaved: each count is told with the line it belongs to.
    for (int i = 1; i <= 500; ++i) {
        EXPECT_TRUE(limiter.OnLine("Device list full", i).empty());
        const std::vector<std::string> refused = limiter.OnLine("connect() failed: refused", i);
        EXPECT_EQ(refused.size(), i == 1 ? 1u : 0u);
    }
    EXPECT_EQ(limiter.NextFlushMs(), 60000);
    EXPECT_EQ(limiter.OnLine("Device list full", 60001),
              (std::vector<std::string>{"Device list full (repeated 500 times in 60 s)",
                                        "connect() failed: refused (repeated 499 times in 60 s)"}));
    // A flood that goes on is told again a period later, not let through at once.
    EXPECT_TRUE(limiter.OnLine("Device list full", 60002).empty());
    EXPECT_EQ(limiter.Flush(120001),
              (std::vector<std::string>{"Device list full (repeated 2 times in 60 s)"}));
    // A line quiet for a whole period is let through again as it is; a clock that went back
    // ends the period.
    EXPECT_EQ(limiter.OnLine("connect() failed: refused", 130000),
              (std::vector<std::string>{"connect() failed: refused"}));
    limiter.OnLine("connect() failed: refused", 130001);
    EXPECT_EQ(limiter.OnLine("connect() failed: refused", 5),
              (std::vector<std::string>{"connect() failed: refused (repeated 1 times in 60 s)"}));
    // Past the texts followed, lines are counted together.
    for (size_t i = 0; i < QipReportLimiter::cMaxTexts + 3; ++i) {
        limiter.OnLine("line " + std::to_string(i), 200000);
    }
    EXPECT_EQ(limiter.FlushAll().back(), "other messages (repeated 4 times in 60 s)");
}
