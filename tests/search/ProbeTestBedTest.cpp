#include <gtest/gtest.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/testbed/TestBed.h"
#include "tests/testbed/TestBedNameServer.h"

// qip-discover against a device behind the bed's router, which forwards unicast but no
// broadcast, and a device on the host's own network.
namespace {

const char* const cFarAddress = "198.51.100.20";

std::vector<nlohmann::json> JsonLines(const std::string& text) {
    std::vector<nlohmann::json> objects;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line[0] == '{') objects.push_back(nlohmann::json::parse(line));
    }
    return objects;
}

// The bed with one device near (192.0.2.20, "Near") and one behind the router ("Far").
class ProbeTestBed : public ::testing::Test {
protected:
    bool StartDevices() {
        const std::string near = mBed.AddDevice({"192.0.2.20/24"});
        const std::string far = mBed.AddDeviceBehindRouter({std::string(cFarAddress) + "/24"});
        return !near.empty() && !far.empty() &&
               mBed.StartSimulator(near, {"--address", "192.0.2.20/24", "--id", "near", "--ssid", "Near"}) > 0 &&
               mBed.StartSimulator(far, {"--address", std::string(cFarAddress) + "/24", "--id", "far",
                                         "--ssid", "Far"}) > 0;
    }
    // qip-discover --json with `args` in the host namespace; the exit status.
    int Discover(const std::vector<std::string>& args, std::string* output, std::string* errors) {
        std::vector<std::string> argv{"qip-discover", "--json", "--wait", "4"};
        argv.insert(argv.end(), args.begin(), args.end());
        return mBed.Run(mBed.GetHostNamespace(), argv, output, TestBed::cDefaultTimeoutMs, errors);
    }

    TestBed mBed;
};

// Seconds from when `look()` first shows `first` until it shows `last` too; -1 when either
// does not show within 15 s.
template <typename Look>
double SecondsBetween(Look look, const std::string& first, const std::string& last) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point limit = Clock::now() + std::chrono::seconds(15);
    while (look().find(first) == std::string::npos) {
        if (Clock::now() > limit) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const Clock::time_point seen = Clock::now();
    while (look().find(last) == std::string::npos) {
        if (Clock::now() > limit) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return std::chrono::duration<double>(Clock::now() - seen).count();
}

size_t CountOf(const std::string& text, const std::string& what) {
    size_t count = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
    return count;
}

}  // namespace

TEST_F(ProbeTestBed, BroadcastMissesTheDeviceBehindTheRouterAndProbingFindsItOnceWithItsPage) {
    QIP_REQUIRE_TESTBED();
    ASSERT_TRUE(mBed.IsReady());
    ASSERT_TRUE(StartDevices());

    std::string output, errors;
    ASSERT_EQ(Discover({}, &output, &errors), 0) << errors;
    std::vector<nlohmann::json> devices = JsonLines(output);
    ASSERT_EQ(devices.size(), 1u) << output;
    EXPECT_EQ(devices[0]["DeviceId"], "near") << "the router forwards no broadcast";

    for (const char* target : {"198.51.100.20", "198.51.100.0/24"}) {
        ASSERT_EQ(Discover({"--probe", target}, &output, &errors), 0) << target << "\n" << errors;
        devices = JsonLines(output);
        ASSERT_EQ(devices.size(), 2u) << target << "\n" << output;  // near and far, once each
        // Rows stand in the order heard, and a loaded machine may hear either first.
        const bool farFirst = devices[0]["DeviceId"] == "far";
        const nlohmann::json& far = devices[farFirst ? 0 : 1];
        EXPECT_EQ(devices[farFirst ? 1 : 0]["DeviceId"], "near");
        EXPECT_EQ(far["DeviceId"], "far");
        EXPECT_EQ(far["DeviceIP"], cFarAddress);
        EXPECT_EQ(far["SSID"], "Far") << "its status page is read through the router";
        EXPECT_EQ(far["Page"], "ok");
        EXPECT_EQ(far["Reachable"], false);
    }
}

