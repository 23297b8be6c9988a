#include <crypt.h>
#include <sys/socket.h>
#include <unistd.h>
#include <gtest/gtest.h>

#include <fcntl.h>

#include <chrono>
#include <cstdio>
#include <memory>

#include <sstream>
#include <thread>

#include <prometheus/text_serializer.h>

#include "describe/DeviceDescriber.h"
#include "qip/QipDeviceList.h"
#include "qip/QipPacket.h"
#include "tools/exporter/QipExporterConnections.h"
#include "tools/exporter/QipExporterLog.h"
#include "tools/exporter/QipExporterMetrics.h"
#include "tools/exporter/QipExporterOptions.h"
#include "tools/exporter/QipExporterPages.h"
#include "tools/exporter/QipExporterPasswords.h"
#include "tools/exporter/QipExporterWebConfig.h"

namespace {

QipPacketHello Hello(const std::string& type, const std::string& id, const std::string& packetId) {
    return QipPacketHello(type, id, "192.0.2.20", "255.255.255.0", "/status.xml", packetId);
}

QipDevice Device(const std::string& type, const std::string& id, const std::string& address,
                 time_t seen, const std::string& packetId = "1") {
    QipDevice device(Hello(type, id, packetId), address);
    device.UpdateLastResponseTime(seen);
    return device;
}

KspNetworkInterface Lan() { return KspNetworkInterface("eth0", "192.0.2.1", "255.255.255.0"); }

std::string Text(const std::vector<prometheus::MetricFamily>& families) {
    std::ostringstream out;
    prometheus::TextSerializer().Serialize(out, families);
    return out.str();
}

TEST(QipExporterMetrics, LabelValuesAreValidUtf8AndStayDistinct) {
    EXPECT_EQ(QipExporterMetrics::LabelValue("Lab \"2\" \xC3\xA4"), "Lab \"2\" \xC3\xA4");
    // Bytes that are no UTF-8 (a stray byte, a surrogate, an overlong form) as text; a
    // backslash doubled, so that the text "\xff" differs from the byte.
    EXPECT_EQ(QipExporterMetrics::LabelValue("a\xff" "b\xED\xA0\x80\xC0\xAF"),
              "a\\xffb\\xed\\xa0\\x80\\xc0\\xaf");
    EXPECT_EQ(QipExporterMetrics::LabelValue("a\\xff"), "a\\\\xff");
    const std::string fits(QipExporterMetrics::cMaxLabelBytes, 'x');
    EXPECT_EQ(QipExporterMetrics::LabelValue(fits), fits);
    // Longer: cut between characters (never inside one or inside an escape), ended with
    // "…" and a hash of the whole text, so texts equal up to the cut still differ.
    const std::string prefix = std::string(112, 'x') + "\xC3\xA4\xC3\xA4\xff\xff\xff";
    const std::string one = QipExporterMetrics::LabelValue(prefix + "1");
    const std::string two = QipExporterMetrics::LabelValue(prefix + "2");
    EXPECT_NE(one, two);
    EXPECT_EQ(one.substr(0, 115), std::string(112, 'x') + "\xE2\x80\xA6") << one;
    EXPECT_EQ(one.size(), 115u + 12);
    const std::string escapes = QipExporterMetrics::LabelValue(std::string(111, 'x') + std::string(5, '\xff'));
    EXPECT_EQ(escapes.substr(0, 114), std::string(111, 'x') + "\xE2\x80\xA6") << escapes;
    EXPECT_EQ(QipExporterMetrics::LabelValue(std::string(100000, '\xff')).size(),
              QipExporterMetrics::cMaxLabelBytes - 1);  // 28 escapes of 4 bytes, "…", 12 digits
}

TEST(QipExporterMetrics, OneInfoSeriesPerDeviceOnceItsPageWasRead) {
    DeviceDescriber describer({"QipBox"}, {Lan()});
    QipExporterPages pages;
    QipExporterMetrics metrics(nullptr, nullptr, &describer, &pages, true, {"QipBox", "QipPlug"}, "9.9");
    QipExporterMetrics::Input input;
    // "one" answers from a router's far side and from the local network: the local one is
    // its address; "two" is not read yet; "cam" is of a type not asked for.
    input.mSnapshot = {Device("QipBox", "one", "203.0.113.5", 100), Device("QipBox", "one", "192.0.2.20", 101),
                       Device("QipBox", "two", "192.0.2.21", 102), Device("QipCam", "cam", "192.0.2.22", 103)};
    pages.Store({"one", "192.0.2.20", "1"}, "Office \"1\"\n", "ok", 0);
    input.mReadCounts = {{"ok", 1}};
    input.mCounts.mHellos = 7;
    const std::string text = Text(metrics.Build(input));
    EXPECT_NE(text.find("qip_device_info{device_id=\"one\",device_type=\"QipBox\",address=\"192.0.2.20\","
                        "ssid=\"Office \\\"1\\\"\\n\"} 1\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("device_id=\"two\""), std::string::npos) << text;
    EXPECT_EQ(text.find("cam"), std::string::npos) << text;
    EXPECT_NE(text.find("qip_device_last_seen_timestamp_seconds{device_id=\"one\",address=\"203.0.113.5\"} 100\n"),
              std::string::npos) << text;
    EXPECT_NE(text.find("qip_device_last_seen_timestamp_seconds{device_id=\"one\",address=\"192.0.2.20\"} 101\n"),
              std::string::npos) << text;
    EXPECT_NE(text.find("qip_devices{device_type=\"QipBox\"} 1\n"), std::string::npos) << text;
    EXPECT_NE(text.find("qip_devices{device_type=\"QipPlug\"} 0\n"), std::string::npos) << text;
    EXPECT_NE(text.find("qip_hellos_received_total 7\n"), std::string::npos) << text;
    EXPECT_NE(text.find("qip_status_page_reads_total{outcome=\"ok\"} 1\n"), std::string::npos) << text;
    EXPECT_NE(text.find("qip_exporter_build_info{version=\"9.9\"} 1\n"), std::string::npos) << text;

    EXPECT_EQ(text.find("qip_probe"), std::string::npos) << "no probe series without --probe";
    input.mProbes = true;
    input.mProbeProgress.mSweeps = 3;
    input.mProbeProgress.mSweepsStarted = 4;
    input.mProbeProgress.mAnswers = 2;
    const std::string probing = Text(metrics.Build(input));
    EXPECT_NE(probing.find("qip_probe_sweeps_started_total 4\n"), std::string::npos) << probing;
    EXPECT_NE(probing.find("qip_probe_sweeps_completed_total 3\n"), std::string::npos) << probing;
    EXPECT_NE(probing.find("qip_probe_answers_total 2\n"), std::string::npos) << probing;

    // Without page reads every device shows at once.
    QipExporterMetrics unread(nullptr, nullptr, &describer, &pages, false, {}, "9.9");
    EXPECT_NE(Text(unread.Build(input)).find("device_id=\"two\",device_type=\"QipBox\",address=\"192.0.2.21\",ssid=\"\"} 1"),
              std::string::npos);
}

TEST(QipExporterMetrics, SeriesStayBoundedByTheListsCap) {
    QipDeviceList list(nullptr);
    // Ahead of the clock, so that the list's own ageing leaves the records alone.
    const time_t seen = time(nullptr) + 1000000;
    for (int i = 0; i < 5000; ++i) {
        list.OnHello(Hello("QipBox", "id-" + std::to_string(i) + std::string(300, 'z'), "1"),
                     "192.0.2." + std::to_string(i % 250 + 1), seen);
    }
    DeviceDescriber describer({}, {Lan()});
    describer.SetMatchAnyType(true);
    QipExporterPages pages;
    QipExporterMetrics metrics(&list, nullptr, &describer, &pages, false, {}, "1");
    const std::vector<prometheus::MetricFamily> families = metrics.Collect();
    EXPECT_EQ(families[0].metric.size(), QipDeviceList::cMaxDevices);
    EXPECT_EQ(families[1].metric.size(), QipDeviceList::cMaxDevices);
    for (const prometheus::ClientMetric::Label& label : families[0].metric[0].label) {
        EXPECT_LE(label.value.size(), QipExporterMetrics::cMaxLabelBytes);
    }
}

// The ids of the records a batch reads, with their packet ids.
std::vector<std::string> Reads(const std::vector<QipDevice>& batch) {
    std::vector<std::string> reads;
    for (const QipDevice& device : batch) reads.push_back(device.GetDeviceId() + "/" + device.GetPacketId());
    return reads;
}

TEST(QipExporterPages, ReadsWhenADeviceAppearsOrChangesAndRetriesFailuresLessAndLess) {
    QipExporterPages pages;
    const QipDevice one = Device("QipBox", "one", "192.0.2.20", 0, "1");
    const QipDevice two = Device("QipBox", "two", "192.0.2.21", 0, "1");
    pages.Note(one, 0);
    pages.Note(two, 0);
    EXPECT_EQ(Reads(pages.TakeDue(0, 16)), (std::vector<std::string>{"one/1", "two/1"}));
    pages.Store(QipExporterPages::RecordOf(one), "Office", "ok", 0);
    pages.Store(QipExporterPages::RecordOf(two), "", "refused", 0);
    // Read pages are not read again, however often the list shows them; a failed one only when due.
    pages.Note(one, 1000);
    EXPECT_TRUE(pages.TakeDue(1000, 16).empty());
    EXPECT_EQ(pages.NextDueMs(), QipExporterPages::cFirstRetryMs);
    EXPECT_EQ(Reads(pages.TakeDue(QipExporterPages::cFirstRetryMs, 16)), (std::vector<std::string>{"two/1"}));
    pages.Store(QipExporterPages::RecordOf(two), "", "timeout", QipExporterPages::cFirstRetryMs);
    const long long second = QipExporterPages::cFirstRetryMs * 3;
    EXPECT_TRUE(pages.TakeDue(second - 1, 16).empty());
    EXPECT_EQ(Reads(pages.TakeDue(second, 16)), (std::vector<std::string>{"two/1"}));
    pages.Store(QipExporterPages::RecordOf(two), "", "timeout", second);

    // A packet id that changes on every answer: read once the interval since the last read
    // has passed, in its latest state, and the old SSID stays shown meanwhile.
    for (int packet = 2; packet < 50; ++packet) {
        pages.Note(Device("QipBox", "one", "192.0.2.20", 0, std::to_string(packet)), 2000 + packet);
        EXPECT_TRUE(pages.TakeDue(2000 + packet, 16).empty());
    }
    EXPECT_EQ(pages.NextDueMs(), QipExporterPages::cMinReadIntervalMs);
    const std::vector<QipDevice> changed = pages.TakeDue(QipExporterPages::cMinReadIntervalMs, 16);
    EXPECT_EQ(Reads(changed), (std::vector<std::string>{"one/49"}));
    QipExporterPages::Page page;
    ASSERT_TRUE(pages.Find("one", "192.0.2.20", page));
    EXPECT_EQ(page.mSsid, "Office");
    pages.Store(QipExporterPages::RecordOf(changed[0]), "Home", "ok", QipExporterPages::cMinReadIntervalMs);
    ASSERT_TRUE(pages.Find("one", "192.0.2.20", page));
    EXPECT_EQ(page.mSsid, "Home");
    // Records that left the list are forgotten, their waiting reads with them.
    pages.Prune({changed[0]});
    EXPECT_FALSE(pages.Find("two", "192.0.2.21", page));
    EXPECT_EQ(pages.GetEntryCount(), 1u);
    EXPECT_EQ(pages.NextDueMs(), -1);
    EXPECT_EQ(pages.GetReadCounts(), (std::map<std::string, uint64_t>{{"ok", 2}, {"refused", 1}, {"timeout", 2}}));
}

TEST(QipExporterPages, OneSenderGetsAFewReadsAtOnceAndTheOthersTheirTurn) {
    QipExporterPages pages;
    for (int i = 0; i < 100; ++i) pages.Note(Device("QipBox", "flood-" + std::to_string(i), "203.0.113.3", 0, "1"), 0);
    pages.Note(Device("QipBox", "real", "192.0.2.20", 0, "1"), 1);
    const std::vector<std::string> first = Reads(pages.TakeDue(1, 16));
    ASSERT_EQ(first.size(), QipExporterPages::cMaxReadsPerSender + 1);
    EXPECT_EQ(first.back(), "real/1");
    EXPECT_EQ(pages.TakeDue(1, 16).size(), QipExporterPages::cMaxReadsPerSender);
}

TEST(QipExporterLog, ARepeatingLineIsToldAgainAfterItsPeriodOnTheLogsOwnClock) {
    // What the program's standard error would be; the log takes descriptor 2 over from it.
    int given[2];
    ASSERT_EQ(pipe2(given, O_CLOEXEC | O_NONBLOCK), 0);
    const int saved = dup(STDERR_FILENO);
    dup2(given[1], STDERR_FILENO);
    std::string written;
    {
        // No clock to give: a period of 1 s on the log's own must end within seconds.
        QipExporterLog log(1000);
        ASSERT_TRUE(log.Open());
        for (int i = 0; i < 3; ++i) fputs("connect() failed: Connection refused\n", stderr);
        const std::string told = "qip-exporter: connect() failed: Connection refused (repeated 2 times in 1 s)\n";
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(15);
        while (written.find(told) == std::string::npos && std::chrono::steady_clock::now() < limit) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            char buffer[4096];
            for (ssize_t n; (n = read(given[0], buffer, sizeof buffer)) > 0;) written.append(buffer, n);
        }
        log.Close();
    }
    dup2(saved, STDERR_FILENO);
    close(saved);
    close(given[0]);
    close(given[1]);
    EXPECT_EQ(written, "qip-exporter: connect() failed: Connection refused\n"
                       "qip-exporter: connect() failed: Connection refused (repeated 2 times in 1 s)\n");
}

