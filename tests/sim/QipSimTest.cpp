#include <algorithm>
#include <memory>

#include <gtest/gtest.h>

#include "qip/QipPacket.h"
#include "sysinfo/SysInfo.h"
#include "tools/device-sim/QipSimDevice.h"
#include "tools/device-sim/QipSimOptions.h"
#include "tools/device-sim/QipSimStatusPage.h"

namespace {

bool ParseArgs(std::vector<const char*> args, QipSimOptions* options, std::string* error) {
    args.insert(args.begin(), "qip-device-sim");
    return QipSimOptions::Parse(static_cast<int>(args.size()), args.data(), options, error);
}

std::unique_ptr<QipPacket> Parse(const std::vector<unsigned char>& bytes) {
    return std::unique_ptr<QipPacket>(QipPacket::Create(bytes.data(), bytes.size()));
}

QipSimDeviceConfig Device(const std::vector<const char*>& flags) {
    QipSimOptions options;
    std::string error;
    EXPECT_TRUE(ParseArgs(flags, &options, &error)) << error;
    return options.mDevices.empty() ? QipSimDeviceConfig() : options.mDevices[0];
}

std::string Ssid(const std::string& response) {
    SysInfo page("192.0.2.20", "/status.xml");
    page.ParsePage(response);
    return page.GetValue("status/wlan/ssid");
}

}  // namespace

TEST(QipSimOptions, GroupsFlagsPerDeviceAndFillsDefaults) {
    QipSimOptions options;
    std::string error;
    ASSERT_TRUE(ParseArgs({"-v", "--port", "19999", "--address", "192.0.2.20", "--ssid", "Office", "--device", "--type", "Box",
                           "--address", "198.51.100.7/16", "--address", "203.0.113.9/32", "--no-http"},
                          &options, &error))
        << error;
    EXPECT_TRUE(options.mVerbose);
    EXPECT_EQ(19999, options.mPort);
    ASSERT_EQ(2u, options.mDevices.size());
    const QipSimDeviceConfig& first = options.mDevices[0];
    EXPECT_EQ("sim-1", first.mId);
    EXPECT_EQ("Office", first.mSsid);
    ASSERT_EQ(1u, first.mAddresses.size());
    EXPECT_EQ("192.0.2.255", first.mAddresses[0].mBroadcast);

    const QipSimDeviceConfig& second = options.mDevices[1];
    EXPECT_EQ("sim-2", second.mId);
    EXPECT_EQ("QipSim", second.mSsid) << "flags of one device do not leak into the next";
    EXPECT_EQ(QipSimHttpMode::cNone, second.mHttpMode);
    ASSERT_EQ(2u, second.mAddresses.size());
    EXPECT_EQ("255.255.0.0", second.mAddresses[0].mNetmask);
    EXPECT_EQ("198.51.255.255", second.mAddresses[0].mBroadcast);
    EXPECT_EQ("203.0.113.9", second.mAddresses[1].mBroadcast);
}

TEST(QipSimOptions, RejectsWhatCannotBeSimulated) {
    const std::vector<std::vector<const char*>> bad = {
        {},                                                      // no device
        {"--type", "Box"},                                       // device without address
        {"--address", "192.0.2.300"},                            // not an address
        {"--address", "192.0.2.20", "--device", "--address", "192.0.2.20"},
        {"--address", "192.0.2.20", "--silent-after", "-1"},
        {"--address", "192.0.2.20", "--malformed", "HELLO"},
        {"--address", "192.0.2.20", "--answer-delay", "soon"},
        {"--address", "192.0.2.20", "--packet-id-every"},         // value missing
        {"--address", "192.0.2.20", "--frobnicate"},
        {"--address", "192.0.2.20", "--ids", "0"},
        {"--address", "192.0.2.20", "--http-fault", "rude"},
    };
    for (const auto& args : bad) {
        QipSimOptions options;
        std::string error;
        EXPECT_FALSE(ParseArgs(args, &options, &error)) << (args.empty() ? "" : args.back());
        EXPECT_FALSE(error.empty());
    }
}