TEST_F(ProbeTestBed, SilentProbedNetworksAreNamedWithWhatToCheckAndBadTargetsAreUsageErrors) {
    QIP_REQUIRE_TESTBED();
    ASSERT_TRUE(mBed.IsReady());
    ASSERT_FALSE(mBed.AddRouter().empty());

    std::string output, errors;
    // Nobody lives in 198.51.100.32/28; the far network is routed, just empty there.
    EXPECT_EQ(mBed.Run(mBed.GetHostNamespace(), {"qip-discover", "--wait", "1", "--probe", "198.51.100.32/28", "-v"},
                       &output, TestBed::cDefaultTimeoutMs, &errors), 1);
    EXPECT_NE(errors.find("probing 198.51.100.32/28: 198.51.100.33 to 198.51.100.46 (14 addresses) from br0 "
                          "192.0.2.1/24"), std::string::npos) << errors;
    EXPECT_NE(errors.find("probes sent: 14\n"), std::string::npos) << errors;
    EXPECT_NE(errors.find("Networks probed: 198.51.100.32/28\n"), std::string::npos) << errors;
    EXPECT_NE(errors.find("Nothing answered from the networks probed (198.51.100.32/28)"), std::string::npos)
        << errors;
    EXPECT_NE(errors.find("UDP port 19375 both ways"), std::string::npos) << errors;
    EXPECT_NE(errors.find("TCP port 80"), std::string::npos) << errors;

    // No route at all: counted and said once, the run goes on.
    EXPECT_EQ(mBed.Run(mBed.GetHostNamespace(), {"qip-discover", "--wait", "1", "--probe", "203.0.113.0/30"},
                       &output, TestBed::cDefaultTimeoutMs, &errors), 1);
    EXPECT_NE(errors.find("Probes: 2 of 2 could not be sent (first 203.0.113.1: Network is unreachable)"),
              std::string::npos) << errors;
    // Named as what it is, not as a router that drops UDP.
    EXPECT_NE(errors.find("This computer has no route to 203.0.113.0/30"), std::string::npos) << errors;
    EXPECT_EQ(errors.find("Nothing answered from the networks probed"), std::string::npos) << errors;

    // The bed has no name server: a name is not known for now, which is no usage error. The
    // run goes on without it and says so.
    EXPECT_EQ(mBed.Run(mBed.GetHostNamespace(), {"qip-discover", "--wait", "1", "--probe", "no-such-host.invalid"},
                       &output, TestBed::cDefaultTimeoutMs, &errors), 1);
    EXPECT_NE(errors.find("Probe target skipped: cannot resolve no-such-host.invalid: "), std::string::npos) << errors;
    EXPECT_NE(errors.find("1. cannot resolve no-such-host.invalid: "), std::string::npos) << errors;
    EXPECT_EQ(errors.find("Nothing answered from the networks probed"), std::string::npos) << errors;

    for (const char* bad : {"198.51.0.0/12", "198.51.100.300", "224.0.0.251", "0.0.0.0"}) {
        EXPECT_EQ(mBed.Run(mBed.GetHostNamespace(), {"qip-discover", "--probe", bad}, &output,
                           TestBed::cDefaultTimeoutMs, &errors), 2) << bad;
        EXPECT_NE(errors.find(bad), std::string::npos) << errors;
    }
}