TEST(QipExporterLog, JournalLinesCarryTheirPriority) {
    EXPECT_EQ(QipExporterLog::Format(QipExporterLog::cError, "cannot listen", true), "<3>cannot listen\n");
    EXPECT_EQ(QipExporterLog::Format(QipExporterLog::cInfo, "serving", false), "qip-exporter: serving\n");
    EXPECT_FALSE(QipExporterLog::IsJournalStream(0, nullptr));
    EXPECT_FALSE(QipExporterLog::IsJournalStream(0, "1:2"));
}

TEST(QipExporterOptions, ListenAddressAndUsageErrors) {
    EXPECT_EQ(QipExporterOptions::CheckListen("127.0.0.1:19376"), "127.0.0.1:19376");
    EXPECT_EQ(QipExporterOptions::CheckListen("[::1]:9"), "[::1]:9");
    EXPECT_EQ(QipExporterOptions::CheckListen("0.0.0.0:080"), "0.0.0.0:80");
    for (const char* bad : {"127.0.0.1", "127.0.0.1:0", "127.0.0.1:65536", "localhost:80", "::1:80",
                            ":80", "1.2.3:80", "127.0.0.1:+80", "[::1]:"}) {
        EXPECT_EQ(QipExporterOptions::CheckListen(bad), "") << bad;
    }
    struct Case {
        std::vector<const char*> mArgs;
        const char* mError;  // "" for a valid line
    };
    const std::vector<Case> cases = {
        {{"--listen=192.0.2.1:1", "--type", "QipBox", "--no-ssid", "--"}, ""},
        {{"--bogus"}, "unknown option '--bogus'"},
        {{"--no-ssid=yes"}, "option '--no-ssid' takes no value"},
        {{"--listen"}, "option '--listen' needs a value"},
        {{"--lis", "127.0.0.1:1"}, "unknown option '--lis' (did you mean '--listen'?)"},
        {{"--listen", "localhost:1"}, "--listen needs ADDRESS:PORT with a numeric IPv4 address or a "
                                      "bracketed IPv6 address and a port from 1 to 65535, not 'localhost:1'"},
        {{"stray"}, "unexpected argument 'stray'"},
        {{"--", "--help"}, "unexpected argument '--help'"},
        {{"--type="}, "--type needs a device type"},
        {{"--probe", "10.0.0.0/8"}, "--probe '10.0.0.0/8': a prefix shorter than /16 is too large a "
                                    "range (65,534 addresses at most)"},
        {{"--probe=224.0.0.1"}, "--probe '224.0.0.1': a multicast address cannot be probed"},
        {{"--probe-rate", "0"}, "--probe-rate needs a whole number of probes a second from 1 to 50000, not '0'"},
        {{"--probe-rate", "50001"}, "--probe-rate needs a whole number of probes a second from 1 to 50000, "
                                    "not '50001'"},
    };
    for (const Case& c : cases) {
        std::vector<char*> argv = {const_cast<char*>("qip-exporter")};
        for (const char* arg : c.mArgs) argv.push_back(const_cast<char*>(arg));
        argv.push_back(nullptr);
        QipExporterOptions options;
        std::string error;
        const bool ok = options.Parse(static_cast<int>(argv.size() - 1), argv.data(), error);
        EXPECT_EQ(ok, std::string(c.mError).empty()) << c.mArgs[0];
        EXPECT_EQ(error, c.mError) << c.mArgs[0];
        if (ok) {
            EXPECT_EQ(options.mListen, "192.0.2.1:1");
            EXPECT_EQ(options.mTypes, (std::vector<std::string>{"QipBox"}));
            EXPECT_TRUE(options.mNoSsid);
        }
    }
    std::vector<char*> argv = {const_cast<char*>("qip-exporter"), const_cast<char*>("--probe"),
                               const_cast<char*>("198.51.100.0/24"), const_cast<char*>("--probe=lab.example"),
                               const_cast<char*>("--probe-rate=50000"), nullptr};
    QipExporterOptions options;
    std::string error;
    EXPECT_EQ(options.mProbeRate, 2000u);
    ASSERT_TRUE(options.Parse(static_cast<int>(argv.size() - 1), argv.data(), error)) << error;
    ASSERT_EQ(options.mProbeTargets.size(), 2u);
    EXPECT_EQ(options.mProbeTargets[0].GetText(), "198.51.100.0/24");
    EXPECT_EQ(options.mProbeTargets[1].GetText(), "lab.example");
    EXPECT_EQ(options.mProbeRate, 50000u);
}

}  // namespace