TEST(QipSimDevice, AnswersOnceFromEachAddressWithItsOwnFields) {
    QipSimDevice device(Device({"--type", "Box", "--id", "AB12", "--url", "/s.xml", "--packet-id", "7",
                                "--address", "192.0.2.30/24", "--address", "198.51.100.30/25"}));
    std::vector<QipSimDevice::Datagram> answers = device.Answer(0);
    ASSERT_EQ(2u, answers.size());
    const char* sources[] = {"192.0.2.30", "198.51.100.30"};
    const char* netmasks[] = {"255.255.255.0", "255.255.255.128"};
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(sources[i], answers[i].mSource);
        std::unique_ptr<QipPacket> packet = Parse(answers[i].mBytes);
        auto* hello = dynamic_cast<QipPacketHello*>(packet.get());
        ASSERT_NE(nullptr, hello);
        EXPECT_EQ("Box", hello->GetDeviceType());
        EXPECT_EQ("AB12", hello->GetDeviceId());
        EXPECT_EQ(sources[i], hello->GetIpAddress());
        EXPECT_EQ(netmasks[i], hello->GetNetmask());
        EXPECT_EQ("/s.xml", hello->GetStatusUrl());
        EXPECT_EQ("7", hello->GetPacketId());
    }

    QipSimDevice liar(Device({"--address", "192.0.2.31", "--hello-ip", "203.0.113.99"}));
    answers = liar.Answer(0);
    ASSERT_EQ(1u, answers.size());
    EXPECT_EQ("192.0.2.31", answers[0].mSource);
    EXPECT_EQ("203.0.113.99", Parse(answers[0].mBytes)->GetIpAddress());

    QipSimDevice many(Device({"--id", "H", "--ids", "3", "--address", "192.0.2.32"}));
    answers = many.Answer(0);
    ASSERT_EQ(3u, answers.size());
    for (size_t i = 0; i < 3; ++i) {
        auto hello = std::unique_ptr<QipPacket>(Parse(answers[i].mBytes));
        EXPECT_EQ("H-" + std::to_string(i + 1), dynamic_cast<QipPacketHello&>(*hello).GetDeviceId());
    }
}

TEST(QipSimDevice, PacketIdChangesAndSilenceFollowAnswersAndTime) {
    QipSimDevice numeric(Device({"--address", "192.0.2.20", "--packet-id", "41", "--packet-id-every", "2",
                                 "--silent-after", "1.5"}));
    std::vector<std::string> ids;
    for (long long at : {0, 100, 200, 1499}) {
        std::vector<QipSimDevice::Datagram> answers = numeric.Answer(at);
        ASSERT_EQ(1u, answers.size());
        ids.push_back(dynamic_cast<QipPacketHello&>(*Parse(answers[0].mBytes)).GetPacketId());
    }
    EXPECT_EQ((std::vector<std::string>{"41", "41", "42", "42"}), ids);
    EXPECT_TRUE(numeric.Answer(1500).empty());
    EXPECT_EQ("43", numeric.GetCurrentPacketId()) << "unanswered whoisthere do not count";

    QipSimDevice text(Device({"--address", "192.0.2.20", "--packet-id", "rev", "--packet-id-every", "1"}));
    EXPECT_EQ("rev", text.GetCurrentPacketId());
    text.Answer(0);
    EXPECT_EQ("rev-1", text.GetCurrentPacketId());
}

TEST(QipSimDevice, MalformedHellosAreRefusedByTheParser) {
    std::vector<unsigned char> good = QipSimDevice(Device({"--address", "192.0.2.20"})).Answer(0)[0].mBytes;
    for (const char* kind : {"unterminated", "few-fields", "wrong-case"}) {
        std::vector<unsigned char> bytes =
            QipSimDevice(Device({"--address", "192.0.2.20", "--malformed", kind})).Answer(0).at(0).mBytes;
        EXPECT_EQ(nullptr, Parse(bytes)) << kind;
        std::vector<std::string> fields = QipPacket::SplitFields(bytes.data(), bytes.size());
        if (std::string(kind) == "wrong-case") {
            ASSERT_EQ(7u, fields.size());
            EXPECT_EQ("Hello", fields[0]);
        } else {
            EXPECT_EQ(6u, fields.size()) << kind;
            EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), good.begin())) << kind << " is a cut hello";
        }
    }
}