TEST_F(ProbeTestBed, TheExporterProbesTheNetworkBehindTheRouterAndExportsItsDevice) {
    if (!QIPFINDER_EXPORTER_BUILT) GTEST_SKIP() << "this build (the portable one) has no qip-exporter";
    QIP_REQUIRE_TESTBED();
    ASSERT_TRUE(mBed.IsReady());
    ASSERT_TRUE(StartDevices());
    const std::string host = mBed.GetHostNamespace();
    const std::string metricsUrl = "http://127.0.0.1:19377/metrics";
    // Alone, then beside a program that owns the port, whose subscriber the exporter is.
    for (const bool besideOwner : {false, true}) {
        const pid_t owner = besideOwner ? mBed.Start(host, {"qip-discover", "--watch", "--no-ssid"}) : 0;
        ASSERT_GE(owner, 0);
        for (int i = 0; i < 100 && besideOwner && mBed.GetOutput(owner).find("appeared near") == std::string::npos;
             ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        const pid_t exporter =
            mBed.Start(host, {"qip-exporter", "--listen", "127.0.0.1:19377", "--probe", "198.51.100.0/24"});
        ASSERT_GT(exporter, 0);
        // The far device appears once a sweep reached it and its page was read through the router.
        const std::string farInfo = "qip_device_info{device_id=\"far\",device_type=\"QipSim\","
                                    "address=\"198.51.100.20\",ssid=\"Far\"} 1";
        std::string metrics;
        for (int i = 0; i < 100 && metrics.find(farInfo) == std::string::npos; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(150));
            mBed.Run(host, {"curl", "-sf", metricsUrl}, &metrics, 5000);
        }
        EXPECT_NE(metrics.find(farInfo), std::string::npos) << metrics << "\n" << mBed.GetOutput(exporter);
        EXPECT_NE(metrics.find("device_id=\"near\""), std::string::npos) << metrics;
        // The sweep that reached the far device was begun; it may still be sending.
        EXPECT_NE(metrics.find("\nqip_probe_sweeps_started_total "), std::string::npos) << metrics;
        EXPECT_EQ(metrics.find("\nqip_probe_sweeps_started_total 0\n"), std::string::npos) << metrics;
        EXPECT_NE(metrics.find("\nqip_probe_sweeps_completed_total "), std::string::npos) << metrics;
        EXPECT_NE(mBed.GetOutput(exporter).find("; probing 198.51.100.0/24 (254 addresses)"), std::string::npos)
            << mBed.GetOutput(exporter);
        // A subscriber's sweep ends as one alone does.
        for (int i = 0; i < 100 && metrics.find("\nqip_probe_sweeps_completed_total 0\n") != std::string::npos; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(150));
            mBed.Run(host, {"curl", "-sf", metricsUrl}, &metrics, 5000);
        }
        EXPECT_EQ(metrics.find("\nqip_probe_sweeps_completed_total 0\n"), std::string::npos) << metrics;
        if (besideOwner) {
            EXPECT_NE(mBed.GetOutput(exporter).find("subscribed to process " + std::to_string(owner)),
                      std::string::npos)
                << mBed.GetOutput(exporter);
        }
        EXPECT_EQ(mBed.Stop(exporter), 0);
        if (besideOwner) {
            EXPECT_EQ(mBed.Stop(owner), 0);
        }
    }

    std::string metrics, errors;
    EXPECT_EQ(mBed.Run(host, {"qip-exporter", "--probe", "198.51.100.0/12"}, &metrics,
                       TestBed::cDefaultTimeoutMs, &errors), 2);
    EXPECT_NE((metrics + errors).find("198.51.100.0/12"), std::string::npos) << errors;
    EXPECT_NE(errors.find("\nTry 'qip-exporter --help'.\n"), std::string::npos) << errors;
}