TEST(QipExporterWebConfig, ReadsTheSupportedKeysAndNamesAnyOther) {
    QipExporterWebConfig config;
    std::string error;
    ASSERT_TRUE(QipExporterWebConfig::Parse("basic_auth_users:\n  prometheus: $2b$04$0L6ZT0wzMDfm2gz.bGfVm.1AS24PEMYQAH27Pf8TkY08Vw/Ux9Ohy\n"
                                            "http_server_config:\n  http2: false\n  headers: {X-Frame-Options: deny}\n",
                                            "/nonexistent", config, error)) << error;
    EXPECT_FALSE(config.mTls);
    EXPECT_EQ(config.mUsers.at("prometheus").substr(0, 7), "$2b$04$");
    ASSERT_EQ(config.mHeaders.size(), 1u);
    EXPECT_TRUE(QipExporterWebConfig::Parse("", "/", config, error)) << "an empty file is plain HTTP";
    const std::vector<std::pair<std::string, std::string>> refused = {
        {"tls_server_config:\n  cert_file: a\n  key_file: b\n  cipher_suites: [x]\n", "tls_server_config.cipher_suites"},
        {"tls_server_config:\n  cert_file: a\n  key_file: b\n  client_auth_type: RequestClientCert\n", "RequestClientCert"},
        {"tls_server_config:\n  cert_file: a\n", "both cert_file and key_file"},
        {"tls_server_config:\n  cert_file: a\n  key_file: b\n", "cannot read /nonexistent/a"},
        {"http_server_config:\n  http2: true\n", "http2"},
        {"basic_auth_users:\n  prometheus: plaintext\n", "basic_auth_users.prometheus"},
        {"basic_auth_user:\n  prometheus: $2y$05$abc\n", "unsupported key basic_auth_user"},
        {"tls_server_config: [\n", "end of sequence"},
    };
    for (const auto& entry : refused) {
        EXPECT_FALSE(QipExporterWebConfig::Parse(entry.first, "/nonexistent", config, error)) << entry.first;
        EXPECT_NE(error.find(entry.second), std::string::npos) << error;
    }
}