TEST(QipSimStatusPage, ReadsRequestHeads) {
    std::string target;
    using R = QipSimStatusPage::Request;
    EXPECT_EQ(R::cIncomplete, QipSimStatusPage::ParseRequest("GET /status.xml HTTP/1.0\r\nHost: x\r\n", &target));
    EXPECT_EQ(R::cComplete, QipSimStatusPage::ParseRequest("GET /status.xml HTTP/1.0\r\nHost: x\r\n\r\n", &target));
    EXPECT_EQ("/status.xml", target);
    EXPECT_EQ(R::cComplete, QipSimStatusPage::ParseRequest("GET /a?b HTTP/1.1\n\n", &target));
    EXPECT_EQ("/a?b", target);
    EXPECT_EQ(R::cBad, QipSimStatusPage::ParseRequest("POST /status.xml HTTP/1.0\r\n\r\n", &target));
    EXPECT_EQ(R::cBad, QipSimStatusPage::ParseRequest("GET /status.xml\r\n\r\n", &target));
}

TEST(QipSimStatusPage, AnswersFollowTheFaultModes) {
    QipSimDeviceConfig plain = Device({"--address", "192.0.2.20", "--ssid", "Office"});
    std::string page = QipSimStatusPage::BuildResponse(plain, "/status.xml");
    EXPECT_EQ(0u, page.find("HTTP/1.0 200 OK\r\n"));
    EXPECT_NE(std::string::npos, page.find("\r\n\r\n<?xml "));
    EXPECT_EQ("Office", Ssid(page));
    EXPECT_EQ(page, QipSimStatusPage::BuildResponse(plain, "http://192.0.2.20/status.xml"));
    EXPECT_EQ(0u, QipSimStatusPage::BuildResponse(plain, "/other.xml").find("HTTP/1.0 404 Not Found\r\n"));

    page = QipSimStatusPage::BuildResponse(Device({"--address", "192.0.2.20", "--lf-only"}), "/status.xml");
    EXPECT_EQ(std::string::npos, page.find('\r'));
    EXPECT_EQ("QipSim", Ssid(page));

    page = QipSimStatusPage::BuildResponse(Device({"--address", "192.0.2.20", "--http-status", "404"}), "/status.xml");
    EXPECT_EQ(0u, page.find("HTTP/1.0 404 Not Found\r\n"));
    EXPECT_EQ("QipSim", Ssid(page)) << "the page itself is still there";

    for (unsigned long size : {400ul, 401ul, 65535ul, 65536ul, 100000ul}) {
        std::string flag = std::to_string(size);
        page = QipSimStatusPage::BuildResponse(
            Device({"--address", "192.0.2.20", "--ssid", "Big", "--page-size", flag.c_str()}), "/status.xml");
        EXPECT_EQ(size, page.size());
        EXPECT_EQ("Big", Ssid(page)) << size;
        if (size == 100000) {
            EXPECT_GT(page.find("<ssid>"), 65535u) << "the SSID comes after the filler";
        }
    }

    // Hostile pages: the head says 200 OK where there is one, the size is what is promised.
    auto fault = [](const char* kind) {
        return QipSimStatusPage::BuildResponse(Device({"--address", "192.0.2.20", "--http-fault", kind}),
                                               "/status.xml");
    };
    page = fault("tiny-tags");
    EXPECT_EQ(0u, page.find("HTTP/1.0 200 OK\r\n"));
    EXPECT_LE(page.size(), 65535u);
    EXPECT_GT(std::count(page.begin(), page.end(), '\n'), 8000);
    SysInfo tiny("192.0.2.20", "/status.xml");
    tiny.ParsePage(page);
    // Each pair is a 3-byte key with no value: the allowance holds exactly so many of them.
    EXPECT_EQ(SysInfo::cMaxStoredBytes / (SysInfo::cEntryOverhead + 3), tiny.GetValues().size());
    page = fault("nested");
    EXPECT_EQ(0u, page.find("HTTP/1.0 200 OK\r\n"));
    size_t levels = 0;
    for (size_t at = page.find("<n>\r\n"); at != std::string::npos; at = page.find("<n>\r\n", at + 1)) ++levels;
    EXPECT_EQ(60000u, levels);
    EXPECT_EQ(1u << 20, fault("garbage").size());

    size_t split = QipSimStatusPage::SplitPoint(QipSimStatusPage::BuildResponse(plain, "/status.xml"));
    page = QipSimStatusPage::BuildResponse(plain, "/status.xml");
    EXPECT_EQ("", Ssid(page.substr(0, split)));
    EXPECT_EQ(0u, page.compare(split, 10, "    <ssid>"));
}