TEST_F(ProbeTestBed, BothProgramsSweepAtTheProbeRateGiven) {
    QIP_REQUIRE_TESTBED();
    ASSERT_TRUE(mBed.IsReady());
    const std::string host = mBed.GetHostNamespace();
    // Devices on loopback at the first and the last of the 4,094 addresses of a /20: at the
    // default 2,000 probes a second the last is asked 2 s after the first, at 50,000 in 0.08 s.
    const double defaultPaceSeconds = 4093.0 / 2000;
    ASSERT_GT(mBed.StartSimulator(host, {"--device", "--id", "first", "--address", "127.5.0.1/20",
                                         "--device", "--id", "last", "--address", "127.5.15.254/20"}),
              0);
    const std::vector<std::string> probe{"--no-ssid", "--probe", "127.5.0.0/20", "--probe-rate", "50000"};

    std::vector<std::string> argv{"qip-discover", "--watch"};
    argv.insert(argv.end(), probe.begin(), probe.end());
    const pid_t watch = mBed.Start(host, argv);
    ASSERT_GT(watch, 0);
    const double discover =
        SecondsBetween([&] { return mBed.GetOutput(watch); }, "appeared first", "appeared last");
    EXPECT_GE(discover, 0) << mBed.GetOutput(watch);
    EXPECT_LT(discover, defaultPaceSeconds / 2) << mBed.GetOutput(watch);
    mBed.Stop(watch);

    if (!QIPFINDER_EXPORTER_BUILT) return;  // the portable build's
    argv = {"qip-exporter", "--listen", "127.0.0.1:19378"};
    argv.insert(argv.end(), probe.begin(), probe.end());
    const pid_t exporter = mBed.Start(host, argv);
    ASSERT_GT(exporter, 0);
    std::string metrics;
    const double exported = SecondsBetween(
        [&] {
            mBed.Run(host, {"curl", "-sf", "http://127.0.0.1:19378/metrics"}, &metrics, 5000);
            return metrics;
        },
        "device_id=\"first\"", "device_id=\"last\"");
    EXPECT_GE(exported, 0) << metrics << "\n" << mBed.GetOutput(exporter);
    EXPECT_LT(exported, defaultPaceSeconds / 2) << mBed.GetOutput(exporter);
    EXPECT_EQ(mBed.Stop(exporter), 0);
}