TEST(QipExporterPasswords, ChecksBcryptOnceAndBoundsTheChecksOfAnAddressAndOfAll) {
    // "secret" with bcrypt's cost 4.
    const std::string hash = "$2b$04$0L6ZT0wzMDfm2gz.bGfVm.1AS24PEMYQAH27Pf8TkY08Vw/Ux9Ohy";
    ASSERT_TRUE(QipExporterPasswords::Verify("secret", hash));
    EXPECT_FALSE(QipExporterPasswords::Verify("Secret", hash));
    EXPECT_FALSE(QipExporterPasswords::Verify("secret", "plain"));
    const auto total = std::make_shared<QipExporterPasswords::Shared>();
    QipExporterPasswords passwords({{"prometheus", hash}}, total);
    using Outcome = QipExporterPasswords::Outcome;
    EXPECT_EQ(passwords.Admit("prometheus", nullptr, "192.0.2.5", 0), Outcome::cRefused);
    ASSERT_EQ(passwords.Admit("prometheus", "secret", "192.0.2.5", 0), Outcome::cToCheck);
    EXPECT_TRUE(passwords.CheckAdmitted("prometheus", "secret"));
    EXPECT_FALSE(passwords.CheckAdmitted("nobody", "secret"));
    EXPECT_FALSE(passwords.CheckAdmitted("prometheus", "wrong"));
    // Four checks at once from one address, then two a second; a pair already verified
    // needs none.
    for (int i = 0; i < QipExporterPasswords::cBurstChecks; ++i) {
        EXPECT_EQ(passwords.Admit("prometheus", "wrong", "192.0.2.7", 0), Outcome::cToCheck);
    }
    EXPECT_EQ(passwords.Admit("prometheus", "wrong", "192.0.2.7", 100), Outcome::cPaused);
    EXPECT_EQ(passwords.Admit("prometheus", "secret", "192.0.2.7", 100), Outcome::cAccepted);
    EXPECT_EQ(passwords.Admit("prometheus", "wrong", "192.0.2.7", 500), Outcome::cToCheck);
    // Every address together: the burst, then the rate, whatever the number of addresses,
    // and a reload (a second set of the same users) keeps the budget.
    const auto shared = std::make_shared<QipExporterPasswords::Shared>();
    QipExporterPasswords first({{"prometheus", hash}}, shared);
    QipExporterPasswords second({{"prometheus", hash}}, shared);
    const auto grantedOf64 = [&](const std::string& prefix, long long nowMs) {
        int granted = 0;
        for (int i = 0; i < 64; ++i) {
            if ((i % 2 == 0 ? first : second).Admit("prometheus", "wrong", prefix + std::to_string(i), nowMs) ==
                Outcome::cToCheck) {
                ++granted;
            }
        }
        return granted;
    };
    EXPECT_EQ(grantedOf64("198.51.100.", 0), QipExporterPasswords::cTotalBurstChecks);
    EXPECT_EQ(grantedOf64("203.0.113.", 1000), QipExporterPasswords::cTotalChecksPerSecond);
    // A pair verified before a reload is still verified after it, unless its hash changed.
    ASSERT_TRUE(first.CheckAdmitted("prometheus", "secret"));
    EXPECT_EQ(second.Admit("prometheus", "secret", "192.0.2.9", 5000), Outcome::cAccepted);
    QipExporterPasswords changed({{"prometheus", "$2b$04$0L6ZT0wzMDfm2gz.bGfVm.2HPovuZZEAReu9m886qMj1ld6jxNasO"}},
                                 shared);
    EXPECT_EQ(changed.Admit("prometheus", "secret", "192.0.2.9", 5000), Outcome::cToCheck);
}

