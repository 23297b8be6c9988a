// Two clients of one process on one port: the second subscribes to the first and takes the
// port over when it ends (the threads of both under ThreadSanitizer, unlike the test bed's
// separate programs).
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <memory>
#include <thread>

#include "qip/QipDeviceList.h"
#include "tests/engine/ClientTestSupport.h"

namespace {

bool Eventually(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

bool Lists(QipDeviceList& list, const std::string& id) {
    for (const QipDevice& device : list.Snapshot()) {
        if (device.GetDeviceId() == id) return true;
    }
    return false;
}

}  // namespace

TEST(QipClientShare, ASubscriberHearsThroughTheOwnerAndKeepsItsRecordsWhenTakingOver) {
    REQUIRE_NAMESPACE();
    Sender sender("127.0.0.1");
    ASSERT_TRUE(sender.IsReady());
    // Sweeping a large network at full pace when it ends, so that its send thread is busy.
    QipClient::Options options;
    options.mPort = cTestPort;
    options.mProbeRate = QipClient::cMaxProbeRate;
    std::vector<QipProbeTarget> sweep(1);
    std::string error;
    ASSERT_TRUE(QipProbeTarget::Parse("127.4.0.0/16", sweep[0], error)) << error;
    options.mProbeTargets = sweep;
    std::unique_ptr<QipClient> owner(new QipClient(options));
    std::unique_ptr<QipDeviceList> ownerList(new QipDeviceList(owner.get()));
    ASSERT_EQ(owner->GetRole(), QipClient::cRoleOwner);
    sender.SendHello("early");
    ASSERT_TRUE(Eventually([&] { return Lists(*ownerList, "early"); }));

    std::unique_ptr<QipClient> subscriber(new QipClient(cTestPort));
    std::unique_ptr<QipDeviceList> list(new QipDeviceList(subscriber.get()));
    EXPECT_EQ(subscriber->GetRole(), QipClient::cRoleSubscriber);
    EXPECT_EQ(subscriber->GetOwnerPid(), getpid());
    EXPECT_TRUE(subscriber->IsSocketOpen());
    EXPECT_FALSE(subscriber->IsPortShared());
    // What the owner heard before, then what it hears.
    EXPECT_TRUE(Eventually([&] { return Lists(*list, "early"); }));
    EXPECT_TRUE(Eventually([&] { return owner->GetSubscriberCount() == 1; }));
    sender.SendHello("later");
    EXPECT_TRUE(Eventually([&] { return Lists(*list, "later") && Lists(*ownerList, "later"); }));
    EXPECT_EQ(subscriber->GetReceiveCounts().mHellos, 2u);
    // A device repeating itself reaches the subscriber about once a second, not each time
    // (a flood of repeats would cost every subscriber what it costs the owner); a change
    // reaches it at once.
    for (int i = 0; i < 500; ++i) sender.SendHello("later");
    sender.SendHello("later", "p2");
    ASSERT_TRUE(Eventually([&] { return owner->GetReceiveCounts().mHellos >= 503; }));
    ASSERT_TRUE(Eventually([&] { return subscriber->GetReceiveCounts().mHellos >= 3; }));
    EXPECT_LE(subscriber->GetReceiveCounts().mHellos, 10u);
    EXPECT_TRUE(Eventually([&] {
        for (const QipDevice& device : list->Snapshot()) {
            if (device.GetDeviceId() == "later" && device.GetPacketId() == "p2") return true;
        }
        return false;
    }));

    // The owner's search ends while its process goes on, as a window's does when it searches
    // another network.
    testing::internal::CaptureStderr();
    owner.reset();  // the client before its list, as every owner does
    ownerList.reset();
    const bool isOwner = Eventually([&] { return subscriber->GetRole() == QipClient::cRoleOwner; });
    const std::string said = testing::internal::GetCapturedStderr();
    ASSERT_TRUE(isOwner);
    EXPECT_EQ(subscriber->GetHandoverCount(), 1u);
    EXPECT_NE(said.find("(process " + std::to_string(getpid()) + ") stopped serving it; this program owns it now"),
              std::string::npos)
        << said;
    // Nothing but itself holds the port now: front ends must not warn of another program.
    EXPECT_FALSE(subscriber->IsPortShared());
    sender.SendHello("after");
    EXPECT_TRUE(Eventually([&] { return Lists(*list, "after"); }));
    EXPECT_TRUE(Lists(*list, "early") && Lists(*list, "later"));
    subscriber.reset();
    list.reset();
}

TEST(QipClientShare, TheSixtyFifthListensAloneAndSaysWhy) {
    REQUIRE_NAMESPACE();
    std::unique_ptr<QipClient> owner(new QipClient(cTestPort));
    ASSERT_EQ(owner->GetRole(), QipClient::cRoleOwner);
    std::vector<std::unique_ptr<QipShareConnection>> subscribers;
    for (size_t i = 0; i < QipShareServer::cMaxSubscribers; ++i) {
        subscribers.emplace_back(new QipShareConnection());
        std::string error;
        ASSERT_EQ(subscribers.back()->Join(cTestPort, error), QipShareConnection::cJoined) << i;
    }
    ASSERT_TRUE(Eventually([&] {
        return owner->GetSubscriberCount() == QipShareServer::cMaxSubscribers;
    }));
    testing::internal::CaptureStderr();
    QipClient refused(cTestPort);
    const std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_EQ(refused.GetRole(), QipClient::cRoleAlone);
    EXPECT_TRUE(refused.IsSocketOpen());
    // It listens beside the owner, and front ends warn that answers may go to the other.
    EXPECT_TRUE(refused.IsPortShared());
    EXPECT_NE(errors.find("serves 64 programs already; listening alone"), std::string::npos)
        << errors;
}

TEST(QipClientShare, AQuietOwnerStillSendsKeepAlivesSoItsSubscribersStay) {
    REQUIRE_NAMESPACE();
    QipClient owner(cTestPort);
    ASSERT_EQ(owner.GetRole(), QipClient::cRoleOwner);
    QipShareConnection connection;
    std::string error;
    ASSERT_EQ(connection.Join(cTestPort, error), QipShareConnection::cJoined) << error;
    // No device answers: without keep-alives the subscriber would take the owner for stopped.
    QipShareWire::Message message;
    ASSERT_EQ(connection.Read(message, error), QipShareConnection::cMessage) << error;
    EXPECT_EQ(message.mType, QipShareWire::cSnapshotEnd);
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(connection.Read(message, error), QipShareConnection::cMessage) << error;
        EXPECT_EQ(message.mType, QipShareWire::cKeepAlive);
    }
}