TEST_F(ProbeTestBed, ANameServerThatNeverAnswersHoldsNeitherTheBroadcastsNorTheQuit) {
    QIP_REQUIRE_TESTBED();
    ASSERT_TRUE(mBed.IsReady());
    TestBedNameServer nameServer(mBed);
    ASSERT_TRUE(nameServer.IsReady());
    const std::string host = mBed.GetHostNamespace();
    using Clock = std::chrono::steady_clock;

    // Three remembered names, as the window keeps them, none of which ever resolves.
    const pid_t watch = mBed.Start("", {"ip", "netns", "exec", host, TestBed::BinaryPath("qip-discover"), "--watch",
                                        "-v", "--probe", "lab-router.example", "--probe", "b.example", "--probe",
                                        "c.example"});
    ASSERT_GT(watch, 0);
    const std::string broadcast = "sent whoisthere to 192.0.2.255";
    std::vector<Clock::time_point> sent;
    for (const Clock::time_point start = Clock::now(); sent.size() < 3 && Clock::now() - start < std::chrono::seconds(40);
         std::this_thread::sleep_for(std::chrono::milliseconds(50))) {
        if (CountOf(mBed.GetOutput(watch), broadcast) > sent.size()) sent.push_back(Clock::now());
    }
    const std::string watched = mBed.GetOutput(watch);
    ASSERT_EQ(sent.size(), 3u) << watched;
    // The cycle is 10 s; a lookup on the send thread made it 30 s.
    for (size_t i = 1; i < sent.size(); ++i) {
        EXPECT_LT(sent[i] - sent[i - 1], std::chrono::seconds(13)) << watched;
    }
    EXPECT_GE(CountOf(watched, "cannot resolve lab-router.example: no answer from the name server"), 2u) << watched;
    EXPECT_GE(CountOf(watched, "cannot resolve c.example"), 2u) << watched;
    const Clock::time_point stopping = Clock::now();
    EXPECT_EQ(mBed.Stop(watch), 0);
    EXPECT_LT(Clock::now() - stopping, std::chrono::seconds(3)) << "the quit waited for a name";

    // A single search ends a second after its broadcast, long before a lookup is given up
    // (4 s), and says what became of each name in its diagnosis.
    std::string output, errors;
    EXPECT_EQ(mBed.Run("", {"ip", "netns", "exec", host, TestBed::BinaryPath("qip-discover"), "--wait", "1", "--probe",
                            "lab-router.example", "--probe", "b.example"},
                       &output, 3500, &errors), 1) << "a name held the search\n" << errors;
    EXPECT_NE(errors.find("1. cannot resolve lab-router.example: no answer from the name server within "),
              std::string::npos) << errors;
    EXPECT_NE(errors.find("   cannot resolve b.example: no answer from the name server"), std::string::npos) << errors;
    EXPECT_EQ(errors.find("Nothing answered"), std::string::npos) << errors;

    // A name that resolves while another hangs is probed in the same sweep: the device
    // behind the router, which no broadcast reaches, is found through it.
    ASSERT_TRUE(StartDevices());
    nameServer.AddHost("far.example", cFarAddress);
    EXPECT_EQ(mBed.Run("", {"ip", "netns", "exec", host, TestBed::BinaryPath("qip-discover"), "--json", "--no-ssid",
                            "--wait", "2", "--wait-for", "far", "-v", "--probe", "lab-router.example", "--probe",
                            "far.example"},
                       &output, 15000, &errors), 0) << errors;
    EXPECT_NE(output.find("\"DeviceId\":\"far\""), std::string::npos) << output << errors;

    // The exporter's first sweep probes the address it was given at once, names or not: a
    // device on loopback, which no broadcast reaches, is exported well before 4 s.
    if (!QIPFINDER_EXPORTER_BUILT) return;  // the portable build has no qip-exporter
    ASSERT_GT(mBed.StartSimulator(host, {"--device", "--id", "looped", "--address", "127.5.0.1/20"}), 0);
    const Clock::time_point started = Clock::now();
    const pid_t exporter = mBed.Start("", {"ip", "netns", "exec", host, TestBed::BinaryPath("qip-exporter"), "--no-ssid",
                                           "--listen", "127.0.0.1:19379", "--probe", "lab-router.example", "--probe",
                                           "127.5.0.1"});
    ASSERT_GT(exporter, 0);
    std::string metrics;
    while (metrics.find("device_id=\"looped\"") == std::string::npos &&
           Clock::now() - started < std::chrono::seconds(15)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        mBed.Run(host, {"curl", "-sf", "http://127.0.0.1:19379/metrics"}, &metrics, 5000);
    }
    EXPECT_LT(Clock::now() - started, std::chrono::milliseconds(3500)) << metrics << mBed.GetOutput(exporter);
    EXPECT_NE(mBed.GetOutput(exporter).find("probing lab-router.example (not resolved yet), 127.5.0.1 (1 address)"),
              std::string::npos) << mBed.GetOutput(exporter);
    EXPECT_EQ(mBed.Stop(exporter), 0);
}

TEST_F(ProbeTestBed, AProbeLeavingThroughAnInterfaceLeftOutKeepsItsAnswers) {
    QIP_REQUIRE_TESTBED();
    ASSERT_TRUE(mBed.IsReady());
    ASSERT_TRUE(StartDevices());
    std::string output, errors;
    // Broadcasts only on lo (where nobody answers); the probe's route leaves through br0.
    ASSERT_EQ(Discover({"--interface", "lo", "--probe", cFarAddress, "-v"}, &output, &errors), 0) << errors;
    const std::vector<nlohmann::json> devices = JsonLines(output);
    ASSERT_EQ(devices.size(), 1u) << output << errors;
    EXPECT_EQ(devices[0]["DeviceId"], "far");
    EXPECT_EQ(CountOf(errors, "probes to 198.51.100.20 leave through br0, which --interface leaves out"), 1u)
        << errors;
}
