#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "qip/QipPacket.h"

namespace {

using Bytes = std::basic_string<unsigned char>;

Bytes ToBytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

// A literal with embedded 0x00 bytes, without its own terminator.
template <size_t N>
std::string Wire(const char (&literal)[N])
{
    return std::string(literal, N - 1);
}

// Parses `wire`, returning the packet and whatever was written to standard error.
std::unique_ptr<QipPacket> Parse(const std::string& wire, std::string& errors)
{
    const Bytes bytes = ToBytes(wire);
    testing::internal::CaptureStderr();
    std::unique_ptr<QipPacket> packet(QipPacket::Create(bytes.data(), bytes.size()));
    errors = testing::internal::GetCapturedStderr();
    return packet;
}

const std::string cWorkedWhoIsThere = Wire("whoisthere\0" "192.168.1.10\0" "255.255.255.0\0");

}  // namespace

TEST(QipPacket, WhoIsThereHasTheExactWireFormAndParsesBack)
{
    const QipPacketWhoIsThere packet("192.168.1.10", "255.255.255.0");
    unsigned char buffer[1472];
    ASSERT_EQ(packet.Serialize(buffer, sizeof(buffer)), 38u);
    EXPECT_EQ(Bytes(buffer, 38), ToBytes(cWorkedWhoIsThere));

    std::string errors;
    std::unique_ptr<QipPacket> parsed = Parse(cWorkedWhoIsThere, errors);
    auto* whoIsThere = dynamic_cast<QipPacketWhoIsThere*>(parsed.get());
    ASSERT_NE(whoIsThere, nullptr);
    EXPECT_EQ(whoIsThere->GetType(), "whoisthere");
    EXPECT_EQ(whoIsThere->GetIpAddress(), "192.168.1.10");
    EXPECT_EQ(whoIsThere->GetNetmask(), "255.255.255.0");
    EXPECT_EQ(errors, "");
}

TEST(QipPacket, SerializeNeedsTheWholeWireFormAndOtherwiseWritesNothing)
{
    const QipPacketWhoIsThere packet("192.168.1.10", "255.255.255.0");
    unsigned char exact[38];
    EXPECT_EQ(packet.Serialize(exact, sizeof(exact)), 38u);

    unsigned char small[37];
    memset(small, 0xAA, sizeof(small));
    testing::internal::CaptureStderr();
    EXPECT_EQ(packet.Serialize(small, sizeof(small)), 0u);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Buffer too small for QIP fields\n");
    EXPECT_EQ(Bytes(small, sizeof(small)), Bytes(sizeof(small), 0xAA));
}

TEST(QipPacket, HelloRoundTripKeepsAllSixTextsIncludingEmptyAndHighBytes)
{
    const QipPacketHello hello("QIP-Cam", "00:1a:\xff\x01", "192.168.1.20", "255.255.0.0", "",
                               "p-42");
    unsigned char buffer[1472];
    const unsigned long length = hello.Serialize(buffer, sizeof(buffer));
    ASSERT_GT(length, 0u);
    EXPECT_EQ(buffer[0], 'h');
    EXPECT_EQ(buffer[length - 1], 0);

    std::unique_ptr<QipPacket> parsed(QipPacket::Create(buffer, length));
    auto* copy = dynamic_cast<QipPacketHello*>(parsed.get());
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy->GetType(), cQipTypeHello);
    EXPECT_EQ(copy->GetDeviceType(), "QIP-Cam");
    EXPECT_EQ(copy->GetDeviceId(), "00:1a:\xff\x01");
    EXPECT_EQ(copy->GetIpAddress(), "192.168.1.20");
    EXPECT_EQ(copy->GetNetmask(), "255.255.0.0");
    EXPECT_EQ(copy->GetStatusUrl(), "");
    EXPECT_EQ(copy->GetPacketId(), "p-42");
}

TEST(QipPacket, HelloTakesTheFirstSevenFieldsAndIgnoresMore)
{
    std::string errors;
    auto parsed = Parse(Wire("hello\0t\0id\0" "1.2.3.4\0" "255.0.0.0\0/s\0p1\0extra\0"),
                        errors);
    auto* hello = dynamic_cast<QipPacketHello*>(parsed.get());
    ASSERT_NE(hello, nullptr);
    EXPECT_EQ(hello->GetStatusUrl(), "/s");
    EXPECT_EQ(hello->GetPacketId(), "p1");
    EXPECT_EQ(errors, "");
}

TEST(QipPacket, UnusableDatagramsGiveNullWithTheDocumentedReport)
{
    struct Case {
        std::string wire;
        std::string errors;
    } cases[] = {
        {std::string(), ""},
        {std::string(1, '\0'), ""},
        {Wire("Hello\0a\0b\0c\0d\0e\0f\0"), ""},
        {Wire("WHOISTHERE\0a\0b\0"), ""},
        {Wire("hello\0a\0b\0c\0d\0e\0"),
         "Insufficient fields for creating 'hello' packet\n"},
        {Wire("whoisthere\0" "1.2.3.4\0" "255.0.0.0"),
         "QIP payload is not terminated with 0x00\n"
         "Insufficient fields for creating 'whoisthere' packet\n"},
    };
    for (const Case& c : cases) {
        std::string errors;
        EXPECT_EQ(Parse(c.wire, errors), nullptr) << c.wire;
        EXPECT_EQ(errors, c.errors) << c.wire;
    }
}

TEST(QipPacket, SplitFieldsKeepsEmptyFieldsAndDropsAnUnterminatedTail)
{
    const Bytes wire = ToBytes(Wire("a\0\0b\0tail"));
    testing::internal::CaptureStderr();
    const std::vector<std::string> fields = QipPacket::SplitFields(wire.data(), wire.size());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "QIP payload is not terminated with 0x00\n");
    EXPECT_EQ(fields, (std::vector<std::string>{"a", "", "b"}));
}