TEST(QipExporterPasswords, RefusesHashesItCannotVerifyAndCostsTheDearestForAnUnknownName) {
    EXPECT_TRUE(QipExporterPasswords::CanVerify("$2b$04$0L6ZT0wzMDfm2gz.bGfVm.1AS24PEMYQAH27Pf8TkY08Vw/Ux9Ohy"));
    for (const char* hash : {"$apr1$abcdefgh$0123456789012345678901", "$1$abcdefgh$znAnv9M.XU2pRYfmSs46h/",
                             "$2y$05$abc", "$y$j9T$abc$def", "$6$salt$x", "secret", "$9$x"}) {
        EXPECT_FALSE(QipExporterPasswords::CanVerify(hash)) << hash;
    }
    QipExporterWebConfig config;
    std::string error;
    EXPECT_FALSE(QipExporterWebConfig::Parse("basic_auth_users:\n  alice: $apr1$abcdefgh$0123456789012345678901\n",
                                             "/", config, error));
    EXPECT_NE(error.find("basic_auth_users.alice"), std::string::npos) << error;
    EXPECT_GT(QipExporterPasswords::Cost("$2b$12$x"), QipExporterPasswords::Cost("$2b$10$x"));
    EXPECT_GT(QipExporterPasswords::Cost("$2b$10$x"), QipExporterPasswords::Cost("$y$j9T$x"));
    EXPECT_GT(QipExporterPasswords::Cost("$y$j9T$x"), QipExporterPasswords::Cost("$6$x"));
    // An unknown name takes as long as the dearest user's wrong password, not the
    // cheapest's: timed in CPU work, the cost-4 user against the cost-10 one.
    const std::string cheap = "$2b$04$0L6ZT0wzMDfm2gz.bGfVm.1AS24PEMYQAH27Pf8TkY08Vw/Ux9Ohy";
    char setting[CRYPT_GENSALT_OUTPUT_SIZE];
    crypt_data data{};
    ASSERT_NE(crypt_gensalt_rn("$2b$", 10, nullptr, 0, setting, sizeof setting), nullptr);
    const std::string dear = crypt_rn("x", setting, &data, sizeof data);
    QipExporterPasswords passwords({{"a", cheap}, {"b", dear}}, std::make_shared<QipExporterPasswords::Shared>());
    const auto timed = [&](const std::string& user) {
        const auto start = std::chrono::steady_clock::now();
        passwords.CheckAdmitted(user, "guess");
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };
    EXPECT_GT(timed("nobody"), 8 * timed("a"));
}

