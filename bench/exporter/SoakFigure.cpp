// Every QIP program of the package side by side on one machine for a while, three devices
// answering: qip-discover --watch (started first, so it owns the port), qip-exporter scraped
// every second by Debian's Prometheus, qip-live-list and qipfinder (offscreen, its window
// read by the widget probe of the program tests). Prints whether each program listed all
// three devices throughout: the exporter by what Prometheus stored, the others by what they
// printed or showed, sampled every second. Needs root (the test bed).
//
//   soak-figure [--seconds S]   (default 300; `make bench` runs a shorter one)

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/exporter/MonitoringServers.h"
#include "tests/testbed/TestBed.h"

namespace {

const char* const cExporter = "127.0.0.1:19376";
const char* const cType = "QipFinder";  // the wanted type of the shipped Info.plist

std::string ReadAll(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The row count of the table the widget probe last wrote; -1 when no table is shown.
int TableRows(const std::string& probe) {
    std::istringstream lines(probe);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("table ", 0) != 0) continue;
        return std::atoi(line.substr(line.rfind(' ') + 1).c_str());
    }
    return -1;
}

// The device counts of qip-live-list's list headers ("HH:MM:SS  3 devices"), in order.
std::vector<int> ListedCounts(const std::string& output) {
    std::vector<int> counts;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        if (line.size() > 10 && line[2] == ':' && line[5] == ':' && line.find(" device") != std::string::npos) {
            counts.push_back(std::atoi(line.c_str() + 8));
        }
    }
    return counts;
}

// Lines of qip-discover --watch that begin with `kind` ("appeared", "gone").
int CountLines(const std::string& output, const std::string& kind) {
    int count = 0;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) count += line.rfind(kind + " ", 0) == 0;
    return count;
}

std::string Value(MonitoringServer& prometheus, const std::string& expression) {
    const nlohmann::json result = prometheus.Query(expression);
    return result.empty() ? "none" : result[0]["value"][1].get<std::string>();
}

}  // namespace