// The reserve: past the limit, a new connection closes the oldest still waiting for its
// head, never one whose head came (nor itself).
TEST(QipExporterConnections, PastTheLimitANewConnectionClosesTheOldestStillWaitingForItsHead) {
    int pairs[4][2];
    for (auto& pair : pairs) ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    const auto isShut = [](int peer) {
        char byte;
        return recv(peer, &byte, 1, MSG_DONTWAIT) == 0;
    };
    QipExporterConnections connections(3);
    connections.OnOpened(pairs[0], pairs[0][0], 0);
    connections.OnHead(pairs[0]);
    connections.OnOpened(pairs[1], pairs[1][0], 10);
    connections.OnOpened(pairs[2], pairs[2][0], 20);
    EXPECT_FALSE(isShut(pairs[0][1]) || isShut(pairs[1][1]) || isShut(pairs[2][1]));
    connections.OnOpened(pairs[3], pairs[3][0], 30);
    EXPECT_FALSE(isShut(pairs[0][1])) << "its head came: it is being served";
    EXPECT_TRUE(isShut(pairs[1][1])) << "the oldest still waiting";
    EXPECT_FALSE(isShut(pairs[2][1]));
    EXPECT_FALSE(isShut(pairs[3][1]));
    EXPECT_EQ(connections.GetOpen(), 4u) << "until the server closes it";
    connections.OnClosed(pairs[1]);
    EXPECT_EQ(connections.GetOpen(), 3u);
    for (auto& pair : pairs) {
        close(pair[0]);
        close(pair[1]);
    }
}