int main(int argc, char** argv) {
    int seconds = 300;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--seconds" && i + 1 < argc) {
            seconds = std::atoi(argv[++i]);
        } else {
            std::fprintf(stderr, "Usage: soak-figure [--seconds S]\n");
            return 2;
        }
    }
    if (seconds < 10) seconds = 10;
    std::string reason;
    if (!TestBed::IsAvailable(&reason)) {
        std::printf("Skipped: the test bed is unavailable (%s).\n", reason.c_str());
        return 0;
    }
    TestBed bed;
    const std::string host = bed.GetHostNamespace();
    for (int i = 1; i <= 3; ++i) {
        const std::string address = "192.0.2." + std::to_string(20 + i);
        const std::string ns = bed.AddDevice({address + "/24"});
        if (ns.empty() || bed.StartSimulator(ns, {"--type", cType, "--id", "soak-" + std::to_string(i),
                                                  "--address", address}) <= 0) {
            std::printf("Skipped: simulated device %d did not start.\n", i);
            return 1;
        }
    }
    const pid_t watch = bed.Start(host, {TestBed::BinaryPath("qip-discover"), "--watch", "--no-ssid", "--verbose"});
    for (int i = 0; i < 150 && CountLines(bed.GetOutput(watch), "appeared") < 3; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    char pattern[] = "/tmp/qip-soak-XXXXXX";
    const std::string folder = mkdtemp(pattern) != nullptr ? pattern : "/tmp";
    const std::string probe = folder + "/probe.txt";
    const pid_t exporter = bed.Start(host, {TestBed::BinaryPath("qip-exporter"), "--no-ssid", "--listen", cExporter});
    const pid_t live = bed.Start(host, {TestBed::BinaryPath("qip-live-list")});
    const pid_t finder = bed.Start(host, {"/usr/bin/env", "-i", "PATH=/usr/bin:/bin", "HOME=" + folder,
                                          "LANG=C.UTF-8", "QT_QPA_PLATFORM=offscreen",
                                          "QT_PLUGIN_PATH=" + TestBed::BinaryPath("../lib/probe"),
                                          "QT_QPA_GENERIC_PLUGINS=qipprobe:" + probe,
                                          TestBed::BinaryPath("qipfinder")});
    MonitoringServer prometheus(bed, host, "127.0.0.1:19390");
    if (watch <= 0 || exporter <= 0 || live <= 0 || finder <= 0 ||
        !prometheus.StartPrometheus(std::string("global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\n"
                                                "scrape_configs:\n  - job_name: qip\n    static_configs:\n"
                                                "      - targets: ['") + cExporter + "']\n")) {
        std::printf("Skipped: a program or Prometheus did not start.\n");
        return 1;
    }
    // Settled when every program lists the three; the soak counts from then.
    nlohmann::json last;
    prometheus.WaitFor("qip_devices", 30, [](const nlohmann::json& r) {
        return !r.empty() && r[0]["value"][1] == "3"; }, last);
    for (int i = 0; i < 100 && TableRows(ReadAll(probe)) != 3; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    const auto start = std::chrono::steady_clock::now();
    int samples = 0, tableThree = 0;
    std::string tableOther;
    for (int second = 1; second <= seconds; ++second) {
        std::this_thread::sleep_until(start + std::chrono::seconds(second));
        ++samples;
        const int rows = TableRows(ReadAll(probe));
        if (rows == 3) {
            ++tableThree;
        } else if (tableOther.size() < 200) {
            tableOther += " " + std::to_string(rows) + "@" + std::to_string(second) + "s";
        }
    }
    const std::string range = "[" + std::to_string(seconds) + "s]";
    const std::string stored = Value(prometheus, "count_over_time(qip_devices" + range + ")");
    const std::string least = Value(prometheus, "min_over_time(qip_devices" + range + ")");
    const std::string most = Value(prometheus, "max_over_time(qip_devices" + range + ")");
    const std::string up = Value(prometheus, "min_over_time(up" + range + ")");
    const std::string owner = Value(prometheus, "qip_port_owner");
    const std::string watchOutput = bed.GetOutput(watch);
    const std::vector<int> listed = ListedCounts(bed.GetOutput(live));
    int listedOther = 0;
    for (size_t i = 1; i < listed.size(); ++i) listedOther += listed[i] != 3;
    const bool finderRunning = kill(finder, 0) == 0;

    std::printf("### Every program side by side, three devices, %d s\n\n", seconds);
    std::printf("| Program | What was read | Result |\n|---|---|---|\n");
    std::printf("| qip-exporter (subscribed, `qip_port_owner` %s) | Prometheus's stored `qip_devices`, scraped "
                "every second: samples, least, most; least `up` | **%s samples, %s to %s**, up %s |\n",
                owner.c_str(), stored.c_str(), least.c_str(), most.c_str(), up.c_str());
    std::printf("| qip-discover --watch (%s) | \"appeared\" and \"gone\" lines | **%d appeared, %d gone** |\n",
                watchOutput.find("owned by this program") != std::string::npos ? "owns the port" : "not the owner",
                CountLines(watchOutput, "appeared"), CountLines(watchOutput, "gone"));
    std::printf("| qip-live-list | lists printed after the first, not of 3 devices | **%d of %zu** "
                "(first: %d) |\n", listedOther, listed.empty() ? 0 : listed.size() - 1,
                listed.empty() ? -1 : listed[0]);
    std::printf("| qipfinder (offscreen) | table rows, sampled every second | **3 in %d of %d**%s%s |\n",
                tableThree, samples, tableOther.c_str(), finderRunning ? "" : "; it had ended");
    std::printf("\n");
    unlink(probe.c_str());
    rmdir(folder.c_str());
    const bool held = stored != "none" && least == "3" && most == "3" && tableThree == samples && listedOther == 0 &&
                      CountLines(watchOutput, "gone") == 0;
    return held ? 0 : 1;
}
